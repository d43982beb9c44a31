#include "tools/meter-sim/SimModel.h"

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

T_Array* ArrayOf(T_Data& d) { return d.Tag == 1 ? static_cast<T_Array*>(d.Value.get()) : nullptr; }
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

int TSimObject::AttributeCount() const {
  int n = 1;
  for (const auto& a : Attributes) n = std::max(n, a.Id);
  return n;
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
      if (rest.rfind("rw ", 0) == 0) {
        a.Writable = true;
        rest = rest.substr(3);
      }
      if (rest != "computed") {
        try {
          a.Value = DataFromXmlText(rest);
        } catch (const std::exception& e) {
          ModelError(lineNr, e.what());
        }
      }
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

std::unique_ptr<T_Data> TSimModel::ObjectListLN() const {
  auto arr = std::make_unique<T_Array>(xmlArray);
  for (const auto& o : FObjects) {
    auto attrAccess = std::make_unique<T_Array>(xmlArray);
    int n = o->AttributeCount();
    for (int a = 1; a <= n; ++a) {
      bool rw = false;
      for (const auto& at : o->Attributes)
        if (at.Id == a) rw = at.Writable;
      attrAccess->Add(StructOf(I8(static_cast<int8_t>(a)), EnumV(rw ? 3 : 1), MakeData(xmlNullData)));
    }
    auto methodAccess = std::make_unique<T_Array>(xmlArray);
    for (int m = 1; m <= o->MethodCount; ++m) methodAccess->Add(StructOf(I8(static_cast<int8_t>(m)), EnumV(1)));
    arr->Add(StructOf(U16(o->ClassId), U8(o->Version), Octets(o->LogicalName),
                      StructOf(MakeData(xmlArray, std::move(attrAccess)), MakeData(xmlArray, std::move(methodAccess)))));
  }
  return MakeData(xmlArray, std::move(arr));
}

std::unique_ptr<T_Data> TSimModel::ObjectListSN() const {
  auto arr = std::make_unique<T_Array>(xmlArray);
  for (const auto& o : FObjects)
    if (o->ShortName >= 0)
      arr->Add(StructOf(I16(static_cast<int16_t>(o->ShortName)), U16(o->ClassId), U8(o->Version), Octets(o->LogicalName)));
  return MakeData(xmlArray, std::move(arr));
}

// One entry of a generated profile: every column filled from the capture
// objects (the clock as a date-time, registers as growing counters, other
// columns as a status byte).
std::unique_ptr<T_Data> TSimModel::ProfileEntry(const TSimObject& obj, int64_t index) const {
  const TProfileSpec& spec = FProfiles.at(&obj);
  auto period = seconds(spec.PeriodSeconds);
  auto nowSecs = duration_cast<seconds>(Now().time_since_epoch()).count();
  int64_t last = nowSecs / spec.PeriodSeconds * spec.PeriodSeconds;
  auto t = system_clock::time_point(seconds(last)) - period * (spec.Entries - 1 - index);
  std::vector<std::unique_ptr<T_Data>> cols;
  const TSimAttribute* capture = nullptr;
  for (const auto& a : obj.Attributes)
    if (a.Id == 3) capture = &a;
  auto* list = capture && capture->Value && capture->Value->Tag == 1 ? static_cast<T_Array*>(capture->Value->Value.get()) : nullptr;
  int n = list ? list->ElementCount() : 0;
  for (int c = 0; c < n; ++c) {
    auto* def = StructureOf(static_cast<T_Data*>(list->GetElements(c)));
    int64_t cls = 0;
    if (def && def->ElementCount() > 0) IntOf(static_cast<T_Data*>(def->GetElements(0)), cls);
    if (cls == 8)
      cols.push_back(Octets(DateTimeBytes(t)));
    else if (cls == 3 || cls == 4)
      cols.push_back(U32(static_cast<uint32_t>(100000 + (index + 1) * (250 + 37 * c) + (index * 7919 + c * 104729) % 97)));
    else
      cols.push_back(U8(static_cast<uint8_t>(index % 17 == 0 ? 0x08 : 0x00)));
  }
  return Struct(std::move(cols));
}

std::unique_ptr<T_Data> TSimModel::ProfileBuffer(const TSimObject& obj, const T_Data* selection, int selector) const {
  const TProfileSpec& spec = FProfiles.at(&obj);
  int64_t from = 0, to = spec.Entries - 1;
  if (selector == 1) {
    // Range by the capture time: (restricting object, from, to, selected values).
    auto* p = StructureOf(selection);
    system_clock::time_point tf, tt;
    if (!p || p->ElementCount() < 3) RaiseGeneral("range descriptor expected");
    auto* f = static_cast<T_Data*>(p->GetElements(1));
    auto* e = static_cast<T_Data*>(p->GetElements(2));
    auto bytesOf = [](T_Data* d) -> PduStr {
      if (auto* o = dynamic_cast<TOctetString*>(d->Value.get())) return o->Value;
      return PduStr();
    };
    if (!ParseDateTime(bytesOf(f), tf) || !ParseDateTime(bytesOf(e), tt)) RaiseGeneral("range descriptor dates");
    auto nowSecs = duration_cast<seconds>(Now().time_since_epoch()).count();
    int64_t last = nowSecs / spec.PeriodSeconds * spec.PeriodSeconds;
    int64_t first = last - static_cast<int64_t>(spec.PeriodSeconds) * (spec.Entries - 1);
    int64_t fs = duration_cast<seconds>(tf.time_since_epoch()).count();
    int64_t ts = duration_cast<seconds>(tt.time_since_epoch()).count();
    from = std::max<int64_t>(0, (fs - first + spec.PeriodSeconds - 1) / spec.PeriodSeconds);
    if (fs < first) from = 0;
    to = std::min<int64_t>(spec.Entries - 1, ts < first ? -1 : (ts - first) / spec.PeriodSeconds);
  } else if (selector == 2) {
    // Entries, counted from 1; a to_entry of 0 means the last one.
    auto* p = StructureOf(selection);
    int64_t a = 0, b = 0;
    if (!p || p->ElementCount() < 2 || !IntOf(static_cast<T_Data*>(p->GetElements(0)), a) ||
        !IntOf(static_cast<T_Data*>(p->GetElements(1)), b))
      RaiseGeneral("entry descriptor expected");
    from = std::max<int64_t>(a, 1) - 1;
    to = b == 0 ? spec.Entries - 1 : std::min<int64_t>(b, spec.Entries) - 1;
  }
  auto arr = std::make_unique<T_Array>(xmlArray);
  for (int64_t i = from; i <= to; ++i) arr->Add(ProfileEntry(obj, i));
  return MakeData(xmlArray, std::move(arr));
}

int TSimModel::Read(TSimObject& obj, int attributeId, const T_Data* selection, int selector,
                    std::unique_ptr<T_Data>& value) {
  if (selector != 0 && !(obj.ClassId == 7 && attributeId == 2 && FProfiles.count(&obj) && (selector == 1 || selector == 2)))
    return darOtherReason;
  if (attributeId == 1) {
    value = Octets(obj.LogicalName);
    return darSuccess;
  }
  if (obj.ClassId == 8 && attributeId == 2) {
    value = Octets(DateTimeBytes(Now()));
    return darSuccess;
  }
  if (obj.ClassId == 15 && attributeId == 2) {
    value = ObjectListLN();
    return darSuccess;
  }
  if (obj.ClassId == 12 && attributeId == 2) {
    value = ObjectListSN();
    return darSuccess;
  }
  if (obj.ClassId == 7 && FProfiles.count(&obj)) {
    if (attributeId == 2) {
      try {
        value = ProfileBuffer(obj, selection, selector);
      } catch (const std::exception&) {
        return darOtherReason;
      }
      return darSuccess;
    }
    if (attributeId == 7 || attributeId == 8) {
      value = U32(static_cast<uint32_t>(FProfiles.at(&obj).Entries));
      return darSuccess;
    }
  }
  TSimAttribute* a = obj.Attribute(attributeId);
  if (!a || !a->Value) return darObjectUndefined;
  value.reset(static_cast<T_Data*>(a->Value->Clone().release()));
  return darSuccess;
}

int TSimModel::Write(TSimObject& obj, int attributeId, const T_Data& value) {
  if (obj.ClassId == 8 && attributeId == 2) {
    TSimAttribute* a = obj.Attribute(2);
    if (!a || !a->Writable) return darReadWriteDenied;
    auto* o = dynamic_cast<const TOctetString*>(value.Value.get());
    system_clock::time_point t;
    if (!o || !ParseDateTime(o->Value, t)) return darTypeUnmatched;
    FClockOffset = t - system_clock::now();
    return darSuccess;
  }
  TSimAttribute* a = obj.Attribute(attributeId);
  if (!a) return attributeId == 1 || attributeId <= obj.AttributeCount() ? darReadWriteDenied : darObjectUndefined;
  if (!a->Writable) return darReadWriteDenied;
  if (a->Value && a->Value->Tag != value.Tag) return darTypeUnmatched;
  a->Value.reset(static_cast<T_Data*>(value.Clone().release()));
  return darSuccess;
}

int TSimModel::Invoke(TSimObject& obj, int methodId, const T_Data* parameters, std::unique_ptr<T_Data>& returned) {
  if (methodId < 1 || methodId > obj.MethodCount) return darObjectUndefined;
  auto set = [&](int id, std::unique_ptr<T_Data> v) {
    if (TSimAttribute* a = obj.Attribute(id)) a->Value = std::move(v);
  };
  if (obj.ClassId == 70) {
    // Disconnect control: 1 remote_disconnect, 2 remote_reconnect.
    bool connect = methodId == 2;
    set(2, Bool(connect));
    set(3, EnumV(connect ? 1 : 0));
  } else if ((obj.ClassId == 3 || obj.ClassId == 4) && methodId == 1) {
    // Register reset: the value goes back to zero of its own type.
    if (TSimAttribute* a = obj.Attribute(2); a && a->Value) {
      PduStr enc = a->Value->Encoded();
      for (size_t i = 1; i < enc.size(); ++i) enc[i] = 0;
      a->Value = MakeFromPdu<T_Data>(xmlIgnore, enc);
    }
  } else if (obj.ClassId == 8 && methodId == 6 && parameters) {
    // Clock shift_time by a number of seconds.
    int64_t s = 0;
    if (!IntOf(parameters, s)) return darTypeUnmatched;
    if (s < -900 || s > 900) return darOtherReason;  // a shift of at most a quarter of an hour
    FClockOffset += seconds(s);
  }
  (void)returned;
  return darSuccess;
}

}  // namespace quillon::sim
