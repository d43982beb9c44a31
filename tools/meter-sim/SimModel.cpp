#include "tools/meter-sim/SimModel.h"

#include "knowledge/COSEMClasses.h"
#include "tools/meter-sim/SimHistory.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <sstream>

namespace quillon::sim {

using namespace std::chrono;

std::unique_ptr<T_Data> MakeData(TXMLId alternative, PduPtr value) {
  auto d = T_Data::CreateVariant(alternative, std::move(value));
  d->XMLId = xmlIgnore;
  return d;
}

std::unique_ptr<T_Data> DataFromXmlText(const std::string& xml) { return MakeFromXml<T_Data>(xmlIgnore, xml); }

namespace {

std::unique_ptr<T_Data> U32(uint32_t v) { return MakeData(xmlDoubleLongUnsigned, std::make_unique<T_Unsigned32>(xmlIgnore, v)); }
std::unique_ptr<T_Data> U16(uint16_t v) { return MakeData(xmlLongUnsigned, std::make_unique<T_Unsigned16>(xmlIgnore, v)); }
std::unique_ptr<T_Data> U8(uint8_t v) { return MakeData(xmlUnsigned, std::make_unique<T_Unsigned8>(xmlIgnore, v)); }
std::unique_ptr<T_Data> I8(int8_t v) { return MakeData(xmlInteger, std::make_unique<T_Integer8>(xmlIgnore, v)); }
std::unique_ptr<T_Data> I16(int16_t v) { return MakeData(xmlLong, std::make_unique<T_Integer16>(xmlIgnore, v)); }
std::unique_ptr<T_Data> EnumV(uint8_t v) { return MakeData(xmlEnum, std::make_unique<T_Enum>(xmlIgnore, v)); }
std::unique_ptr<T_Data> Bool(bool v) { return MakeData(xmlBoolean, std::make_unique<T_Boolean>(xmlIgnore, v ? 1 : 0)); }
std::unique_ptr<T_Data> Octets(const PduStr& s) { return MakeData(xmlOctetString, std::make_unique<T_OctetString>(xmlIgnore, s)); }

std::unique_ptr<T_Data> Struct(std::vector<std::unique_ptr<T_Data>> items) {
  auto s = std::make_unique<T_Structure>(xmlStructure);
  for (auto& i : items) s->Add(std::move(i));
  return MakeData(xmlStructure, std::move(s));
}

template <class... T>
std::unique_ptr<T_Data> StructOf(T&&... items) {
  std::vector<std::unique_ptr<T_Data>> v;
  (v.push_back(std::forward<T>(items)), ...);
  return Struct(std::move(v));
}

T_Structure* StructureOf(const T_Data* d) { return d && d->Tag == 2 ? static_cast<T_Structure*>(d->Value.get()) : nullptr; }

[[noreturn]] void ModelError(int line, const std::string& what) {
  RaiseGeneral(Format("meter model, line %d: %s", line, what.c_str()));
}

// Integer value of a numeric Data leaf, or false.
bool IntOf(const T_Data* d, int64_t& v) {
  if (!d || !d->Value) return false;
  if (auto* n = dynamic_cast<const TNumericBase*>(d->Value.get())) {
    uint64_t b = n->Bits();
    int bytes = n->ByteCount();
    bool isSigned = d->Tag == 5 || d->Tag == 15 || d->Tag == 16 || d->Tag == 20;
    if (isSigned && bytes < 8 && (b >> (bytes * 8 - 1)) & 1) b |= ~uint64_t(0) << (bytes * 8);
    v = static_cast<int64_t>(b);
    return true;
  }
  return false;
}

}  // namespace

TSimAttribute* TSimObject::Attribute(int id) {
  for (auto& a : Attributes)
    if (a.Id == id) return &a;
  return nullptr;
}

const TSimAttribute* TSimObject::Attribute(int id) const { return const_cast<TSimObject*>(this)->Attribute(id); }

int TSimObject::AttributeCount() const {
  int n = 1;
  if (const TCOSEMClassInfo* info = COSEMClassesInfo().Search(ClassId, Version)) n = info->AttributesQty;
  for (const auto& a : Attributes) n = std::max(n, a.Id);
  return n;
}

TAccessMode TSimObject::Access(int id) const {
  if (id == 1) return amRead;
  const TSimAttribute* a = Attribute(id);
  return a ? a->Access : amNone;
}

bool TSimObject::MethodImplemented(int id) const {
  if (id < 1 || id > MethodCount) return false;
  switch (ClassId) {
    case 3:
    case 4: return id == 1;             // reset
    case 8: return id == 6;             // shift_time
    case 70: return id == 1 || id == 2;  // remote_disconnect, remote_reconnect
    case 15: return id == 1;            // reply_to_HLS_authentication
    case 12: return id == 8;            // reply_to_HLS_authentication
    default: return false;
  }
}

void TSimModel::LoadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) RaiseGeneral(Format("Cannot open meter model \"%s\"", path.c_str()));
  std::stringstream ss;
  ss << f.rdbuf();
  Load(ss.str());
}

void TSimModel::Load(const std::string& text) {
  FObjects.clear();
  FProfiles.clear();
  std::istringstream in(text);
  std::string line;
  int lineNr = 0;
  TSimObject* cur = nullptr;
  while (std::getline(in, line)) {
    ++lineNr;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream ls(line.substr(start));
    std::string kw;
    ls >> kw;
    if (kw == "object") {
      auto obj = std::make_unique<TSimObject>();
      int cls = -1, ver = -1;
      std::string ln;
      ls >> cls >> ver >> ln;
      if (cls < 0 || cls > 65535 || ver < 0 || ver > 255 || ln.empty()) ModelError(lineNr, "object <class> <version> <logical name> expected");
      obj->ClassId = static_cast<uint16_t>(cls);
      obj->Version = static_cast<uint8_t>(ver);
      try {
        obj->LogicalName = TMisc::FormattedStrToByteStr(ln);
      } catch (const std::exception& e) {
        ModelError(lineNr, e.what());
      }
      if (obj->LogicalName.size() != 6) ModelError(lineNr, "a logical name has six bytes");
      std::string tok;
      while (ls >> tok) {
        if (tok.rfind("sn=", 0) == 0) {
          // Base names are 16-bit; anything else would overflow the
          // short-name arithmetic below.
          char* end = nullptr;
          errno = 0;
          long sn = std::strtol(tok.c_str() + 3, &end, 16);
          if (tok.size() == 3 || *end != '\0' || errno != 0 || sn < 0 || sn > 0xFFFF)
            ModelError(lineNr, "sn=<base name 0000..FFFF, hex> expected");
          obj->ShortName = static_cast<int32_t>(sn);
        } else if (tok.rfind("profile=", 0) == 0) {
          TProfileSpec spec;
          if (std::sscanf(tok.c_str() + 8, "%d/%d", &spec.Entries, &spec.PeriodSeconds) != 2 || spec.Entries < 0 ||
              spec.Entries > 1000000 || spec.PeriodSeconds <= 0)
            ModelError(lineNr, "profile=<entries>/<period seconds> expected");
          // Entries are stamped back from the clock, which the time
          // arithmetic holds for a couple of centuries around now.
          if (static_cast<int64_t>(spec.Entries) * spec.PeriodSeconds > int64_t{100} * 366 * 86400)
            ModelError(lineNr, "a profile spans at most 100 years");
          FProfiles[obj.get()] = spec;
        } else if (tok[0] == '"') {
          std::string rest;
          std::getline(ls, rest);
          obj->Description = (tok + rest);
          obj->Description = obj->Description.substr(1, obj->Description.find_last_of('"') - 1);
          break;
        } else {
          ModelError(lineNr, "unknown word \"" + tok + "\"");
        }
      }
      cur = obj.get();
      FObjects.push_back(std::move(obj));
    } else if (kw == "attr") {
      if (!cur) ModelError(lineNr, "attr before the first object");
      TSimAttribute a;
      ls >> a.Id;
      if (a.Id < 2 || a.Id > 127) ModelError(lineNr, "attribute number 2..127 expected");
      std::string rest;
      std::getline(ls, rest);
      size_t p = rest.find_first_not_of(" \t");
      rest = p == std::string::npos ? std::string() : rest.substr(p);
      // Access: read-only unless "rw" (read and write), "wo" (write only) or
      // "none" (the class has the attribute, the meter does not give it out).
      std::string mode = rest.substr(0, rest.find_first_of(" \t"));
      if (mode == "rw" || mode == "wo" || mode == "none") {
        a.Access = mode == "rw" ? amReadWrite : mode == "wo" ? amWrite : amNone;
        size_t next = rest.find_first_not_of(" \t", mode.size());
        rest = next == std::string::npos ? std::string() : rest.substr(next);
      }
      if (rest == "computed") {
        a.Computed = true;
      } else if (!(a.Access == amNone && rest.empty())) {
        try {
          a.Value = DataFromXmlText(rest);
        } catch (const std::exception& e) {
          ModelError(lineNr, e.what());
        }
      }
      if (cur->Attribute(a.Id)) ModelError(lineNr, Format("attribute %d given twice", a.Id));
      cur->Attributes.push_back(std::move(a));
    } else if (kw == "client" || kw == "security") {
      // Association settings, read by the association layer.
    } else if (kw == "methods") {
      if (!cur) ModelError(lineNr, "methods before the first object");
      if (!(ls >> cur->MethodCount) || cur->MethodCount < 0 || cur->MethodCount > 127)
        ModelError(lineNr, "method count 0..127 expected");
    } else {
      ModelError(lineNr, "unknown word \"" + kw + "\"");
    }
  }
  // Each object's short names (attributes, then methods, 8 apart) must end
  // before the next object's base name.
  std::vector<const TSimObject*> bySn;
  for (const auto& o : FObjects)
    if (o->ShortName >= 0) bySn.push_back(o.get());
  std::sort(bySn.begin(), bySn.end(), [](auto* a, auto* b) { return a->ShortName < b->ShortName; });
  for (size_t i = 1; i < bySn.size(); ++i) {
    const TSimObject* a = bySn[i - 1];
    int end = a->ShortName + 8 * (a->AttributeCount() + a->MethodCount);
    if (end > bySn[i]->ShortName)
      RaiseGeneral(Format("meter model: short names of %s (%04X..%04X) overlap %s (%04X)", a->Description.c_str(),
                          a->ShortName, end - 8, bySn[i]->Description.c_str(), bySn[i]->ShortName));
  }
}

TSimObject* TSimModel::Find(uint16_t classId, const PduStr& logicalName) {
  for (auto& o : FObjects)
    if (o->ClassId == classId && o->LogicalName == logicalName) return o.get();
  return nullptr;
}

TSimObject* TSimModel::FindByLogicalName(const PduStr& logicalName) {
  for (auto& o : FObjects)
    if (o->LogicalName == logicalName) return o.get();
  return nullptr;
}

TSimObject* TSimModel::FindByShortName(int sn, int& offset) {
  TSimObject* best = nullptr;
  for (auto& o : FObjects)
    if (o->ShortName >= 0 && o->ShortName <= sn && (!best || o->ShortName > best->ShortName)) best = o.get();
  if (!best) return nullptr;
  offset = sn - best->ShortName;
  return best;
}

PduStr TSimModel::DateTimeBytes(system_clock::time_point t) {
  auto secs = system_clock::to_time_t(t);
  auto hundredths = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000 / 10;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  PduStr b;
  int year = tm.tm_year + 1900;
  b += static_cast<char>(year >> 8);
  b += static_cast<char>(year & 0xFF);
  b += static_cast<char>(tm.tm_mon + 1);
  b += static_cast<char>(tm.tm_mday);
  b += static_cast<char>(tm.tm_wday == 0 ? 7 : tm.tm_wday);
  b += static_cast<char>(tm.tm_hour);
  b += static_cast<char>(tm.tm_min);
  b += static_cast<char>(tm.tm_sec);
  b += static_cast<char>(hundredths);
  b += '\x00';  // deviation 0: the meter keeps UTC
  b += '\x00';
  b += '\x00';  // clock status: ok
  return b;
}

bool TSimModel::ParseDateTime(const PduStr& b, system_clock::time_point& t) {
  if (b.size() != 12) return false;
  auto u = [&](size_t i) { return static_cast<unsigned char>(b[i]); };
  int year = (u(0) << 8) | u(1);
  // The clock counts in nanoseconds, which spans the years 1678 to 2262;
  // a meter's dates stay well inside.
  if (year < 1900 || year > 2200 || u(2) < 1 || u(2) > 12 || u(3) < 1 || u(3) > 31 || u(5) > 23 || u(6) > 59 || u(7) > 59)
    return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = u(2) - 1;
  tm.tm_mday = u(3);
  tm.tm_hour = u(5);
  tm.tm_min = u(6);
  tm.tm_sec = u(7);
  time_t secs = timegm(&tm);
  int16_t deviation = static_cast<int16_t>((u(9) << 8) | u(10));
  // Deviation is local minus UTC in minutes; 0x8000 means not specified.
  if (deviation != static_cast<int16_t>(0x8000)) secs -= deviation * 60;
  t = system_clock::from_time_t(secs);
  if (u(8) != 0xFF && u(8) < 100) t += milliseconds(u(8) * 10);
  return true;
}

bool TSimModel::Addressable(const TSimObject& obj, bool logicalNames) {
  if (logicalNames) return obj.ClassId != 12;
  return obj.ClassId != 15 && obj.ShortName >= 0;
}

const TProfileSpec* TSimModel::Profile(const TSimObject& obj) const {
  auto it = FProfiles.find(&obj);
  return it == FProfiles.end() ? nullptr : &it->second;
}

namespace {

// The access rights of one object as both association classes list them:
// (attribute access, method access).
std::pair<std::unique_ptr<T_Data>, std::unique_ptr<T_Data>> AccessRights(const TSimObject& o, bool profile) {
  auto attrAccess = std::make_unique<T_Array>(xmlArray);
  int n = o.AttributeCount();
  for (int a = 1; a <= n; ++a) {
    // A profile's buffer takes selective access by range (1) and by entry (2).
    std::unique_ptr<T_Data> selectors;
    if (profile && a == 2) {
      auto list = std::make_unique<T_Array>(xmlArray);
      list->Add(I8(1));
      list->Add(I8(2));
      selectors = MakeData(xmlArray, std::move(list));
    } else {
      selectors = MakeData(xmlNullData);
    }
    attrAccess->Add(StructOf(I8(static_cast<int8_t>(a)), EnumV(o.Access(a)), std::move(selectors)));
  }
  auto methodAccess = std::make_unique<T_Array>(xmlArray);
  for (int m = 1; m <= o.MethodCount; ++m)
    methodAccess->Add(StructOf(I8(static_cast<int8_t>(m)), EnumV(o.MethodImplemented(m) ? 1 : 0)));
  return {MakeData(xmlArray, std::move(attrAccess)), MakeData(xmlArray, std::move(methodAccess))};
}

}  // namespace

std::unique_ptr<T_Data> TSimModel::ObjectListLN() const {
  auto arr = std::make_unique<T_Array>(xmlArray);
  for (const auto& o : FObjects) {
    if (!Addressable(*o, true)) continue;
    auto [attributes, methods] = AccessRights(*o, Profile(*o) != nullptr);
    arr->Add(StructOf(U16(o->ClassId), U8(o->Version), Octets(o->LogicalName),
                      StructOf(std::move(attributes), std::move(methods))));
  }
  return MakeData(xmlArray, std::move(arr));
}

std::unique_ptr<T_Data> TSimModel::ObjectListSN() const {
  auto arr = std::make_unique<T_Array>(xmlArray);
  for (const auto& o : FObjects)
    if (Addressable(*o, false))
      arr->Add(StructOf(I16(static_cast<int16_t>(o->ShortName)), U16(o->ClassId), U8(o->Version), Octets(o->LogicalName)));
  return MakeData(xmlArray, std::move(arr));
}

std::unique_ptr<T_Data> TSimModel::AccessRightsListSN() const {
  auto arr = std::make_unique<T_Array>(xmlArray);
  for (const auto& o : FObjects) {
    if (!Addressable(*o, false)) continue;
    auto [attributes, methods] = AccessRights(*o, Profile(*o) != nullptr);
    arr->Add(StructOf(I16(static_cast<int16_t>(o->ShortName)), std::move(attributes), std::move(methods)));
  }
  return MakeData(xmlArray, std::move(arr));
}

// The current association objects describe the association that reads them.
std::unique_ptr<T_Data> TSimModel::AssociationAttribute(const TSimObject& obj, int attributeId,
                                                        const TSimAssociationView& who) const {
  auto oid = [](int kind, int value) {
    // 2.16.756.5.8.kind.value: application context names (kind 1) and
    // authentication mechanism names (kind 2).
    PduStr b("\x60\x85\x74\x05\x08", 5);
    b += static_cast<char>(kind);
    b += static_cast<char>(value);
    return Octets(b);
  };
  switch (attributeId) {
    case 2: return obj.ClassId == 15 ? ObjectListLN() : ObjectListSN();
    case 3:
      if (obj.ClassId == 12) return AccessRightsListSN();
      return StructOf(I8(static_cast<int8_t>(who.ClientAddress)), U16(static_cast<uint16_t>(who.ServerAddress)));
    case 4: return oid(1, (who.LogicalNames ? 1 : 2) + (who.Ciphered ? 2 : 0));
    case 5: {
      std::string bits(24, '0');
      for (int k = 0; k < 24; ++k)
        if (who.Conformance & (1u << k)) bits[static_cast<size_t>(k)] = '1';
      return StructOf(MakeData(xmlBitString, std::make_unique<T_BitString>(xmlIgnore, bits)),
                      U16(static_cast<uint16_t>(who.ServerMaxPdu)), U16(static_cast<uint16_t>(who.ClientPduSize)),
                      U8(6), I8(0), Octets(PduStr()));
    }
    case 6: return oid(2, who.Mechanism - 1);
    default: return nullptr;
  }
}

// The security setup shows the suite and the two system titles of the
// association that reads it.
std::unique_ptr<T_Data> TSimModel::SecuritySetupAttribute(int attributeId, const TSimAssociationView& who) {
  switch (attributeId) {
    case 3: return EnumV(static_cast<uint8_t>(who.SecuritySuite));
    case 4: return Octets(who.ClientSystemTitle);
    case 5: return Octets(who.ServerSystemTitle);
    default: return nullptr;
  }
}

namespace {

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The scaler of a register-like object's value, 0 for anything else.
int ScalerOf(const TSimObject& obj) {
  int id = obj.ClassId == 3 || obj.ClassId == 4 ? 3 : obj.ClassId == 5 ? 4 : 0;
  const TSimAttribute* a = id ? obj.Attribute(id) : nullptr;
  int64_t scaler = 0;
  if (a && a->Value)
    if (auto* st = StructureOf(a->Value.get()); st && st->ElementCount() == 2)
      IntOf(static_cast<T_Data*>(st->GetElements(0)), scaler);
  return static_cast<int>(scaler);
}

// The date-time an access parameter carries: an octet string or a date-time.
bool DateTimeOf(const T_Data* d, system_clock::time_point& t) {
  if (!d || !d->Value) return false;
  PduStr bytes;
  if (auto* o = dynamic_cast<const TOctetString*>(d->Value.get())) bytes = o->Value;
  else if (d->Tag == 25) bytes = d->Encoded().substr(1);
  else return false;
  return TSimModel::ParseDateTime(bytes, t);
}

}  // namespace

// The buffer, or the part of it a selective access asks for. Every entry is
// made from its capture time alone: the clock column is that time, columns of
// quantities the meter keeps a history of hold their value at that time in
// the captured object's type and scaler, anything else its current value.
std::unique_ptr<T_Data> TSimModel::ProfileBuffer(const TSimObject& obj, const T_Data* selection, int selector) const {
  const TProfileSpec& spec = FProfiles.at(&obj);
  const int64_t period = spec.PeriodSeconds;
  const int64_t newest = FloorDiv(duration_cast<seconds>(Now().time_since_epoch()).count(), period);
  const int64_t oldest = newest - spec.Entries + 1;

  struct TColumn {
    const TSimObject* Object = nullptr;
    int Attribute = 0;
  };
  std::vector<TColumn> columns;
  const TSimAttribute* capture = obj.Attribute(3);
  auto* list = capture && capture->Value && capture->Value->Tag == 1 ? static_cast<T_Array*>(capture->Value->Value.get()) : nullptr;
  // Class, logical name and attribute of a capture object definition.
  auto definition = [](const T_Data* d, int64_t& cls, PduStr& ln, int64_t& attr) {
    auto* def = StructureOf(d);
    if (!def || def->ElementCount() < 3) return false;
    auto* o = dynamic_cast<const TOctetString*>(static_cast<T_Data*>(def->GetElements(1))->Value.get());
    if (!o || !IntOf(static_cast<T_Data*>(def->GetElements(0)), cls) || !IntOf(static_cast<T_Data*>(def->GetElements(2)), attr))
      return false;
    ln = o->Value;
    return true;
  };
  std::vector<std::pair<int64_t, PduStr>> keys;  // (class, logical name) per column
  for (int c = 0; list && c < list->ElementCount(); ++c) {
    int64_t cls = 0, attr = 0;
    PduStr ln;
    definition(static_cast<T_Data*>(list->GetElements(c)), cls, ln, attr);
    TColumn col;
    col.Object = const_cast<TSimModel*>(this)->Find(static_cast<uint16_t>(cls), ln);
    col.Attribute = static_cast<int>(attr);
    columns.push_back(col);
    keys.emplace_back(cls, ln);
  }

  int64_t from = oldest, to = newest;
  size_t firstColumn = 0, lastColumn = columns.size();  // [first, last)
  std::vector<size_t> chosen;
  if (selector == 1) {
    // Range on the clock column: (restricting object, from, to, selected values).
    auto* p = StructureOf(selection);
    if (!p || p->ElementCount() != 4) RaiseGeneral("range descriptor expected");
    int64_t cls = 0, attr = 0;
    PduStr ln;
    if (!definition(static_cast<T_Data*>(p->GetElements(0)), cls, ln, attr) || cls != 8 || attr != 2)
      RaiseGeneral("range descriptor: the restricting object is not a clock");
    system_clock::time_point tf, tt;
    if (!DateTimeOf(static_cast<T_Data*>(p->GetElements(1)), tf) || !DateTimeOf(static_cast<T_Data*>(p->GetElements(2)), tt))
      RaiseGeneral("range descriptor dates");
    // Entries stamped inside [from, to]: the first whole period at or after
    // from, the last at or before to.
    int64_t fs = duration_cast<seconds>(tf.time_since_epoch()).count();
    int64_t ts = duration_cast<seconds>(tt.time_since_epoch()).count();
    from = std::max(oldest, -FloorDiv(-fs, period));
    to = std::min(newest, FloorDiv(ts, period));
    auto* values = static_cast<T_Data*>(p->GetElements(3));
    if (values->Tag == 1) {
      auto* wanted = static_cast<T_Array*>(values->Value.get());
      for (int i = 0; i < wanted->ElementCount(); ++i) {
        int64_t wc = 0, wa = 0;
        PduStr wl;
        if (!definition(static_cast<T_Data*>(wanted->GetElements(i)), wc, wl, wa)) RaiseGeneral("selected value expected");
        size_t k = 0;
        while (k < columns.size() && !(keys[k].first == wc && keys[k].second == wl && columns[k].Attribute == wa)) ++k;
        if (k == columns.size()) RaiseGeneral("selected value is not captured");
        chosen.push_back(k);
      }
    } else if (values->Tag != 0) {
      RaiseGeneral("selected values expected");
    }
  } else if (selector == 2) {
    // Entries and columns, counted from 1; a 0 at the end means up to the last.
    auto* p = StructureOf(selection);
    int64_t a = 0, b = 0, ca = 1, cb = 0;
    if (!p || p->ElementCount() != 4 || !IntOf(static_cast<T_Data*>(p->GetElements(0)), a) ||
        !IntOf(static_cast<T_Data*>(p->GetElements(1)), b) || !IntOf(static_cast<T_Data*>(p->GetElements(2)), ca) ||
        !IntOf(static_cast<T_Data*>(p->GetElements(3)), cb))
      RaiseGeneral("entry descriptor expected");
    from = oldest + std::max<int64_t>(a, 1) - 1;
    to = b == 0 ? newest : std::min(newest, oldest + b - 1);
    firstColumn = static_cast<size_t>(std::clamp<int64_t>(ca, 1, static_cast<int64_t>(columns.size()) + 1) - 1);
    if (cb != 0) lastColumn = static_cast<size_t>(std::clamp<int64_t>(cb, 0, static_cast<int64_t>(columns.size())));
  }
  if (chosen.empty())
    for (size_t k = firstColumn; k < lastColumn; ++k) chosen.push_back(k);

  auto arr = std::make_unique<T_Array>(xmlArray);
  for (int64_t k = from; k <= to; ++k) {
    int64_t t = k * period;
    std::vector<std::unique_ptr<T_Data>> cells;
    for (size_t c : chosen) {
      const TColumn& col = columns[c];
      const TSimAttribute* source = col.Object ? col.Object->Attribute(col.Attribute) : nullptr;
      double v = 0;
      if (col.Object && col.Object->ClassId == 8 && col.Attribute == 2)
        cells.push_back(Octets(DateTimeBytes(system_clock::time_point(seconds(t)))));
      else if (source && source->Value && HistoricValue(col.Object->LogicalName, t, v)) {
        const bool energy = col.Object->LogicalName[3] == 8;
        cells.push_back(ScaledLike(*source->Value, energy ? v * FEnergyFactor : v, ScalerOf(*col.Object), energy));
      }
      else if (source && source->Value)
        cells.push_back(std::unique_ptr<T_Data>(static_cast<T_Data*>(source->Value->Clone().release())));
      else
        cells.push_back(MakeData(xmlNullData));
    }
    arr->Add(Struct(std::move(cells)));
  }
  return MakeData(xmlArray, std::move(arr));
}

void TSimModel::ScaleEnergies(double factor) {
  FEnergyFactor = factor;
  const int64_t now = duration_cast<seconds>(Now().time_since_epoch()).count();
  for (auto& obj : FObjects) {
    if (obj->ClassId != 3 || obj->LogicalName[3] != 8) continue;
    TSimAttribute* a = obj->Attribute(2);
    double v = 0;
    if (a && a->Value && HistoricValue(obj->LogicalName, now, v))
      a->Value = ScaledLike(*a->Value, v * factor, ScalerOf(*obj), true);
  }
}

int TSimModel::Read(TSimObject& obj, int attributeId, const T_Data* selection, int selector,
                    std::unique_ptr<T_Data>& value, const TSimAssociationView& who) {
  if (attributeId < 1 || attributeId > obj.AttributeCount()) return darObjectUndefined;
  if (!(obj.Access(attributeId) & amRead)) return darReadWriteDenied;
  const TProfileSpec* profile = obj.ClassId == 7 ? Profile(obj) : nullptr;
  if (selector != 0 && !(profile && attributeId == 2 && (selector == 1 || selector == 2))) return darOtherReason;
  if (attributeId == 1) {
    value = Octets(obj.LogicalName);
    return darSuccess;
  }
  if (obj.ClassId == 8 && attributeId == 2) {
    value = Octets(DateTimeBytes(Now()));
    return darSuccess;
  }
  // Association objects of other clients hold their values like any object.
  if ((obj.ClassId == 15 || obj.ClassId == 12) && obj.Attribute(attributeId) && obj.Attribute(attributeId)->Computed)
    if ((value = AssociationAttribute(obj, attributeId, who))) return darSuccess;
  if (obj.ClassId == 64 && obj.Attribute(attributeId) && obj.Attribute(attributeId)->Computed)
    if ((value = SecuritySetupAttribute(attributeId, who))) return darSuccess;
  if (profile) {
    if (attributeId == 2) {
      try {
        value = ProfileBuffer(obj, selection, selector);
      } catch (const std::exception&) {
        return darOtherReason;
      }
      return darSuccess;
    }
    if (attributeId == 7 || attributeId == 8) {
      value = U32(static_cast<uint32_t>(profile->Entries));
      return darSuccess;
    }
  }
  if (obj.ClassId == 1 && attributeId == 2 && obj.LogicalName == PduStr("\x00\x00\x2B\x01\x00\xFF", 6) &&
      InvocationCounter) {
    value = U32(InvocationCounter());
    return darSuccess;
  }
  TSimAttribute* a = obj.Attribute(attributeId);
  // A computed attribute the meter cannot compute (a model that marks one it
  // does not know) is temporarily unavailable rather than wrong.
  if (!a || !a->Value) return darObjectUnavailable;
  value.reset(static_cast<T_Data*>(a->Value->Clone().release()));
  return darSuccess;
}

int TSimModel::Write(TSimObject& obj, int attributeId, const T_Data& value) {
  if (attributeId < 1 || attributeId > obj.AttributeCount()) return darObjectUndefined;
  if (!(obj.Access(attributeId) & amWrite)) return darReadWriteDenied;
  if (obj.ClassId == 8 && attributeId == 2) {
    auto* o = dynamic_cast<const TOctetString*>(value.Value.get());
    system_clock::time_point t;
    if (!o || !ParseDateTime(o->Value, t)) return darTypeUnmatched;
    FClockOffset = t - system_clock::now();
    return darSuccess;
  }
  TSimAttribute* a = obj.Attribute(attributeId);
  if (a->Computed) return darReadWriteDenied;
  if (a->Value && a->Value->Tag != value.Tag) return darTypeUnmatched;
  a->Value.reset(static_cast<T_Data*>(value.Clone().release()));
  return darSuccess;
}

int TSimModel::Invoke(TSimObject& obj, int methodId, const T_Data* parameters, std::unique_ptr<T_Data>& returned) {
  if (methodId < 1 || methodId > obj.MethodCount) return darObjectUndefined;
  if (!obj.MethodImplemented(methodId)) return darReadWriteDenied;
  auto set = [&](int id, std::unique_ptr<T_Data> v) {
    if (TSimAttribute* a = obj.Attribute(id)) a->Value = std::move(v);
  };
  if (obj.ClassId == 70) {
    // Disconnect control: 1 remote_disconnect, 2 remote_reconnect.
    bool connect = methodId == 2;
    set(2, Bool(connect));
    set(3, EnumV(connect ? 1 : 0));
  } else if (obj.ClassId == 3 || obj.ClassId == 4) {
    // Register reset: the value goes back to zero of its own type.
    if (TSimAttribute* a = obj.Attribute(2); a && a->Value) {
      PduStr enc = a->Value->Encoded();
      for (size_t i = 1; i < enc.size(); ++i) enc[i] = 0;
      a->Value = MakeFromPdu<T_Data>(xmlIgnore, enc);
    }
  } else if (obj.ClassId == 8) {
    // Clock shift_time by a number of seconds.
    int64_t s = 0;
    if (!IntOf(parameters, s)) return darTypeUnmatched;
    if (s < -900 || s > 900) return darOtherReason;  // a shift of at most a quarter of an hour
    FClockOffset += seconds(s);
  } else {
    // The authentication reply belongs to an association that is still
    // being opened; this one is open already.
    return darTemporaryFailure;
  }
  (void)returned;
  return darSuccess;
}

}  // namespace quillon::sim
