#include "app/QuirksBox.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QStringList>

namespace quillon {

namespace {

// "max-pdu=N" -> ("max-pdu", "N"); "no-rlrq" -> ("no-rlrq", "").
std::pair<QString, QString> NameAndValue(const QString& item) {
  const qsizetype eq = item.indexOf(QLatin1Char('='));
  if (eq < 0) return {item.trimmed(), QString()};
  return {item.left(eq).trimmed(), item.mid(eq + 1).trimmed()};
}

}  // namespace

TQuirksBox::TQuirksBox(QWidget* parent) : QGroupBox(QStringLiteral("Meter quirks"), parent) {
  setObjectName(QStringLiteral("Quirks"));
  auto* grid = new QGridLayout(this);
  for (const client::TQuirkInfo& info : client::QuirkCatalogue()) {
    const auto [name, valueName] = NameAndValue(QString::fromUtf8(info.Syntax));
    TRow row;
    row.Name = name;
    row.Check = new QCheckBox(name);
    row.Check->setObjectName(QStringLiteral("QuirkCheck-") + name);
    row.Check->setToolTip(QString::fromUtf8(info.Meaning));
    if (!valueName.isEmpty()) {
      row.Value = new QLineEdit;
      row.Value->setObjectName(QStringLiteral("QuirkValue-") + name);
      row.Value->setPlaceholderText(valueName);
      row.Value->setToolTip(QString::fromUtf8(info.Meaning));
      row.Value->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
      row.Value->setEnabled(false);
      connect(row.Check, &QCheckBox::toggled, row.Value, &QLineEdit::setEnabled);
    }
    // Three columns of quirks, each a check box with its value field, so
    // that the dialog stays short enough for a laptop screen.
    const int index = static_cast<int>(FRows.size());
    const int r = index / 3, c = (index % 3) * 2;
    grid->addWidget(row.Check, r, c);
    if (row.Value) grid->addWidget(row.Value, r, c + 1);
    FRows.push_back(row);
  }
  // Quirks that set the same thing exclude each other (challenge-16 and
  // challenge-32): ticking one clears the other.
  for (const TRow& row : FRows) {
    if (row.Value) continue;
    connect(row.Check, &QCheckBox::toggled, this, [this, name = row.Name](bool on) {
      if (on) ClearOverridden(name);
    });
  }
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  FStrict = new QCheckBox(QStringLiteral("Strict: refuse meters' deviations"));
  FStrict->setObjectName(QStringLiteral("CHKStrict"));
  std::string tolerated;
  for (const client::TToleratedDeviation& d : client::ToleratedDeviations())
    tolerated += (tolerated.empty() ? "" : "; ") + std::string("the meter ") + d.What + " (" + d.Quirk + ")";
  FStrict->setToolTip(QStringLiteral("Refuse what meters commonly do wrong and is tolerated otherwise: %1. The "
                                     "quirks ticked above still apply.")
                          .arg(QString::fromStdString(tolerated)));
  grid->addWidget(FStrict, grid->rowCount(), 0, 1, 6);
}

QString TQuirksBox::Text() const {
  QStringList items;
  for (const TRow& row : FRows)
    if (row.Check->isChecked()) items << (row.Value ? row.Name + QLatin1Char('=') + row.Value->text().trimmed() : row.Name);
  return items.join(QLatin1Char(','));
}

void TQuirksBox::SetText(const QString& list) {
  // Values of quirks not ticked stay as typed, for the next tick.
  for (const TRow& row : FRows) row.Check->setChecked(false);
  for (const QString& item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const auto [name, value] = NameAndValue(item);
    for (const TRow& row : FRows)
      if (row.Name == name) {
        row.Check->setChecked(true);
        if (row.Value) row.Value->setText(value);
      }
  }
}

void TQuirksBox::ClearOverridden(const QString& name) {
  for (const TRow& other : FRows) {
    if (other.Value || other.Name == name || !other.Check->isChecked()) continue;
    const std::string both = (other.Name + QLatin1Char(',') + name).toStdString();
    const QString kept = QString::fromStdString(client::ParseQuirks(both, "Quirks").Text());
    if (!kept.split(QLatin1Char(',')).contains(other.Name)) other.Check->setChecked(false);
  }
}

client::TQuirks TQuirksBox::Quirks() const { return client::ParseQuirks(Text().toStdString(), "Quirks"); }

}  // namespace quillon
