// A profile generic's buffer for the operator: entries by date range or by
// entry range, read with progress and Cancel through a session of its own;
// a table with column headings and scaled values, a chart of the numeric
// columns against the clock column, and CSV export.
#pragma once

#include <QAbstractTableModel>
#include <QPointF>
#include <QDialog>
#include <QStringList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "client/MeterProfile.h"
#include "client/Session.h"

class QCheckBox;
class QDateTimeEdit;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableView;
class QSplitter;

class QChartView;

namespace quillon {

// The text of one table cell: scaled when the column has a scaler, else the
// readable text of the value.
QString ProfileCellText(const client::TProfileColumn& column, const client::TValue& value);
// The index of the clock column (a date-time of a clock object), or -1.
int ProfileClockColumn(const client::TProfileTable& table);
// The columns that hold numbers, apart from the clock column.
std::vector<int> ProfileNumericColumns(const client::TProfileTable& table);

// How the chart's value axis shows the numbers of one unit: divided by
// `Factor`, with the prefixed unit as the axis title ("MWh") and labels with
// as many decimals as the range needs. Only units that take SI prefixes
// (energy, power, voltage, current, ...) are prefixed.
struct TChartAxisScale {
  double Factor = 1;
  QString Unit;
  QString LabelFormat;  // printf form, "%.2f"
};
TChartAxisScale ChartAxisScale(double lo, double hi, const QString& unit);

// The points of one chart series thinned for display to at most `cap`
// (at least 4): the first and the last point, and in each of cap/2 - 1
// stretches between them its lowest and its highest point, in their order,
// so peaks and dips stay drawn. Fewer points than `cap` come back as they are.
std::vector<QPointF> ChartPointsForDisplay(const std::vector<QPointF>& points, size_t cap);
// The most points one series of the profile chart draws.
inline constexpr size_t kChartPointsShown = 2000;

// The table of a profile for the view: cell texts are made when a cell is
// shown, so tens of thousands of entries are on screen at once.
class TProfileTableModel : public QAbstractTableModel {
  Q_OBJECT
public:
  using QAbstractTableModel::QAbstractTableModel;
  // The table must outlive the model's use of it (the view owns both).
  void SetTable(const client::TProfileTable* table);
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
  const client::TProfileTable* FTable = nullptr;
  QStringList FHeadings;  // description over OBIS and unit
};

class TProfileView : public QDialog {
  Q_OBJECT
public:
  TProfileView(const client::TMeterProfile& meter, const client::TObjectRef& profile, const QString& caption,
               QWidget* parent = nullptr);
  ~TProfileView() override;

  // The range the controls ask for.
  client::TProfileRange Range() const;
  // The main window's association, which the view reads through while it
  // stands (a meter takes one association at a time, a serial line one
  // user): the session when open (else null), the window's commands held
  // while the view reads, and a failed read handed back (the window then
  // closes its link, as after its own failures).
  struct TSharedSession {
    std::function<client::TSession*()> Session;
    std::function<void(bool reading)> Busy;
    std::function<void()> Failed;
  };
  void ShareSession(TSharedSession shared) { FShared = std::move(shared); }
  // Reads with the current range; a failure ends in a message box, Cancel
  // in a note beside the progress.
  void Read();
  // Starts a read once the view is shown (the program's --open-profile).
  void ReadWhenShown();
  void Cancel();
  void ExportCsv(const QString& fileName) const;
  // Shows a table read elsewhere (and the chart of its numeric columns).
  void ShowTable(client::TProfileTable table);
  const client::TProfileTable& Table() const { return FTable; }
  // Columns drawn in the chart (table column indexes).
  std::vector<int> ChartedColumns() const;
  // The titles of the chart's value axes: the unit each shows, prefixed.
  QStringList ValueAxisTitles() const;

signals:
  // What the view's own session is doing, for the main window's status bar:
  // "Profile view: connecting to ...", "Profile view: reading ..."; empty
  // when it is done.
  void Working(const QString& text);

public:

  QRadioButton* ByDate;
  QRadioButton* ByEntries;
  QDateTimeEdit* From;
  QDateTimeEdit* To;
  QSpinBox* FirstEntry;
  QSpinBox* LastEntry;
  QPushButton* ReadButton;
  QPushButton* CancelButton;
  QPushButton* ExportButton;
  QProgressBar* Progress;
  QLabel* ProgressText;
  QSplitter* Panes;  // the table above the chart
  QTableView* TableView;
  TProfileTableModel* TableModel;
  QChartView* Chart;
  QListWidget* ChartColumns;

private:
  // `numeric`: ProfileNumericColumns of the table, worked out off the window's thread.
  void ShowTable(client::TProfileTable table, const std::vector<int>& numeric);
  void UpdateChart();
  void ShowProgress(const client::TProgress& p);

  client::TMeterProfile FMeter;
  client::TObjectRef FProfile;
  client::TProfileTable FTable;
  std::shared_ptr<client::TCancelToken> FCancel;
  bool FReading = false;
  TSharedSession FShared;
};

}  // namespace quillon
