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
  // One value on one line, as the top line shows it: scaled with its unit
  // where `scalerUnit` applies, a logical name as its OBIS code, enums with
  // their names, a short flat structure or array as {a, b, ...}; a long or
  // nested one as "N element(s)". The same text wherever the window shows a value in a line.
  static QString ReadableText(const client::TValue& value, const std::optional<client::TScalerUnit>& scalerUnit,
                              const client::TValuePlace& place = {});
  // The same for a Data element's XML; empty when it is none.
  static QString ReadableXml(const QString& xml, const std::optional<client::TScalerUnit>& scalerUnit,
                             const client::TValuePlace& place = {});

  // Arrays longer than this show their first elements and a line that says
  // how many were left out, so that a huge profile buffer stays quick.
  static constexpr int kMaxShownElements = 2000;
  // The longest structure or array shown on one line.
  static constexpr size_t kMaxItemsInLine = 32;
  static constexpr qsizetype kMaxLineLength = 240;

private:
  void AddItems(QTreeWidgetItem* parent, const client::TValue& value, const client::TValuePlace& place, int depth);
};

}  // namespace quillon
