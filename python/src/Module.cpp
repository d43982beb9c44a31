// quillon._quillon: the session library for Python. Meters are profiles
// built through the same option checks as quillon-cli; sessions run their
// meter calls with the GIL released, so that threads read side by side, and
// watch for Ctrl-C while they wait, cancelling through the session's token.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <variant>

#include "client/Batch.h"
#include "client/ProfileOptions.h"
#include "client/Session.h"
#include "client/SigningKeys.h"
#include "knowledge/COSEMTypes.h"
#include "knowledge/COSEMUnits.h"
#include "quillon/Version.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/ExchangeErrors.h"
#include "xmlpdu/infra/Misc.h"

namespace py = pybind11;
using namespace quillon;
using namespace quillon::client;

namespace {

// ---------------------------------------------------------------- the Python side

// Objects of the package's pure-Python part, looked up once. Kept for the
// life of the process: they must not be released after the interpreter.
struct TPyNames {
  py::object Types, Decimal, Datetime, Timezone, Timedelta, Warn;
  unsigned long MainThread = 0;
};

TPyNames& Names() {
  static TPyNames* names = [] {
    auto* n = new TPyNames;
    n->Types = py::module_::import("quillon._types");
    n->Decimal = py::module_::import("decimal").attr("Decimal");
    py::module_ dt = py::module_::import("datetime");
    n->Datetime = dt.attr("datetime");
    n->Timezone = dt.attr("timezone");
    n->Timedelta = dt.attr("timedelta");
    n->Warn = py::module_::import("warnings").attr("warn");
    n->MainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    return n;
  }();
  return *names;
}

py::object Type(const char* name) { return Names().Types.attr(name); }

[[noreturn]] void RaiseUsage(const std::string& message) {
  PyErr_SetObject(Type("UsageError").ptr(), py::str(message).ptr());
  throw py::error_already_set();
}

py::object DiagnosisOf(const TDiagnosis& d) {
  return Type("Diagnosis")(d.Name, d.What, d.Cause, d.Fix, d.Text());
}

[[noreturn]] void RaiseMeter(const std::string& message, const std::optional<TDiagnosis>& diagnosis,
                             const std::string& cause) {
  py::object error = Type("MeterError")(message, diagnosis ? DiagnosisOf(*diagnosis) : py::none(), cause);
  PyErr_SetObject(Type("MeterError").ptr(), error.ptr());
  throw py::error_already_set();
}

// Every error of the library reaches Python as UsageError or MeterError.
void TranslateErrors(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const py::error_already_set&) {
    throw;
  } catch (const py::builtin_exception&) {
    throw;  // StopIteration and the like: pybind11's own
  } catch (const EUsageError& e) {
    RaiseUsage(e.what());
  } catch (const EMeterError& e) {
    RaiseMeter(e.what(), e.Diagnosis, e.Cause());
  } catch (const std::exception& e) {
    RaiseMeter(e.what(), std::nullopt, e.what());
  }
}

// ---------------------------------------------------------------- values to Python

py::object DateTimeOf(const std::string& bytes) {
  if (bytes.size() != 12) return py::none();
  const auto d = DecodeDateTime(bytes);
  if (!d || !d->Year || !d->Month || !d->Day || !d->Hour || !d->Minute || !DateTimeToUnix(*d)) return py::none();
  const int micro = d->Hundredths.value_or(0) * 10000;
  py::object zone = py::none();
  if (d->Deviation) zone = Names().Timezone(Names().Timedelta(py::arg("minutes") = -*d->Deviation));
  try {
    return Names().Datetime(*d->Year, *d->Month, *d->Day, *d->Hour, *d->Minute, d->Second.value_or(0), micro, zone);
  } catch (const py::error_already_set&) {
    return py::none();  // a date the calendar has not (February 30th): the bytes then
  }
}

py::object ToPy(const TValue& v, const TValuePlace& place) {
  switch (v.Kind) {
    case TValueKind::vkNull:
      return py::none();
    case TValueKind::vkBoolean:
      return py::bool_(v.Unsigned != 0);
    case TValueKind::vkSigned:
      return py::int_(v.Signed);
    case TValueKind::vkUnsigned:
    case TValueKind::vkBcd:
      return py::int_(v.Unsigned);
    case TValueKind::vkEnum: {
      const auto name = EnumNameAt(v, place);
      return Type("Enum")(v.Unsigned, name ? py::object(py::str(*name)) : py::none());
    }
    case TValueKind::vkFloat:
      return py::float_(v.Float);
    case TValueKind::vkBitString:
      return Type("BitString")(v.Bytes);
    case TValueKind::vkOctetString: {
      py::object when = DateTimeOf(v.Bytes);
      if (!when.is_none()) return when;
      return py::bytes(v.Bytes);
    }
    case TValueKind::vkVisibleString:
      return py::reinterpret_steal<py::object>(PyUnicode_DecodeLatin1(v.Bytes.data(), v.Bytes.size(), nullptr));
    case TValueKind::vkUtf8String:
      return py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(v.Bytes.data(), v.Bytes.size(), "replace"));
    case TValueKind::vkArray:
    case TValueKind::vkStructure: {
      py::list items;
      for (size_t i = 0; i < v.Items.size(); ++i) items.append(ToPy(v.Items[i], place.Element(v, i)));
      if (v.Kind == TValueKind::vkArray) return items;
      return py::tuple(items);
    }
    case TValueKind::vkOther:
      break;
  }
  return Type("Data")(v.Xml);
}

py::object ScaledOf(const TValue& v, const std::optional<TScalerUnit>& su) {
  if (!su) return py::none();
  const auto text = ScaledText(v, su->Scaler);
  return text ? Names().Decimal(*text) : py::none();
}

py::object ReadingOf(const TReading& r) {
  const TValuePlace place{r.Ref.ClassId, -1, r.Ref.Member, {}};
  py::object scaler = r.ScalerUnit ? py::object(py::int_(r.ScalerUnit->Scaler)) : py::none();
  py::object unit = r.ScalerUnit ? py::object(py::str(COSEMUnitName(r.ScalerUnit->Unit))) : py::none();
  return Type("Reading")(ObjectRefText(r.Ref), ToPy(r.Value, place), scaler, unit, ScaledOf(r.Value, r.ScalerUnit),
                         r.DataXml, r.Ref.ClassId, LogicalNameDotted(r.Ref.Name), r.Ref.Member);
}

py::object EntryOf(const TObjectListEntry& e) {
  py::dict attributes, methods;
  for (const auto& [id, mode] : e.AttributeAccess) attributes[py::int_(id)] = mode;
  for (const auto& [id, mode] : e.MethodAccess) methods[py::int_(id)] = mode;
  py::list readable;
  int last = static_cast<int>(e.AttributeNames.size());
  for (const auto& [id, mode] : e.AttributeAccess) last = std::max(last, id);
  for (int a = 1; a <= last; ++a)
    if (e.MayRead(a)) readable.append(a);
  return Type("ObjectEntry")(e.ClassId, e.Version, LogicalNameDotted(e.Name), e.ClassName, e.Description,
                             e.AccessText(), attributes, methods, py::tuple(py::cast(e.AttributeNames)),
                             e.ShortName >= 0 ? py::object(py::int_(e.ShortName)) : py::none(), py::tuple(readable));
}

// The table behind a ProfileTable, kept for its CSV.
struct TProfileData {
  TProfileTable Table;
};

py::object ProfileOf(TProfileTable t) {
  py::list columns;
  for (const TProfileColumn& c : t.Columns) {
    columns.append(Type("Column")(
        c.ClassId, LogicalNameDotted(c.Name), c.Attribute, c.Description, c.Heading(),
        c.ScalerUnit ? py::object(py::str(COSEMUnitName(c.ScalerUnit->Unit))) : py::none(),
        c.ScalerUnit ? py::object(py::int_(c.ScalerUnit->Scaler)) : py::none()));
  }
  py::list rows;
  for (const auto& row : t.Rows) {
    py::list cells;
    for (size_t i = 0; i < row.size(); ++i) {
      const TProfileColumn* c = i < t.Columns.size() ? &t.Columns[i] : nullptr;
      py::object scaled = c ? ScaledOf(row[i], c->ScalerUnit) : py::none();
      cells.append(!scaled.is_none() ? scaled
                                     : ToPy(row[i], TValuePlace{c ? c->ClassId : 0, -1, c ? c->Attribute : 0, {}}));
    }
    rows.append(std::move(cells));
  }
  auto data = std::make_unique<TProfileData>();
  data->Table = std::move(t);
  return Type("ProfileTable")(columns, rows, py::cast(std::move(data)));
}

// ---------------------------------------------------------------- Python values to DLMS

// The value cannot be written without its DLMS type.
struct ENeedsType : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Hex(const std::string& bytes) { return TMisc::ByteStrToHexStr(bytes); }

std::string BytesOf(const py::handle& o) {
  if (py::isinstance<py::bytes>(o)) return o.cast<std::string>();
  if (PyByteArray_Check(o.ptr())) return std::string(PyByteArray_AsString(o.ptr()), PyByteArray_Size(o.ptr()));
  throw EUsageError("value " + py::repr(o).cast<std::string>() + ": expected bytes");
}

// A datetime as the 12 bytes of a COSEM date-time: an aware one in its own
// zone (with its deviation), a naive one as it stands, deviation unspecified.
std::string DateTimeBytes(const py::handle& when) {
  py::object offset = when.attr("utcoffset")();
  std::optional<int> deviation;
  int64_t wall = 0;
  py::object utc = Names().Timezone.attr("utc");
  py::object naive = when.attr("replace")(py::arg("tzinfo") = utc);
  wall = static_cast<int64_t>(std::floor(naive.attr("timestamp")().cast<double>()));
  if (!offset.is_none()) {
    const int minutes = static_cast<int>(offset.attr("total_seconds")().cast<double>() / 60);
    deviation = -minutes;
    return EncodeDateTime(wall - int64_t{minutes} * 60, deviation);
  }
  return EncodeDateTime(wall, std::nullopt);
}

// A typed literal through the same checks as quillon-cli's TYPE:VALUE.
std::string Literal(const std::string& type, const std::string& value) { return ValueOption(type + ":" + value); }

std::string ToXml(const py::handle& o, const TValue* hint, int depth = 0);

std::string ItemsXml(const char* type, const py::handle& seq, const TValue* hint, int depth) {
  // As deep as the meter's answers may be, and no deeper: a list that
  // holds itself ends here too.
  if (depth >= kMaxValueDepth) throw EUsageError(Format("value: expected at most %d levels of nesting", kMaxValueDepth));
  py::list items = py::list(py::reinterpret_borrow<py::object>(seq));
  constexpr size_t kMaxItems = 65535;
  if (items.size() > kMaxItems) throw EUsageError(Format("%s of %zu items: expected at most 65535", type, items.size()));
  std::string xml = Format("<%s Qty=\"%.4X\" >", type, static_cast<unsigned>(items.size()));
  const bool array = std::strcmp(type, "Array") == 0;
  for (size_t i = 0; i < items.size(); ++i) {
    // An array's elements share one type; a structure's each have their own.
    const TValue* itemHint = nullptr;
    if (hint && array && !hint->Items.empty()) itemHint = &hint->Items[0];
    if (hint && !array && i < hint->Items.size()) itemHint = &hint->Items[i];
    xml += ToXml(items[i], itemHint, depth + 1);
  }
  return xml + "</" + type + ">";
}

std::string TypedXml(const std::string& type, const py::handle& value, const TValue* hint, int depth = 0) {
  if (type.empty()) return ValueOption(py::str(value).cast<std::string>());  // Data: one XML element, checked
  if (type == "Array" || type == "Structure") return ItemsXml(type.c_str(), value, hint, depth);
  if (type == "NullData") return "<NullData />";
  if (type == "OctetString") {
    if (py::isinstance(value, Names().Datetime)) return Literal(type, Hex(DateTimeBytes(value)));
    return Literal(type, Hex(BytesOf(value)));
  }
  if (type == "VisibleString" || type == "UTF8String") {
    if (!py::isinstance<py::str>(value))
      throw EUsageError("value " + py::repr(value).cast<std::string>() + ": expected str for " + type);
    const std::string text = value.cast<std::string>();
    return "<" + type + " Value=\"" + Hex(text) + "\" />";
  }
  if (type == "Boolean") return Literal(type, PyObject_IsTrue(value.ptr()) ? "true" : "false");
  if (type == "BitString") return Literal(type, py::str(value).cast<std::string>());
  if (type == "Float32" || type == "Float64") {
    if (!py::isinstance<py::float_>(value) && !py::isinstance<py::int_>(value))
      throw EUsageError("value " + py::repr(value).cast<std::string>() + ": expected a number for " + type);
    return Literal(type, py::repr(py::float_(py::reinterpret_borrow<py::object>(value))).cast<std::string>());
  }
  // Integers, enums, BCD: range-checked by the literal.
  if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
    throw EUsageError("value " + py::repr(value).cast<std::string>() + ": expected an int for " + type);
  return Literal(type, py::str(value).cast<std::string>());
}

// One Python value as a DLMS XML Data element. `hint` (the type the class
// gives, or the attribute's present value) types what Python leaves open.
std::string ToXml(const py::handle& o, const TValue* hint, int depth) {
  if (py::isinstance(o, Type("Typed"))) {
    return TypedXml(o.attr("TYPE").cast<std::string>(), o.attr("value"), hint, depth);
  }
  if (py::isinstance(o, Type("Enum"))) return TypedXml("Enum", o, nullptr);
  if (o.is_none()) return "<NullData />";
  if (py::isinstance<py::bool_>(o)) return TypedXml("Boolean", o, nullptr);
  if (py::isinstance<py::bytes>(o) || PyByteArray_Check(o.ptr())) return TypedXml("OctetString", o, nullptr);
  if (py::isinstance(o, Names().Datetime)) return TypedXml("OctetString", o, nullptr);
  if (py::isinstance<py::str>(o)) {
    if (hint && hint->Kind == TValueKind::vkUtf8String) return TypedXml("UTF8String", o, nullptr);
    if (hint && hint->Kind == TValueKind::vkOctetString) return TypedXml("OctetString", py::bytes(o.cast<std::string>()), nullptr);
    return TypedXml("VisibleString", o, nullptr);
  }
  if (py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o)) {
    const bool structure = hint ? hint->Kind == TValueKind::vkStructure : py::isinstance<py::tuple>(o);
    return ItemsXml(structure ? "Structure" : "Array", o, hint, depth);
  }
  if (py::isinstance<py::int_>(o) || py::isinstance<py::float_>(o)) {
    if (!hint || hint->Type.empty() || hint->Kind == TValueKind::vkArray || hint->Kind == TValueKind::vkStructure ||
        hint->Kind == TValueKind::vkOther)
      throw ENeedsType(py::repr(o).cast<std::string>());
    return TypedXml(hint->Type, o, nullptr);
  }
  throw EUsageError("value " + py::repr(o).cast<std::string>() +
                    ": expected int, float, bool, str, bytes, datetime, list, tuple, None or a quillon type");
}

// A type hint from an element name: its kind, no items.
TValue HintOfType(const std::string& type) {
  if (type.empty()) return TValue{};
  TValue v = ParseDataXml(type == "Array" || type == "Structure" ? "<" + type + " Qty=\"0000\" ></" + type + ">"
                          : type == "OctetString" || type == "VisibleString" || type == "UTF8String"
                              ? "<" + type + " Value=\"\" />"
                          : type == "BitString" ? "<BitString Value=\"\" />"
                          : type == "Float32"   ? "<Float32 Value=\"00000000\" />"
                          : type == "Float64"   ? "<Float64 Value=\"0000000000000000\" />"
                                                : ValueLiteralToXml(type + ":0"));
  return v;
}

std::string NeedsTypeMessage(const std::string& what, const TObjectRef& ref, const std::string& value) {
  return Format("value %s: expected its DLMS type for %s %s (e.g. quillon.LongUnsigned(%s))", value.c_str(),
                what.c_str(), ObjectRefText(ref).c_str(), value.c_str());
}

// ---------------------------------------------------------------- meters

struct TPyMeter {
  TMeterProfile Profile;
  std::optional<uint32_t> FirstCounter;
};

std::string HexOf(const py::object& o) {
  if (o.is_none()) return std::string();
  if (py::isinstance<py::str>(o)) return o.cast<std::string>();
  if (!py::isinstance<py::bytes>(o) && !PyByteArray_Check(o.ptr())) throw py::cast_error();
  return Hex(BytesOf(o));
}

std::string PathOf(const py::object& o) {
  if (o.is_none()) return std::string();
  if (!py::isinstance<py::str>(o) && !py::hasattr(o, "__fspath__")) throw py::cast_error();
  return py::str(py::module_::import("os").attr("fspath")(o)).cast<std::string>();
}

int Millis(const py::object& seconds, const char* field) {
  if (seconds.is_none()) return -1;
  const double s = seconds.cast<double>();
  if (!(s >= 0 && s <= 86400)) throw EUsageError(Format("%s %g: expected 0..86400 seconds", field, s));
  return static_cast<int>(s * 1000 + 0.5);
}

void ApplyOne(TProfileOptions& o, const std::string& key, const py::object& v);

// What a setting takes, for the message when it gets something else.
const char* ExpectedOf(const std::string& key) {
  if (key == "quirks") return "a list of quirks";
  if (key == "strict") return "True or False";
  if (key == "password") return "str or bytes";
  if (key == "ek" || key == "ak" || key == "kek" || key == "system_title" || key == "server_system_title")
    return "hex str or bytes";
  if (key == "signing_key" || key == "server_signing_key" || key == "keys") return "a path";
  if (key == "timeout" || key == "connect_timeout") return "seconds";
  if (key == "auth" || key == "security") return "str";
  return "an int";
}

// The keyword arguments every meter takes, as quillon-cli's options.
void Apply(TProfileOptions& o, const py::kwargs& kw) {
  for (auto item : kw) {
    const std::string key = py::str(item.first).cast<std::string>();
    py::object v = py::reinterpret_borrow<py::object>(item.second);
    if (v.is_none()) continue;
    try {
      ApplyOne(o, key, v);
    } catch (const py::cast_error&) {
      // A secret of the wrong kind may still be the secret (a password as
      // an int): its type is named, never its value.
      const bool secret = key == "password" || key == "ek" || key == "ak" || key == "kek";
      const std::string given = secret ? "of type " + py::str(py::type::of(v).attr("__name__")).cast<std::string>()
                                       : py::repr(v).cast<std::string>();
      throw EUsageError(Format("%s %s: expected %s", key.c_str(), given.c_str(), ExpectedOf(key)));
    }
  }
}

void ApplyOne(TProfileOptions& o, const std::string& key, const py::object& v) {
  {
    auto integer = [&](int& target) {
      target = v.cast<int>();
      if (target < 0) throw EUsageError(Format("%s %d: expected 0 or more", key.c_str(), target));
    };
    if (key == "client") integer(o.Client);
    else if (key == "server") integer(o.Server);
    else if (key == "physical") integer(o.Physical);
    else if (key == "address_size") integer(o.AddressSize);
    else if (key == "short_names") o.ShortNames = v.cast<bool>();
    else if (key == "auth") o.Auth = v.cast<std::string>();
    else if (key == "password") {
      if (py::isinstance<py::str>(v)) o.Password = v.cast<std::string>();
      else o.PasswordHex = HexOf(v);
    } else if (key == "security") o.Security = v.cast<std::string>();
    else if (key == "suite") integer(o.Suite);
    else if (key == "ek") o.EK = HexOf(v);
    else if (key == "ak") o.AK = HexOf(v);
    else if (key == "kek") o.KEK = HexOf(v);
    else if (key == "system_title") o.SystemTitle = HexOf(v);
    else if (key == "server_system_title") o.ServerSystemTitle = HexOf(v);
    else if (key == "signing_key") o.SigningKey = PathOf(v);
    else if (key == "server_signing_key") o.ServerSigningKey = PathOf(v);
    else if (key == "dedicated_key") o.DedicatedKey = v.cast<bool>();
    else if (key == "keys") o.Keys = PathOf(v);
    else if (key == "quirks") {
      if (py::isinstance<py::str>(v)) o.Quirks.push_back(v.cast<std::string>());
      else o.Quirks = v.cast<std::vector<std::string>>();
    } else if (key == "timeout") o.Timeout = Millis(v, "timeout");
    else if (key == "connect_timeout") o.ConnectTimeout = Millis(v, "connect_timeout");
    else if (key == "invocation_counter") o.InvocationCounter = py::str(v).cast<std::string>();
    else if (key == "baud") integer(o.Baud);
    else if (key == "mode_e") o.ModeE = v.cast<bool>();
    else if (key == "strict") o.Strict = v.cast<bool>();
    else throw EUsageError("keyword " + key + ": expected one of the meter settings (see help(quillon.Meter))");
  }
}

TPyMeter MakeMeter(TProfileOptions o, const py::kwargs& kw, const std::string& name) {
  Apply(o, kw);
  TPyMeter m;
  m.Profile = BuildProfile(o);
  if (!name.empty()) m.Profile.Name = name;
  m.FirstCounter = GivenInvocationCounter(o);
  return m;
}

std::string HostPort(const std::string& host, int port) {
  // A NUL would end the name where the resolver reads it, and a control
  // character reaches messages and logs: neither is part of a host.
  for (size_t i = 0; i < host.size(); ++i)
    if (static_cast<unsigned char>(host[i]) < 0x20 || host[i] == 0x7F)
      throw EUsageError(Format("host: position %zu is a control character; expected a host name or address", i + 1));
  const bool v6 = host.find(':') != std::string::npos && host.front() != '[';
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// ---------------------------------------------------------------- calls

bool OnMainThread() { return PyThread_get_thread_ident() == Names().MainThread; }

// The thread a session's calls run on while Python's main thread waits for
// them: started with the first such call, kept for the next ones.
class TCallWorker {
public:
  ~TCallWorker() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FJob = std::move(job);
    }
    if (!FThread.joinable()) FThread = std::thread([this] { Loop(); });
    FWake.notify_all();
  }

private:
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(FLock);
        FWake.wait(lock, [&] { return FStop || FJob; });
        if (!FJob) return;
        job = std::move(FJob);
        FJob = nullptr;
      }
      job();
    }
  }
  std::mutex FLock;
  std::condition_variable FWake;
  std::function<void()> FJob;
  bool FStop = false;
  std::thread FThread;
};

// What a call returns, held until it is handed back (nothing for void).
template <class R>
using TResultOf = std::conditional_t<std::is_void_v<R>, std::monostate, R>;

template <class F, class R = decltype(std::declval<F&>()(std::declval<const TCall&>()))>
void Invoke(F& f, const TCall& call, std::optional<TResultOf<R>>& result) {
  if constexpr (std::is_void_v<R>) {
    f(call);
    result.emplace();
  } else {
    result.emplace(f(call));
  }
}

// Runs one meter call with the GIL released. On the main thread the call
// runs on the worker's thread while this one waits in steps of 50 ms, checking
// for Ctrl-C (a signal handler can only run here) and handing on progress;
// a KeyboardInterrupt cancels the call through the token and is raised once
// the call has ended. Elsewhere the call runs on the caller's thread.
template <class F>
auto RunCall(TCancelToken& cancel, const py::object& progress, TCallWorker& worker, F&& f) {
  using R = decltype(f(std::declval<const TCall&>()));
  cancel.Reset();
  struct TShared {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Done = false, Fresh = false;
    TProgress Latest;
  } shared;
  TCall call;
  call.Cancel = &cancel;
  if (!progress.is_none()) {
    call.Progress = [&shared](const TProgress& p) {
      std::lock_guard<std::mutex> lock(shared.Lock);
      shared.Latest = p;
      shared.Fresh = true;
      shared.Changed.notify_all();
    };
  }
  auto report = [&](const TProgress& p) {
    progress(py::arg("blocks") = p.Blocks, py::arg("bytes") = p.Bytes, py::arg("entries") = p.Entries);
  };
  if (!OnMainThread()) {
    std::optional<py::error_already_set> failed;
    if (!progress.is_none()) {
      call.Progress = [&](const TProgress& p) {
        py::gil_scoped_acquire gil;
        if (failed) return;
        try {
          report(p);
        } catch (py::error_already_set& e) {
          failed = std::move(e);
          cancel.Cancel();
        }
      };
    }
    std::optional<TResultOf<R>> result;
    try {
      py::gil_scoped_release nogil;
      Invoke(f, call, result);
    } catch (...) {
      if (failed) throw *failed;
      throw;
    }
    // The callback's exception comes out even of a call that ended well.
    if (failed) throw *failed;
    if constexpr (!std::is_void_v<R>) return std::move(*result);
    else return;
  }

  std::optional<TResultOf<R>> result;
  std::exception_ptr error;
  worker.Post([&] {
    try {
      Invoke(f, call, result);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(shared.Lock);
    shared.Done = true;
    shared.Changed.notify_all();
  });
  std::optional<py::error_already_set> pending;
  for (;;) {
    bool done = false, fresh = false;
    TProgress latest;
    {
      py::gil_scoped_release nogil;
      std::unique_lock<std::mutex> lock(shared.Lock);
      shared.Changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return shared.Done || shared.Fresh; });
      done = shared.Done;
      fresh = shared.Fresh;
      latest = shared.Latest;
      shared.Fresh = false;
    }
    if (fresh && !pending) {
      try {
        report(latest);
      } catch (py::error_already_set& e) {
        pending = std::move(e);
        cancel.Cancel();
      }
    }
    if (done) break;
    if (!pending && PyErr_CheckSignals() != 0) {
      pending.emplace();
      cancel.Cancel();
    }
  }
  if (pending) throw *pending;
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

// ---------------------------------------------------------------- sessions

struct TPySession {
  TPySession(const TPyMeter& meter, py::object progress, bool keepCounters)
      : Progress(std::move(progress)), Session(std::make_unique<TSession>(meter.Profile)) {
    if (keepCounters) {
      TCounterKeeping keeping;
      keeping.First = meter.FirstCounter;
      keeping.Warning = [this](const std::string& w) {
        std::lock_guard<std::mutex> lock(WarningsLock);
        Warnings.push_back(w);
      };
      Session->KeepInvocationCounter(std::move(keeping));
    } else if (meter.FirstCounter) {
      Session->SetInvocationCounter(*meter.FirstCounter);
    }
    // A deviation the session lets pass goes to the "quillon" logger, which
    // shows a warning even where logging is not set up.
    Session->SetDeviationNotice([this](const std::string& note) {
      std::lock_guard<std::mutex> lock(WarningsLock);
      Notes.push_back(note);
    });
  }
  ~TPySession() {
    // Hanging up may wait for the meter: not with the GIL held.
    if (Session && Session->IsOpen()) {
      if (Py_IsInitialized() && PyGILState_Check()) {
        py::gil_scoped_release nogil;
        Session->Close();
      } else {
        Session->Close();
      }
    }
  }

  // One call at a time: a session is one association over one link.
  template <class F>
  auto Call(F&& f) {
    std::unique_lock<std::mutex> busy(Busy, std::try_to_lock);
    if (!busy.owns_lock()) throw EUsageError("session: expected one call at a time (it is busy in another thread)");
    struct TFlush {
      TPySession& S;
      ~TFlush() { S.FlushWarnings(); }
    } flush{*this};
    return RunCall(Cancel, Progress, Worker, std::forward<F>(f));
  }

  void FlushWarnings() {
    std::vector<std::string> warnings, notes;
    {
      std::lock_guard<std::mutex> lock(WarningsLock);
      warnings.swap(Warnings);
      notes.swap(Notes);
    }
    for (const auto& n : notes) {
      try {
        py::module_::import("logging").attr("getLogger")("quillon").attr("warning")("%s", n);
      } catch (py::error_already_set&) {
        // a handler that raises: the call's own outcome comes first
      }
    }
    for (const auto& w : warnings) {
      try {
        Names().Warn(w, py::module_::import("builtins").attr("RuntimeWarning"));
      } catch (py::error_already_set&) {
        // a warnings filter that raises: the call's own outcome comes first
      }
    }
  }

  void RequireOpen() {
    if (!Session->IsOpen()) throw EUsageError("session: expected an open session (use it in a with block or call open())");
  }

  py::object Progress;
  std::unique_ptr<TSession> Session;
  TCancelToken Cancel;
  TCallWorker Worker;
  std::mutex Busy;
  std::mutex WarningsLock;
  std::vector<std::string> Warnings;
  std::vector<std::string> Notes;  // deviations tolerated, for the logger
};

std::vector<std::string> RefsOf(const py::tuple& args) {
  std::vector<std::string> refs;
  for (auto a : args) {
    if (py::isinstance<py::str>(a)) refs.push_back(a.cast<std::string>());
    else if (py::isinstance<py::list>(a) || py::isinstance<py::tuple>(a))
      for (auto r : a) refs.push_back(py::str(r).cast<std::string>());
    else
      throw EUsageError("reference " + py::repr(a).cast<std::string>() + ": expected a text [CLASS/]OBIS[/ATTRIBUTE]");
  }
  return refs;
}

int64_t TimeOf(const py::object& o, const char* field) {
  if (py::isinstance(o, Names().Datetime)) {
    // A naive datetime is local time to Python and UTC to many stores:
    // reading it either way would shift a range by hours without a word.
    if (o.attr("utcoffset")().is_none())
      throw EUsageError(Format("%s %s: expected a datetime with a time zone (tzinfo), e.g. datetime.timezone.utc", field,
                               py::repr(o).cast<std::string>().c_str()));
    py::object when = o;
    return static_cast<int64_t>(std::floor(when.attr("timestamp")().cast<double>()));
  }
  if (py::isinstance<py::str>(o)) {
    try {
      return ParseIsoTime(o.cast<std::string>(), field);
    } catch (const std::exception& e) {
      throw EUsageError(e.what());
    }
  }
  throw EUsageError(Format("%s %s: expected a datetime or an ISO 8601 text", field, py::repr(o).cast<std::string>().c_str()));
}

// start/end/entries as the CLI's --from/--to/--entries.
TProfileRange RangeOf(const py::object& start, const py::object& end, const py::object& entries) {
  std::string entriesText;
  if (!entries.is_none()) {
    py::tuple t = py::tuple(entries);
    if (t.size() != 2) throw EUsageError("entries: expected (first, last), last None for all from first");
    entriesText = py::str(t[0]).cast<std::string>() + ".." + (t[1].is_none() ? "" : py::str(t[1]).cast<std::string>());
  }
  auto iso = [](const py::object& o, const char* field) -> std::string {
    if (o.is_none()) return std::string();
    return TimeText(TimeOf(o, field));
  };
  return ProfileRangeOf(iso(start, "start"), iso(end, "end"), entriesText);
}

// ---------------------------------------------------------------- fleets

py::object FleetResultOf(const TMeterResult& r) {
  py::list readings;
  for (const TReading& reading : r.Readings) readings.append(ReadingOf(reading));
  py::object profile = r.ProfileData ? ProfileOf(*r.ProfileData) : py::none();
  py::object dump = r.Dump.is_null() ? py::none() : py::module_::import("json").attr("loads")(r.Dump.dump());
  py::object readAt = r.ReadAt ? Names().Datetime.attr("fromtimestamp")(r.ReadAt, Names().Timezone.attr("utc")) : py::none();
  return Type("FleetResult")(r.Meter, r.Ok, r.Error, r.Diagnosis ? DiagnosisOf(*r.Diagnosis) : py::none(), r.Attempts,
                             readAt, py::tuple(readings), profile, dump);
}

// A fleet read on a thread of its own, its results queued for the iterator.
class TFleetRun {
public:
  TFleetRun(std::vector<TFleetMeter> meters, TBatchOptions options, TBatchJob job)
      : FRunner(options, std::move(job)), FMeters(std::move(meters)) {
    FRunner.OnResult = [this](const TMeterResult& r) {
      std::lock_guard<std::mutex> lock(FLock);
      FQueue.push_back(r);
      FChanged.notify_all();
    };
    FThread = std::thread([this] {
      try {
        FRunner.Run(FMeters, &FCancel);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(FLock);
        FFailure = e.what();
      }
      std::lock_guard<std::mutex> lock(FLock);
      FDone = true;
      FChanged.notify_all();
    });
  }
  ~TFleetRun() { Stop(); }

  py::object Next() {
    const bool main = OnMainThread();
    for (;;) {
      std::optional<TMeterResult> r;
      bool done = false;
      {
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> lock(FLock);
        FChanged.wait_for(lock, std::chrono::milliseconds(50), [&] { return FDone || !FQueue.empty(); });
        if (!FQueue.empty()) {
          r = std::move(FQueue.front());
          FQueue.pop_front();
        }
        done = FDone && FQueue.empty();
      }
      if (r) return FleetResultOf(*r);
      if (done) {
        Stop();
        if (!FFailure.empty()) RaiseMeter(FFailure, std::nullopt, FFailure);
        throw py::stop_iteration();
      }
      if (main && PyErr_CheckSignals() != 0) {
        py::error_already_set interrupted;
        Stop();
        throw interrupted;
      }
    }
  }

  // Cancels the meters in flight and waits for the runner.
  void Stop() {
    FCancel.Cancel();
    if (FThread.joinable()) {
      if (Py_IsInitialized() && PyGILState_Check()) {
        py::gil_scoped_release nogil;
        FThread.join();
      } else {
        FThread.join();
      }
    }
  }

private:
  TBatchRunner FRunner;
  std::vector<TFleetMeter> FMeters;
  TCancelToken FCancel;
  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<TMeterResult> FQueue;
  bool FDone = false;
  std::string FFailure;
};

std::string ReadText(const std::string& path, const char* field) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw EUsageError(Format("%s \"%s\": expected a readable file", field, path.c_str()));
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<TFleetMeter> FleetOf(const py::object& meters) {
  std::vector<TFleetMeter> out;
  if (py::isinstance<py::str>(meters) || py::hasattr(meters, "__fspath__")) {
    const std::string path = PathOf(meters);
    try {
      if (path.size() > 4 && path.compare(path.size() - 4, 4, ".csv") == 0) out = MetersOfCsv(ReadText(path, "meters"));
      else out = MetersOfIniText(ReadText(path, "meters"));
    } catch (const EUsageError&) {
      throw;
    } catch (const std::exception& e) {
      throw EUsageError(e.what());
    }
    CheckMeters(out);
    return out;
  }
  size_t n = 0;
  for (auto m : meters) {
    ++n;
    const TPyMeter& meter = m.cast<const TPyMeter&>();
    TFleetMeter f;
    f.Profile = meter.Profile;
    f.Name = meter.Profile.Name.empty() ? Format("meter-%zu", n) : meter.Profile.Name;
    f.Profile.Name = f.Name;
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_quillon, m) {
  m.doc() = "The meter session library of quillon (use the quillon package).";
  m.attr("__version__") = QUILLON_VERSION;
  py::register_exception_translator(TranslateErrors);

  py::class_<TProfileData, std::unique_ptr<TProfileData>>(m, "_ProfileData")
      .def("csv", [](const TProfileData& d) { return ProfileCsv(d.Table); });

  py::class_<TPyMeter>(m, "Meter", "How to reach one meter and associate with it.")
      .def_static(
          "tcp",
          [](const std::string& host, int port, py::kwargs kw) {
            TProfileOptions o;
            o.Tcp = HostPort(host, port);
            return MakeMeter(o, kw, "");
          },
          py::arg("host"), py::arg("port") = 4059,
          "The DLMS wrapper over TCP. Settings (keywords, all optional): client (16), server (1),\n"
          "physical, address_size, short_names, auth (none|low|manufacturer|md5|sha1|gmac|sha256|ecdsa),\n"
          "password (str, or bytes for a binary secret), security (none|auth|enc|auth-enc), suite (0|1|2),\n"
          "ek, ak, kek, system_title, server_system_title (hex str or bytes), signing_key,\n"
          "server_signing_key (PEM files), dedicated_key, keys (keys file), quirks (list), strict (refuse\n"
          "the deviations tolerated by default; quirks given still apply),\n"
          "timeout, connect_timeout (seconds), invocation_counter ('auto' or a number).\n"
          "Checked as quillon-cli checks its options: UsageError with its message.")
      .def_static(
          "hdlc_tcp",
          [](const std::string& host, int port, py::kwargs kw) {
            TProfileOptions o;
            o.HdlcTcp = HostPort(host, port);
            return MakeMeter(o, kw, "");
          },
          py::arg("host"), py::arg("port"),
          "HDLC frames over TCP (transparent modems, terminal servers); settings as Meter.tcp.")
      .def_static(
          "serial",
          [](py::object device, int baud, bool modeE, py::kwargs kw) {
            TProfileOptions o;
            o.Serial = PathOf(device);
            o.Baud = baud;
            o.ModeE = modeE;
            return MakeMeter(o, kw, "");
          },
          py::arg("device"), py::arg("baud") = 9600, py::arg("mode_e") = false,
          "HDLC over a serial line, optionally opened with the IEC 62056-21 mode E handshake;\n"
          "settings as Meter.tcp.")
      .def_static(
          "named",
          [](const std::string& name, py::kwargs kw) {
            TProfileOptions o;
            o.Meter = name;
            return MakeMeter(o, kw, name);
          },
          py::arg("name"),
          "A meter of the meters file quillon-cli shares ($XDG_CONFIG_HOME/quillon/meters.ini);\n"
          "settings given override its own.")
      .def_property(
          "name", [](const TPyMeter& m) { return m.Profile.Name; },
          [](TPyMeter& m, const std::string& name) { m.Profile.Name = name; })
      .def_property_readonly("host", [](const TPyMeter& m) { return m.Profile.Host; })
      .def_property_readonly("port", [](const TPyMeter& m) { return m.Profile.Port; })
      .def_property_readonly("device", [](const TPyMeter& m) { return m.Profile.Device; })
      .def_property_readonly("client", [](const TPyMeter& m) { return m.Profile.ClientAddress; })
      .def_property_readonly("server", [](const TPyMeter& m) { return m.Profile.ServerAddress; })
      .def_property_readonly("auth", [](const TPyMeter& m) { return std::string(MechanismName(m.Profile.Mechanism)); })
      .def_property_readonly("security", [](const TPyMeter& m) { return std::string(PolicyName(m.Profile.Policy)); })
      .def_property_readonly("strict", [](const TPyMeter& m) { return m.Profile.Strict; })
      .def("__repr__", [](const TPyMeter& m) {
        const TMeterProfile& p = m.Profile;
        const std::string where = p.Transport == TTransport::tHdlcSerial
                                      ? "serial " + p.Device
                                      : (p.Transport == TTransport::tHdlcTcp ? "hdlc-tcp " : "tcp ") + HostPort(p.Host, p.Port);
        return Format("<Meter %s%s client %d server %d auth %s security %s>",
                      p.Name.empty() ? "" : ("\"" + p.Name + "\" ").c_str(), where.c_str(), p.ClientAddress,
                      p.ServerAddress, MechanismName(p.Mechanism), PolicyName(p.Policy));
      });

  py::class_<TPySession>(m, "Session", "One association with one meter.")
      .def(py::init<const TPyMeter&, py::object, bool>(), py::arg("meter"), py::arg("progress") = py::none(),
           py::arg("keep_invocation_counter") = true,
           "A session with `meter`, opened by `with` or open(). progress(blocks=, bytes=, entries=)\n"
           "hears of every exchange (an exception it raises cancels the call). Invocation counters\n"
           "are kept between sessions and processes as quillon-cli keeps them, unless\n"
           "keep_invocation_counter is False.")
      .def("open",
           [](TPySession& s) {
             s.Call([&](const TCall& c) { s.Session->Open(c); });
           },
           "Opens the link and the association.")
      .def("close",
           [](TPySession& s, bool release) {
             s.Call([&](const TCall&) { s.Session->Close(release); });
           },
           py::arg("release") = true, "Releases the association (with a release request when `release`) and hangs up.")
      .def("__enter__",
           [](TPySession& s) -> TPySession& {
             s.Call([&](const TCall& c) { s.Session->Open(c); });
             return s;
           },
           py::return_value_policy::reference)
      .def("__exit__",
           [](TPySession& s, py::object, py::object, py::object) {
             s.Call([&](const TCall&) { s.Session->Close(); });
             return false;
           })
      .def_property_readonly("is_open", [](const TPySession& s) { return s.Session->IsOpen(); })
      .def("cancel", [](TPySession& s) { s.Cancel.Cancel(); },
           "Cancels the call that runs now (from another thread): it raises MeterError('cancelled').")
      .def_property_readonly("invocation_counter", [](const TPySession& s) { return s.Session->InvocationCounter(); })
      .def_property_readonly("last_xml", [](const TPySession& s) { return s.Session->LastXml(); })
      .def_property_readonly("max_pdu_size", [](const TPySession& s) { return s.Session->NegotiatedMaxPduSize(); })
      .def("objects",
           [](TPySession& s) {
             s.RequireOpen();
             const auto list = s.Call([&](const TCall& c) { return s.Session->ObjectList(c); });
             py::list out;
             for (const auto& e : list) out.append(EntryOf(e));
             return out;
           },
           "The association's object list (read once per session): ObjectEntry items.")
      .def("get",
           [](TPySession& s, py::args args) -> py::object {
             std::vector<TObjectRef> refs;
             for (const auto& r : RefsOf(args)) refs.push_back(ObjectRefOption(r));
             if (refs.empty()) throw EUsageError("get: expected one or more references");
             s.RequireOpen();
             const auto readings = s.Call([&](const TCall& c) {
               std::vector<TReading> out;
               for (const TObjectRef& ref : refs) out.push_back(s.Session->Get(ref, c));
               return out;
             });
             if (args.size() == 1 && py::isinstance<py::str>(args[0])) return ReadingOf(readings.front());
             py::list out;
             for (const auto& r : readings) out.append(ReadingOf(r));
             return out;
           },
           "get(ref) -> Reading; get(ref, ref, ...) or get([refs]) -> [Reading]. A reference is\n"
           "[CLASS/]OBIS[/ATTRIBUTE] (attribute 2 by default; the class from the object list).\n"
           "Registers come with scaler, unit and the exact scaled Decimal.")
      .def("set",
           [](TPySession& s, const std::string& refText, py::object value) {
             TObjectRef ref = ObjectRefOption(refText);
             if (ref.Member == 0) ref.Member = 2;
             s.RequireOpen();
             if (ref.ClassId == 0) ref.ClassId = s.Call([&](const TCall& c) { return s.Session->ClassOf(ref.Name, c); });
             const TValue known = HintOfType(COSEMAttributeType(ref.ClassId, ref.Member));
             std::string xml;
             try {
               xml = ToXml(value, known.Type.empty() ? nullptr : &known);
             } catch (const ENeedsType&) {
               // The class leaves the type open: the attribute's present value says it.
               std::optional<TValue> present;
               try {
                 present = s.Call([&](const TCall& c) { return s.Session->Get(ref, c).Value; });
               } catch (const EMeterError&) {
               }
               try {
                 if (!present) throw ENeedsType("");
                 xml = ToXml(value, &*present);
               } catch (const ENeedsType&) {
                 throw EUsageError(NeedsTypeMessage("attribute", ref, py::repr(value).cast<std::string>()));
               }
             }
             s.Call([&](const TCall& c) { s.Session->Set(ref, xml, c); });
           },
           py::arg("ref"), py::arg("value"),
           "Writes an attribute. Its DLMS type comes from the class where the catalogue knows it,\n"
           "else from the attribute's present value, else from a wrapper (quillon.LongUnsigned(300)).\n"
           "A refusal raises MeterError.")
      .def("action",
           [](TPySession& s, const std::string& refText, py::object value) -> py::object {
             TObjectRef ref = ObjectRefOption(refText, "method");
             if (ref.Member == 0) throw EUsageError(Format("method \"%s\": expected [CLASS/]OBIS/METHOD", refText.c_str()));
             s.RequireOpen();
             if (ref.ClassId == 0) ref.ClassId = s.Call([&](const TCall& c) { return s.Session->ClassOf(ref.Name, c); });
             std::string xml;
             if (!value.is_none() || !COSEMMethodParameterType(ref.ClassId, ref.Member).empty()) {
               const TValue known = HintOfType(COSEMMethodParameterType(ref.ClassId, ref.Member));
               // A method whose parameter is "integer (0)" takes no value from the caller.
               py::object given = value.is_none() ? py::object(py::int_(0)) : value;
               try {
                 xml = ToXml(given, known.Type.empty() ? nullptr : &known);
               } catch (const ENeedsType&) {
                 throw EUsageError(NeedsTypeMessage("method", ref, py::repr(given).cast<std::string>()));
               }
             }
             const auto returned = s.Call([&](const TCall& c) { return s.Session->Action(ref, xml, c); });
             if (!returned) return py::none();
             return ToPy(*returned, TValuePlace{ref.ClassId, -1, 0, {}});
           },
           py::arg("ref"), py::arg("value") = py::none(),
           "Invokes method [CLASS/]OBIS/METHOD with `value` (integer 0 where the class says so and\n"
           "none is given); returns what the meter returns, or None. A refusal raises MeterError.")
      .def("profile",
           [](TPySession& s, const std::string& refText, py::object start, py::object end, py::object entries) {
             const TObjectRef ref = ObjectRefOption(refText);
             const TProfileRange range = RangeOf(start, end, entries);
             s.RequireOpen();
             return ProfileOf(s.Call([&](const TCall& c) { return s.Session->ReadProfile(ref, range, c); }));
           },
           py::arg("ref"), py::kw_only(), py::arg("start") = py::none(), py::arg("end") = py::none(),
           py::arg("entries") = py::none(),
           "A profile's entries as a ProfileTable: start/end capture times (datetime with a time zone,\n"
           "or ISO text; a naive datetime is refused), or entries=(first, last) counted from 1 (last\n"
           "None: to the end).");

  py::class_<TFleetRun>(m, "_FleetRun")
      .def("__iter__", [](TFleetRun& r) -> TFleetRun& { return r; }, py::return_value_policy::reference)
      .def("__next__", &TFleetRun::Next)
      .def("close", &TFleetRun::Stop);

  m.def(
      "_read_fleet",
      [](py::object meters, const std::string& what, py::object refs, int jobs, int retries, double retryDelay,
         double meterTimeout, py::object start, py::object end, py::object entries, bool keepCounters) {
        TBatchJob job;
        if (what == "get") {
          job.Kind = TBatchJob::jGet;
          for (const auto& r : RefsOf(py::make_tuple(refs))) job.Refs.push_back(ObjectRefOption(r));
          if (job.Refs.empty()) throw EUsageError("get: expected one or more references");
        } else if (what == "profile") {
          job.Kind = TBatchJob::jProfile;
          job.Profile = ObjectRefOption(py::str(refs).cast<std::string>());
          job.Range = RangeOf(start, end, entries);
        } else if (what == "dump") {
          job.Kind = TBatchJob::jDump;
        } else {
          throw EUsageError(Format("job \"%s\": expected get, profile or dump", what.c_str()));
        }
        TBatchOptions options;
        if (jobs < 1 || jobs > 4096) throw EUsageError(Format("--jobs %d: expected 1..4096", jobs));
        if (retries < 0 || retries > 100) throw EUsageError(Format("--retries %d: expected 0..100", retries));
        if (!(retryDelay >= 0 && retryDelay <= 86400)) throw EUsageError("retry_delay: expected 0..86400 seconds");
        if (!(meterTimeout >= 0 && meterTimeout <= 604800))
          throw EUsageError(Format("--meter-timeout %g: expected 0..604800 seconds", meterTimeout));
        options.Jobs = jobs;
        options.Retries = retries;
        options.RetryDelayMs = static_cast<int>(retryDelay * 1000);
        options.MeterTimeoutMs = static_cast<int>(meterTimeout * 1000);
        options.KeepInvocationCounters = keepCounters;
        return std::make_unique<TFleetRun>(FleetOf(meters), options, std::move(job));
      },
      py::arg("meters"), py::arg("what"), py::arg("refs"), py::arg("jobs"), py::arg("retries"), py::arg("retry_delay"),
      py::arg("meter_timeout"), py::arg("start"), py::arg("end"), py::arg("entries"), py::arg("keep_invocation_counters"));
}
