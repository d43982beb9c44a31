// The marks of attributes and methods in an object's popup, from the access
// rights the association's object list gives.
#include "app/FormMain.h"
#include "client/Session.h"
#include "knowledge/COSEMEnums.h"

namespace quillon {

namespace {

// No mark for full access; a list that names nothing for an object says nothing about it.
QString Mark(bool listed, std::optional<int> mode, int fullAccess, std::string (*name)(std::int64_t)) {
  if (!listed) return QString();
  if (!mode) return QStringLiteral("not listed");
  if (*mode == fullAccess) return QString();
  const std::string text = name(*mode);
  return text.empty() ? QStringLiteral("access %1").arg(*mode) : QString::fromStdString(text);
}

}  // namespace

QString AttributeAccessMark(const TInstanceInfo& info, int attributeId) {
  if (!info.Entry) return QString();
  return Mark(!info.Entry->AttributeAccess.empty(), info.Entry->AttributeAccessOf(attributeId), 3,
              COSEMAttributeAccessName);
}

QString MethodAccessMark(const TInstanceInfo& info, int methodId) {
  if (!info.Entry) return QString();
  return Mark(!info.Entry->MethodAccess.empty(), info.Entry->MethodAccessOf(methodId), 1, COSEMMethodAccessName);
}

}  // namespace quillon
