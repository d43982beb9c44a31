#include "app/ProfileView.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDateTimeEdit>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTimer>
#include <QTableView>
#include <QValueAxis>
#include <QVBoxLayout>

#include "app/ExchangeThread.h"
#include "app/FileDialogs.h"
#include "app/FormTraffic.h"
#include "app/MessageBoxes.h"
#include "app/IniFile.h"
#include "client/TrafficLog.h"
#include "app/WindowFit.h"
#include "knowledge/COSEMUnits.h"

#include <QApplication>
#include <QPointer>

#include <algorithm>
#include <cmath>

namespace quillon {

using client::TProfileTable;
using client::TValue;

QString ProfileCellText(const client::TProfileColumn& column, const TValue& value) {
  return QString::fromStdString(client::ProfileCellText(value, &column));
}

namespace {

std::optional<int64_t> TimeOf(const TValue& v) {
  if (v.Kind != client::TValueKind::vkOctetString) return std::nullopt;
  const auto d = client::DecodeDateTime(v.Bytes);
  return d ? client::DateTimeToUnix(*d) : std::nullopt;
}

std::optional<double> NumberOf(const client::TProfileColumn& c, const TValue& v) {
  if (c.ScalerUnit) return client::ScaledNumber(v, c.ScalerUnit->Scaler);
  return v.Number();
}

}  // namespace

int ProfileClockColumn(const TProfileTable& table) {
  for (size_t i = 0; i < table.Columns.size(); ++i) {
    const bool clock = table.Columns[i].ClassId == 8 && table.Columns[i].Attribute == 2;
    if (clock || (!table.Rows.empty() && i < table.Rows[0].size() && TimeOf(table.Rows[0][i])))
      return static_cast<int>(i);
  }
  return -1;
}

std::vector<int> ProfileNumericColumns(const TProfileTable& table) {
  std::vector<int> numeric;
  const int clock = ProfileClockColumn(table);
  for (size_t i = 0; i < table.Columns.size(); ++i) {
    if (static_cast<int>(i) == clock) continue;
    bool any = false, all = true;
    for (const auto& r : table.Rows) {
      const bool n = i < r.size() && NumberOf(table.Columns[i], r[i]).has_value();
      any = any || n;
      all = all && n;
    }
    if (any && all) numeric.push_back(static_cast<int>(i));
  }
  return numeric;
}

namespace {

// Enough decimals to tell labels `step` apart.
QString LabelFormatForStep(double step) {
  int decimals = 0;
  if (step > 0 && std::isfinite(step)) decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 6);
  return QStringLiteral("%.%1f").arg(decimals);
}

}  // namespace

TChartAxisScale ChartAxisScale(double lo, double hi, const QString& unit) {
  // Units a metering person writes with k, M or G in front.
  static const QStringList prefixable = {QStringLiteral("W"),   QStringLiteral("VA"),  QStringLiteral("var"),
                                         QStringLiteral("Wh"),  QStringLiteral("VAh"), QStringLiteral("varh"),
                                         QStringLiteral("V"),   QStringLiteral("A"),   QStringLiteral("J"),
                                         QStringLiteral("J/h"), QStringLiteral("Ah"),  QStringLiteral("Hz")};
  TChartAxisScale scale;
  scale.Unit = unit;
  const double largest = std::max(std::abs(lo), std::abs(hi));
  if (prefixable.contains(unit)) {
    static const char* const prefixes[] = {"k", "M", "G"};
    for (int i = 0; i < 3 && largest / scale.Factor >= 1000.0; ++i) {
      scale.Factor *= 1000.0;
      scale.Unit = QLatin1String(prefixes[i]) + unit;
    }
  }
  // About five labels on the axis.
  scale.LabelFormat = LabelFormatForStep((hi - lo) / scale.Factor / 5.0);
  return scale;
}

std::vector<QPointF> ChartPointsForDisplay(const std::vector<QPointF>& points, size_t cap) {
  cap = std::max<size_t>(cap, 4);
  if (points.size() <= cap) return points;
  std::vector<QPointF> shown;
  shown.reserve(cap);
  shown.push_back(points.front());
  // The inner points in stretches of about equal count, two kept of each.
  const size_t inner = points.size() - 2, stretches = cap / 2 - 1;
  for (size_t k = 0; k < stretches; ++k) {
    const size_t from = 1 + inner * k / stretches, to = 1 + inner * (k + 1) / stretches;
    if (from >= to) continue;
    size_t lo = from, hi = from;
    for (size_t i = from; i < to; ++i) {
      if (points[i].y() < points[lo].y()) lo = i;
      if (points[i].y() > points[hi].y()) hi = i;
    }
    shown.push_back(points[std::min(lo, hi)]);
    if (lo != hi) shown.push_back(points[std::max(lo, hi)]);
  }
  shown.push_back(points.back());
  return shown;
}

void TProfileTableModel::SetTable(const TProfileTable* table) {
  beginResetModel();
  FTable = table;
  FHeadings.clear();
  for (const auto& c : table ? table->Columns : std::vector<client::TProfileColumn>{}) {
    QString h = QString::fromStdString(c.Description);
    const QString unit = c.ScalerUnit ? QString::fromStdString(COSEMUnitName(c.ScalerUnit->Unit)) : QString();
    h += QStringLiteral("\n%1").arg(QString::fromStdString(client::LogicalNameDotted(c.Name)));
    if (!unit.isEmpty()) h += QStringLiteral(" [%1]").arg(unit);
    FHeadings << h;
  }
  endResetModel();
}

int TProfileTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !FTable ? 0 : static_cast<int>(FTable->Rows.size());
}

int TProfileTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FHeadings.size());
}

QVariant TProfileTableModel::data(const QModelIndex& index, int role) const {
  if (!FTable || !index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const auto& row = FTable->Rows[static_cast<size_t>(index.row())];
  const size_t c = static_cast<size_t>(index.column());
  if (c >= row.size()) return {};
  if (role == Qt::DisplayRole) return ProfileCellText(FTable->Columns[c], row[c]);
  if (role == Qt::TextAlignmentRole && (row[c].IsInteger() || row[c].Kind == client::TValueKind::vkFloat))
    return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
  return {};
}

QVariant TProfileTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= FHeadings.size())
    return QAbstractTableModel::headerData(section, orientation, role);
  return FHeadings[section];
}

TProfileView::TProfileView(const client::TMeterProfile& meter, const client::TObjectRef& profile,
                           const QString& caption, QWidget* parent)
    : QDialog(parent), FMeter(meter), FProfile(profile), FCancel(std::make_shared<client::TCancelToken>()) {
  setObjectName(QStringLiteral("ProfileView"));
  setWindowTitle(caption);
  resize(900, 600);
  FitToScreen(this);

  ByDate = new QRadioButton(QStringLiteral("From"));
  ByDate->setChecked(true);
  ByEntries = new QRadioButton(QStringLiteral("Entries"));
  const QDateTime now = QDateTime::currentDateTimeUtc();
  From = new QDateTimeEdit(now.addDays(-1));
  To = new QDateTimeEdit(now);
  for (QDateTimeEdit* e : {From, To}) {
    e->setTimeSpec(Qt::UTC);
    e->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
    e->setCalendarPopup(true);
  }
  FirstEntry = new QSpinBox;
  FirstEntry->setRange(1, 2147483647);
  LastEntry = new QSpinBox;
  LastEntry->setRange(0, 2147483647);
  LastEntry->setSpecialValueText(QStringLiteral("last"));
  ReadButton = new QPushButton(QStringLiteral("Read"));
  ReadButton->setDefault(true);
  CancelButton = new QPushButton(QStringLiteral("Cancel"));
  CancelButton->setEnabled(false);
  ExportButton = new QPushButton(QStringLiteral("Export CSV..."));
  ExportButton->setEnabled(false);
  Progress = new QProgressBar;
  Progress->setRange(0, 0);
  Progress->setVisible(false);
  ProgressText = new QLabel;

  auto* range = new QHBoxLayout;
  range->addWidget(ByDate);
  range->addWidget(From);
  range->addWidget(new QLabel(QStringLiteral("to")));
  range->addWidget(To);
  range->addSpacing(16);
  range->addWidget(ByEntries);
  range->addWidget(FirstEntry);
  range->addWidget(new QLabel(QStringLiteral("to")));
  range->addWidget(LastEntry);
  range->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(ReadButton);
  buttons->addWidget(CancelButton);
  buttons->addWidget(Progress, 1);
  buttons->addWidget(ProgressText);
  buttons->addWidget(ExportButton);

  TableModel = new TProfileTableModel(this);
  TableView = new QTableView;
  TableView->setModel(TableModel);
  TableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TableView->verticalHeader()->setVisible(false);
  TableView->setWordWrap(false);
  Chart = new QChartView;
  Chart->setRenderHint(QPainter::Antialiasing);
  ChartColumns = new QListWidget;
  ChartColumns->setMaximumWidth(300);
  auto* chartPane = new QSplitter(Qt::Horizontal);
  chartPane->addWidget(Chart);
  chartPane->addWidget(ChartColumns);
  chartPane->setStretchFactor(0, 1);
  Panes = new QSplitter(Qt::Vertical);
  Panes->addWidget(TableView);
  Panes->addWidget(chartPane);
  Panes->setChildrenCollapsible(false);
  Panes->setStretchFactor(0, 2);
  Panes->setStretchFactor(1, 3);

  auto* top = new QVBoxLayout(this);
  top->addLayout(range);
  top->addLayout(buttons);
  top->addWidget(Panes, 1);

  connect(ReadButton, &QPushButton::clicked, this, &TProfileView::Read);
  connect(CancelButton, &QPushButton::clicked, this, &TProfileView::Cancel);
  connect(ExportButton, &QPushButton::clicked, this, [this] {
    // The meter as the operator named it, else where it is reached.
    const std::string meter = !FMeter.Name.empty() ? FMeter.Name
                              : FMeter.Transport == client::TTransport::tHdlcSerial
                                  ? FMeter.Device
                                  : FMeter.Host + ":" + std::to_string(FMeter.Port);
    const QString f = RunSaveDialog(
        this, {.Caption = QStringLiteral("Export profile"),
               .Key = QStringLiteral("ProfileCSV"),
               .Filter = kCsvFilter,
               .Extension = QStringLiteral(".csv"),
               .FileName = ExportFileName(QString::fromStdString(meter),
                                          QString::fromStdString(client::LogicalNameDotted(FProfile.Name)),
                                          QDate::currentDate(), QStringLiteral(".csv"))});
    if (f.isEmpty()) return;
    RunFileCommand(this, windowTitle(), [&] {
      ExportCsv(f);
      ReportFileSaved(this, ProgressText,
                      QStringLiteral("Exported %1 to %2").arg(CountText(static_cast<qint64>(FTable.Rows.size()),
                                                                        QStringLiteral("row"), QStringLiteral("rows")),
                                                              f));
    });
  });
  connect(ChartColumns, &QListWidget::itemChanged, this, [this] { UpdateChart(); });
}

TProfileView::~TProfileView() = default;

client::TProfileRange TProfileView::Range() const {
  client::TProfileRange r;
  if (ByDate->isChecked()) {
    r.Kind = client::TProfileRange::rTime;
    r.From = From->dateTime().toSecsSinceEpoch();
    r.To = To->dateTime().toSecsSinceEpoch();
  } else {
    r.Kind = client::TProfileRange::rEntries;
    r.FirstEntry = static_cast<uint32_t>(FirstEntry->value());
    r.LastEntry = static_cast<uint32_t>(LastEntry->value());
  }
  return r;
}

void TProfileView::ShowProgress(const client::TProgress& p) {
  // A figure posted by a read that has ended since is not news.
  if (!FReading) return;
  const QString figures = QString::fromStdString(client::ProgressText(p));
  ProgressText->setText(figures);
  emit Working(QStringLiteral("Profile view: reading %1 (%2)")
                   .arg(QString::fromStdString(client::LogicalNameDotted(FProfile.Name)), figures));
}

void TProfileView::Read() {
  if (FReading) return;
  FReading = true;
  ReadButton->setEnabled(false);
  CancelButton->setEnabled(true);
  Progress->setVisible(true);
  ProgressText->clear();
  FCancel->Reset();
  const client::TProfileRange range = Range();
  const client::TMeterProfile meter = FMeter;
  const client::TObjectRef ref = FProfile;
  const std::shared_ptr<client::TCancelToken> token = FCancel;
  auto table = std::make_shared<TProfileTable>();
  // Which columns hold numbers is a look at every cell: the worker does it.
  auto numeric = std::make_shared<std::vector<int>>();
  // Why the session's invocation counter could not be kept (empty when it was).
  auto counterFailure = std::make_shared<std::string>();
  QPointer<TProfileView> self(this);
  client::TSession* shared = FShared.Session ? FShared.Session() : nullptr;
  const QString meterText = QString::fromStdString(meter.Transport == client::TTransport::tHdlcSerial
                                                       ? meter.Device
                                                       : meter.Host + ":" + std::to_string(meter.Port));
  const QString profileText = QString::fromStdString(client::LogicalNameDotted(ref.Name));
  if (shared) {
    if (FShared.Busy) FShared.Busy(true);
    client::TrafficNote("[Profile] reading " + profileText.toStdString() + " through the window's association");
    emit Working(QStringLiteral("Profile view: reading %1").arg(profileText));
  } else {
    emit Working(QStringLiteral("Profile view: connecting to %1").arg(meterText));
  }
  struct TDone {
    TProfileView* V;
    bool Shared;
    ~TDone() {
      if (Shared && V->FShared.Busy) V->FShared.Busy(false);
    }
  } done{this, shared != nullptr};
  try {
    // The worker posts its progress and goes on; the window shows the
    // newest figures as its loop gets to them.
    RunOnExchangeThread(
        [=] {
          client::TCall call;
          call.Cancel = token.get();
          call.Progress = [self](const client::TProgress& p) {
            if (*p.Stage) return;
            QMetaObject::invokeMethod(
                qApp, [self, p] { if (self) self->ShowProgress(p); }, Qt::QueuedConnection);
          };
          if (shared) {
            *table = shared->ReadProfile(ref, range, call);
          } else {
            client::TSession session(meter);
            // Its lines in the log window are marked as the view's.
            session.SetLayerNames(MarkedLayerNames("Profile"));
            session.SetLog(MarkedSessionLog("Profile"));
            // A meter refuses a counter it has seen: the count goes on from
            // where the last session with this meter left it (the main
            // window's, or an earlier process'), and this session's next
            // counter is kept when it ends, in failure as well.
            session.KeepInvocationCounter(
                client::TCounterKeeping{.Warning = [=](const std::string& e) { *counterFailure = e; }});
            session.Open(call);
            QMetaObject::invokeMethod(
                qApp, [self] { if (self) self->ShowProgress(client::TProgress{}); }, Qt::QueuedConnection);
            *table = session.ReadProfile(ref, range, call);
            session.Close();
          }
          *numeric = ProfileNumericColumns(*table);
        },
        nullptr);
  } catch (const std::exception& e) {
    // A read through the window's association that failed leaves it in no
    // state to go on: the window closes its link, as after its own failures.
    if (shared && FShared.Failed) FShared.Failed();
    emit Working(QString());
    FReading = false;
    ReadButton->setEnabled(true);
    CancelButton->setEnabled(false);
    Progress->setVisible(false);
    if (token->Cancelled()) {
      ProgressText->setText(QStringLiteral("Cancelled"));
      return;
    }
    const QString text = QString::fromUtf8(e.what());
    ProgressText->setText(text);
    ShowErrorBox(this, text);
    return;
  }
  emit Working(QString());
  FReading = false;
  ReadButton->setEnabled(true);
  CancelButton->setEnabled(false);
  Progress->setVisible(false);
  ProgressText->setText(counterFailure->empty() ? QStringLiteral("%1 entries").arg(table->Rows.size())
                                                : QStringLiteral("%1 entries; %2")
                                                      .arg(table->Rows.size())
                                                      .arg(QString::fromStdString(*counterFailure)));
  ShowTable(std::move(*table), *numeric);
}

void TProfileView::Cancel() { FCancel->Cancel(); }

void TProfileView::ReadWhenShown() { QTimer::singleShot(0, this, &TProfileView::Read); }

void TProfileView::ShowTable(TProfileTable table) {
  const std::vector<int> numeric = ProfileNumericColumns(table);
  ShowTable(std::move(table), numeric);
}

void TProfileView::ShowTable(TProfileTable table, const std::vector<int>& numeric) {
  FTable = std::move(table);
  TableModel->SetTable(&FTable);
  // Widths from the headings and the first rows (the model's texts are made
  // for those rows only).
  TableView->horizontalHeader()->setResizeContentsPrecision(200);
  TableView->resizeColumnsToContents();
  ExportButton->setEnabled(true);

  // Every numeric column may be charted; the first one is, to begin with.
  const QSignalBlocker block(ChartColumns);
  ChartColumns->clear();
  // The first column with a unit is charted to begin with (a measured
  // quantity rather than a status word).
  int charted = numeric.empty() ? -1 : numeric.front();
  for (int c : numeric)
    if (FTable.Columns[static_cast<size_t>(c)].ScalerUnit) {
      charted = c;
      break;
    }
  for (int c : numeric) {
    auto* item = new QListWidgetItem(QString::fromStdString(FTable.Columns[static_cast<size_t>(c)].Heading()), ChartColumns);
    item->setData(Qt::UserRole, c);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(c == charted ? Qt::Checked : Qt::Unchecked);
  }
  // The table paints first; the chart follows in a later turn of the loop.
  QTimer::singleShot(0, this, &TProfileView::UpdateChart);
}

std::vector<int> TProfileView::ChartedColumns() const {
  std::vector<int> columns;
  for (int i = 0; i < ChartColumns->count(); ++i)
    if (ChartColumns->item(i)->checkState() == Qt::Checked)
      columns.push_back(ChartColumns->item(i)->data(Qt::UserRole).toInt());
  return columns;
}

void TProfileView::UpdateChart() {
  auto* chart = new QChart;
  chart->legend()->setAlignment(Qt::AlignBottom);
  const int clock = ProfileClockColumn(FTable);
  auto* xAxis = new QDateTimeAxis;
  xAxis->setFormat(QStringLiteral("MM-dd HH:mm"));
  xAxis->setTitleText(QStringLiteral("UTC"));
  chart->addAxis(xAxis, Qt::AlignBottom);
  // The charted columns by unit: one value axis per unit, each in the
  // prefix its numbers read best in.
  struct TPoints {
    int Column;
    QString Unit;
    std::vector<QPointF> Points;  // x: milliseconds since the epoch
  };
  std::vector<TPoints> charted;
  int64_t tMin = 0, tMax = 0;
  bool anyPoint = false;
  for (int c : ChartedColumns()) {
    const client::TProfileColumn& column = FTable.Columns[static_cast<size_t>(c)];
    TPoints p{c, column.ScalerUnit ? QString::fromStdString(COSEMUnitName(column.ScalerUnit->Unit)) : QString(), {}};
    for (size_t r = 0; clock >= 0 && r < FTable.Rows.size(); ++r) {
      const auto& row = FTable.Rows[r];
      const auto t = TimeOf(row[static_cast<size_t>(clock)]);
      const auto y = NumberOf(column, row[static_cast<size_t>(c)]);
      if (!t || !y) continue;
      p.Points.emplace_back(static_cast<double>(*t) * 1000.0, *y);
      tMin = anyPoint ? std::min(tMin, *t) : *t;
      tMax = anyPoint ? std::max(tMax, *t) : *t;
      anyPoint = true;
    }
    charted.push_back(std::move(p));
  }
  QStringList units;
  for (const TPoints& p : charted)
    if (!units.contains(p.Unit)) units << p.Unit;
  for (int u = 0; u < units.size(); ++u) {
    double lo = 0, hi = 0;
    bool first = true;
    for (const TPoints& p : charted)
      for (const QPointF& pt : p.Points) {
        if (p.Unit != units[u]) break;
        lo = first ? pt.y() : std::min(lo, pt.y());
        hi = first ? pt.y() : std::max(hi, pt.y());
        first = false;
      }
    const TChartAxisScale scale = ChartAxisScale(lo, hi, units[u]);
    auto* yAxis = new QValueAxis;
    yAxis->setObjectName(QStringLiteral("ValueAxis%1").arg(u));
    yAxis->setTitleText(scale.Unit);
    yAxis->setLabelFormat(scale.LabelFormat);
    chart->addAxis(yAxis, u % 2 == 0 ? Qt::AlignLeft : Qt::AlignRight);
    for (const TPoints& p : charted) {
      if (p.Unit != units[u]) continue;
      auto* series = new QLineSeries;
      const std::string& description = FTable.Columns[static_cast<size_t>(p.Column)].Description;
      series->setName(QString::fromStdString(description) +
                      (scale.Unit.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(scale.Unit)));
      // The table keeps every entry; the chart draws no more points than
      // its width can tell apart.
      const std::vector<QPointF> shown = ChartPointsForDisplay(p.Points, kChartPointsShown);
      QList<QPointF> points;
      points.reserve(static_cast<qsizetype>(shown.size()));
      for (const QPointF& pt : shown) points.append(QPointF(pt.x(), pt.y() / scale.Factor));
      series->replace(points);
      chart->addSeries(series);
      series->attachAxis(xAxis);
      series->attachAxis(yAxis);
    }
    if (!first) {
      const double pad = hi > lo ? (hi - lo) * 0.05 : std::max(std::abs(hi) * 0.05, 1.0);
      yAxis->setRange((lo - pad) / scale.Factor, (hi + pad) / scale.Factor);
      // Round label values; their step decides the decimals.
      yAxis->applyNiceNumbers();
      if (yAxis->tickCount() > 1)
        yAxis->setLabelFormat(LabelFormatForStep((yAxis->max() - yAxis->min()) / (yAxis->tickCount() - 1)));
    }
  }
  if (anyPoint)
    xAxis->setRange(QDateTime::fromSecsSinceEpoch(tMin, Qt::UTC), QDateTime::fromSecsSinceEpoch(tMax, Qt::UTC));
  QChart* old = Chart->chart();
  Chart->setChart(chart);
  delete old;
}

// The value axes of the chart, left to right by unit.
QStringList TProfileView::ValueAxisTitles() const {
  QStringList titles;
  if (!Chart->chart()) return titles;
  for (QAbstractAxis* a : Chart->chart()->axes(Qt::Vertical)) titles << a->titleText();
  return titles;
}

void TProfileView::ExportCsv(const QString& fileName) const { WriteFileAtomically(fileName, QByteArray::fromStdString(client::ProfileCsv(FTable))); }

}  // namespace quillon
