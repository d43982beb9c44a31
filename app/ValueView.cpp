#include "app/ValueView.h"

#include <QHeaderView>

#include <algorithm>

#include "client/ObjectRef.h"
#include "knowledge/COSEMUnits.h"

namespace quillon {

using client::TValue;
using client::TValueKind;

TValueView::TValueView(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("ValueView"));
  setColumnCount(2);
  setHeaderLabels({QStringLiteral("Value"), QStringLiteral("Type")});
  header()->setSectionResizeMode(0, QHeaderView::Stretch);
  header()->setStretchLastSection(false);
  setUniformRowHeights(true);
}

std::optional<QString> TValueView::ScaledWithUnit(const TValue& value, const client::TScalerUnit& su) {
  const std::optional<std::string> scaled = client::ScaledText(value, su.Scaler);
  if (!scaled) return std::nullopt;
  const std::string unit = COSEMUnitName(su.Unit);
  return QString::fromStdString(unit.empty() ? *scaled : *scaled + " " + unit);
}

QString TValueView::ReadableText(const TValue& value, const std::optional<client::TScalerUnit>& scalerUnit,
                                 const client::TValuePlace& place) {
  if (scalerUnit)
    if (auto scaled = ScaledWithUnit(value, *scalerUnit)) return *scaled;
  // Attribute 1 of every class is its logical name.
  if (place.Attribute == 1 && place.Path.empty() && value.Kind == TValueKind::vkOctetString && value.Bytes.size() == 6)
    return QString::fromStdString(client::LogicalNameDotted(client::LogicalNameOfBytes(value.Bytes)));
  const auto isComposite = [](const TValue& v) { return v.Kind == TValueKind::vkArray || v.Kind == TValueKind::vkStructure; };
  const bool composite = isComposite(value);
  const QString many = QStringLiteral("%1 element(s)").arg(value.Items.size());
  // Only a short flat structure or array reads well on one line (a
  // scaler_unit, a date pair); a buffer or an object list is a tree.
  if (composite && (value.Items.size() > kMaxItemsInLine || std::any_of(value.Items.begin(), value.Items.end(), isComposite)))
    return many;
  const QString text = QString::fromStdString(client::ValueToText(value, place));
  return composite && text.size() > kMaxLineLength ? many : text;
}

QString TValueView::ReadableXml(const QString& xml, const std::optional<client::TScalerUnit>& scalerUnit,
                                const client::TValuePlace& place) {
  try {
    return ReadableText(client::ParseDataXml(xml.toStdString()), scalerUnit, place);
  } catch (const std::exception&) {
    return QString();
  }
}

QString TValueView::TopText() const {
  const QTreeWidgetItem* top = topLevelItem(0);
  return top ? top->text(0) : QString();
}

void TValueView::ShowDataXml(const QString& xml, const std::optional<client::TScalerUnit>& scalerUnit,
                             const client::TValuePlace& place) {
  try {
    ShowValue(client::ParseDataXml(xml.toStdString()), scalerUnit, place);
  } catch (const std::exception& e) {
    clear();
    addTopLevelItem(new QTreeWidgetItem({QStringLiteral("(no readable form: %1)").arg(QString::fromUtf8(e.what()))}));
  }
}

void TValueView::ShowValue(const TValue& value, const std::optional<client::TScalerUnit>& scalerUnit,
                           const client::TValuePlace& place) {
  setUpdatesEnabled(false);
  clear();
  auto* top = new QTreeWidgetItem;
  std::optional<QString> scaled;
  if (scalerUnit) scaled = ScaledWithUnit(value, *scalerUnit);
  if (scaled) {
    top->setText(0, *scaled);
    top->setText(1, QString::fromStdString(value.Type));
    top->setToolTip(0, QStringLiteral("%1 × 10^%2").arg(QString::fromStdString(client::ValueToText(value))).arg(scalerUnit->Scaler));
  } else {
    AddItems(top, value, place, 0);
  }
  addTopLevelItem(top);
  top->setExpanded(true);
  setUpdatesEnabled(true);
}

void TValueView::AddItems(QTreeWidgetItem* item, const TValue& value, const client::TValuePlace& place, int depth) {
  item->setText(1, QString::fromStdString(value.Type));
  if (value.Kind != TValueKind::vkArray && value.Kind != TValueKind::vkStructure) {
    item->setText(0, depth == 0 ? ReadableText(value, std::nullopt, place)
                                : QString::fromStdString(client::ValueToText(value, place)));
    return;
  }
  item->setText(0, depth == 0 ? ReadableText(value, std::nullopt, place)
                              : QStringLiteral("%1 element(s)").arg(value.Items.size()));
  const size_t shown = std::min(value.Items.size(), static_cast<size_t>(kMaxShownElements));
  for (size_t i = 0; i < shown; ++i) {
    auto* child = new QTreeWidgetItem(item);
    AddItems(child, value.Items[i], place.Element(value, i), depth + 1);
    child->setText(0, QStringLiteral("[%1] %2").arg(i).arg(child->text(0)));
  }
  if (shown < value.Items.size())
    new QTreeWidgetItem(item, {QStringLiteral("... %1 more").arg(value.Items.size() - shown)});
  // The first levels open; deeper ones on demand.
  if (depth < 1) item->setExpanded(true);
}

}  // namespace quillon
