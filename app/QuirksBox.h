// The settings dialog's group of meter quirks: one check box per quirk the
// session library knows (its description as the tooltip) and a value field
// beside those that take one. Built from the library's list, so a quirk
// added there shows up here without a change.
// Below them the strict box: refuse even the deviations the library
// tolerates by default (the quirks ticked still apply).
#pragma once

#include <QGroupBox>
#include <QString>
#include <vector>

#include "client/Quirks.h"

class QCheckBox;
class QLineEdit;

namespace quillon {

class TQuirksBox : public QGroupBox {
  Q_OBJECT
public:
  explicit TQuirksBox(QWidget* parent = nullptr);

  // The quirks ticked, as the meters file writes them
  // ("challenge-16,max-pdu=512"); values as typed, unchecked.
  QString Text() const;
  // Ticks the quirks of a list in that form and fills their values; the
  // others are unticked. Names this program does not know are skipped (a
  // settings file written by a newer version).
  void SetText(const QString& list);

  // The quirks ticked; fails with the message naming the field "Quirks"
  // when a value is missing or out of its range.
  client::TQuirks Quirks() const;

  struct TRow {
    QString Name;               // "max-pdu"
    QCheckBox* Check = nullptr;
    QLineEdit* Value = nullptr;  // null for quirks without a value
  };
  const std::vector<TRow>& Rows() const { return FRows; }
  // "CHKStrict", saved with the other settings controls.
  QCheckBox* Strict() const { return FStrict; }

private:
  // Clears the ticked quirks without a value that quirk `name` overrides.
  void ClearOverridden(const QString& name);
  std::vector<TRow> FRows;
  QCheckBox* FStrict = nullptr;
};

}  // namespace quillon
