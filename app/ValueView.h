// The readable form of the value read last, beside the XML editor: numbers
// in decimal, register values scaled and with their unit, dates and times in
// ISO 8601, enums with their names, octet strings as text or hex, arrays and
// structures as a tree.
#pragma once

#include <QString>
#include <QTreeWidget>
#include <optional>

#include "client/Value.h"

namespace quillon {

class TValueView : public QTreeWidget {
  Q_OBJECT
public:
  explicit TValueView(QWidget* parent = nullptr);

  // Shows one Data element (the XML the editor shows). `scalerUnit`, when
  // given, applies to the value itself (a register's value attribute).
  // `place` (class, version, attribute) names the enums the class catalogue
  // knows: "internal crystal (1)". Text that is no Data element leaves a
  // one-line note instead.
  void ShowDataXml(const QString& xml, const std::optional<client::TScalerUnit>& scalerUnit,
                   const client::TValuePlace& place = {});
  void ShowValue(const client::TValue& value, const std::optional<client::TScalerUnit>& scalerUnit,
                 const client::TValuePlace& place = {});

  // "1234.567 kWh": the scaled value with its unit; nullopt when the value
  // is no number.
  static std::optional<QString> ScaledWithUnit(const client::TValue& value, const client::TScalerUnit& su);
  // The readable text of the top line.
  QString TopText() const;

  // Arrays longer than this show their first elements and a line that says
  // how many were left out, so that a huge profile buffer stays quick.
  static constexpr int kMaxShownElements = 2000;

private:
  void AddItems(QTreeWidgetItem* parent, const client::TValue& value, const client::TValuePlace& place, int depth);
};

}  // namespace quillon
