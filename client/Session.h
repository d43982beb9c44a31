// One meter session: its own layer stack for the profile, its own engine
// context, the association, and the operations run over it. Several sessions
// may live in one process, each on its own thread.
//
//   TSession s(profile);
//   s.Open(call);                         // link and association
//   TReading r = s.Get(ref, call);        // any number of operations
//   s.Close();                            // release and hang up
//
// Every operation takes a TCall: a cancel token that ends its waits within a
// fraction of a second, and a progress callback (blocks and bytes so far).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/Diagnosis.h"
#include "client/MeterProfile.h"
#include "client/ObjectRef.h"
#include "client/Value.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon {
class TCallerConnection;
}

namespace quillon::client {

class TCancelToken {
public:
  void Cancel() { FFlag.store(true); }
  void Reset() { FFlag.store(false); }
  bool Cancelled() const { return FFlag.load(); }
  const std::atomic<bool>& Flag() const { return FFlag; }

private:
  std::atomic<bool> FFlag{false};
};

struct TProgress {
  uint64_t Blocks = 0;  // exchanges with the meter in this operation
  uint64_t Bytes = 0;   // bytes received in this operation
  // A profile read once the meter has sent everything: the answer is being
  // turned into entries, `Entries` of them so far.
  bool Decoding = false;
  uint64_t Entries = 0;
  // While a session opens: "link" as it connects, "association" as it
  // associates; empty once it stands (and for other operations).
  const char* Stage = "";
};

// "28 blocks, 1064600 bytes", and ", decoding: 12000 entries" once decoding.
std::string ProgressText(const TProgress& p);

// The meter's answer is complete with this APDU: a get response that is
// not a data block, or its last data block, or the last general block.
// Ciphered answers tell nothing before they are deciphered (false).
bool IsLastPartOfAnswer(std::string_view apdu);

struct TCall {
  TCancelToken* Cancel = nullptr;
  std::function<void(const TProgress&)> Progress;
};

// How a session keeps its invocation counter between sessions and
// processes (see client/InvocationCounters.h).
struct TCounterKeeping {
  // The first counter as the caller gives it (quillon-cli --ic N): used as
  // given on the first Open, and kept when the counters file can be written.
  std::optional<uint32_t> First;
  // Told what went wrong in keeping the counter where the session goes on
  // regardless (handing back unused counters at the end, a given counter
  // that could not be kept); by default the session's log.
  std::function<void(const std::string&)> Warning;
  // The counters file; empty: $QUILLON_COUNTERS, else DataFolder()/invocation-counters.ini.
  std::string File;
  // Counters reserved at a time.
  uint32_t Block = 1000;
};

struct TObjectListEntry {
  int ClassId = 0;
  int Version = 0;
  TLogicalName Name{};
  int ShortName = -1;  // base name on SN associations
  std::string Description;  // from the OBIS database
  std::string ClassName;    // from the class catalogue ("" when unknown)
  std::vector<std::string> AttributeNames;  // entry 0 is attribute 1
  int MethodCount = 0;
  // Access rights as the meter lists them (LN only): (attribute, mode) and
  // (method, mode).
  std::vector<std::pair<int, int>> AttributeAccess, MethodAccess;
  // "1:R 2:RW 3:-" for the attributes; empty when the meter lists none.
  std::string AccessText() const;
  // The access mode the meter lists for an attribute or a method (0 no
  // access, 1 read-only, 2 write-only, 3 read and write, 4 to 6 the same
  // with authentication; methods: 0 no access, 1 access, 2 authenticated
  // access); nullopt when it lists none for it.
  std::optional<int> AttributeAccessOf(int attribute) const;
  std::optional<int> MethodAccessOf(int method) const;
  // The attribute may be read: listed as readable, or not listed at all.
  bool MayRead(int attribute) const;
};

// Reads an association's object list (the value of its attribute 2). An LN
// entry is {class id, version, logical name, access rights}, an SN entry
// {base name, class id, version, logical name}. Without `shortNames` the
// layout follows each entry: a long-unsigned first is LN. Descriptions and
// class names come from the OBIS database and the class catalogue. Fails
// with a general error naming the entry and what is wrong with it.
std::vector<TObjectListEntry> DecodeObjectList(const TValue& list, std::optional<bool> shortNames = std::nullopt);

struct TReading {
  TObjectRef Ref;
  TValue Value;
  std::string DataXml;  // the Data element as the engine returned it
  std::optional<TScalerUnit> ScalerUnit;  // registers: attribute 3 (or 4) applied to the value
};

struct TProfileColumn {
  int ClassId = 0;
  TLogicalName Name{};
  int Attribute = 0;
  int DataIndex = 0;
  std::string Description;
  std::optional<TScalerUnit> ScalerUnit;
  // "Active energy import (+A), total [1.0.1.8.0.255/2, Wh]"
  std::string Heading() const;
};

// The entries of a capture objects or push object list value: an array of
// {class_id, logical_name, attribute_index, data_index}. Throws EMeterError
// "<owner>: <what> are not an array" or "<owner>: <one> is not the structure
// expected". Descriptions and units are left empty.
std::vector<TProfileColumn> ObjectDefinitionsOf(const TValue& list, const std::string& owner, const char* what,
                                                const char* one);

struct TProfileRange {
  enum TKind { rWhole, rTime, rEntries } Kind = rWhole;
  int64_t From = 0, To = 0;          // seconds since the epoch, inclusive
  uint32_t FirstEntry = 1, LastEntry = 0;  // from 1; 0: to the last entry
};

struct TProfileTable {
  std::vector<TProfileColumn> Columns;
  std::vector<std::vector<TValue>> Rows;
};

// One cell of a profile as CSV and text show it: scaled in the column's unit
// where it has one, else the value's readable text.
std::string ProfileCellText(const TValue& v, const TProfileColumn* column);
// The table as CSV: a row of headings, then one line per entry.
std::string ProfileCsv(const TProfileTable& t);

// A failure of the meter, the link or the protocol: what the engine or a
// layer reported, or the meter's refusal of a request.
class EMeterError : public EGeneralError {
public:
  // `cause`: the bare text of the layer or the engine, without the context
  // the message adds (the message itself when empty).
  explicit EMeterError(const std::string& message, std::string cause = std::string())
      : EGeneralError(message), FCause(cause.empty() ? message : std::move(cause)) {}
  EMeterError(const std::string& message, TDiagnosis diagnosis, std::string cause = std::string())
      : EGeneralError(message), Diagnosis(std::move(diagnosis)), FCause(cause.empty() ? message : std::move(cause)) {}
  const std::string& Cause() const { return FCause; }
  // What the meter's answer says about the failure, when it says something
  // (a refused association or protected exchange).
  std::optional<TDiagnosis> Diagnosis;
  // The meter's own result when it answered a read, a write or a method
  // invocation with something other than success ("ReadWriteDenied");
  // empty for every other failure.
  std::string Refusal;

private:
  std::string FCause;
};

// A get answer as the engine returned it: the Data element, or the
// data-access-result the meter gave instead of data (Refusal). EMeterError
// when the answer holds neither.
struct TGetAnswer {
  std::string DataXml;
  std::string Refusal;
};
TGetAnswer GetAnswerOf(const std::string& xml);

// The first result other than success in a write or method answer (SET,
// ACTION or ACCESS, one result or a list of them), "" when every result
// is success; nullopt when the answer carries no result at all.
std::optional<std::string> RefusalIn(const std::string& xml);

// The engine call a raw request goes to.
enum class TRequestKind { rkGet, rkSet, rkAction };

// Names of the session's layers as they appear in the traffic log.
struct TLayerNames {
  std::string Tcp = "TCPClient", Serial = "Serial", Wrapper = "WRAPPER", Hdlc = "HDLC";
};

// Short name of an attribute from a source of the caller's own: true and
// `shortName`, or false and the message.
using TShortNameSource =
    std::function<bool(int classId, const TLogicalName& name, int attribute, int& shortName, std::string& error)>;

class TSession {
public:
  explicit TSession(TMeterProfile profile);
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  // Engine log lines of this session (the traffic of the layers goes to the
  // process-wide traffic log).
  void SetLog(std::function<void(const std::string&)> log);
  // A deviation of the meter the session tolerates (see ToleratedDeviations)
  // is said once per session in the log, and to `notice` as well: for a
  // program that shows such notes where its user reads them.
  void SetDeviationNotice(std::function<void(const std::string&)> notice);

  // Meters that call in. A profile with CallIn listens and waits in Open;
  // `notice` hears "Waiting for a meter on port 4059..." when it listens and
  // "Meter connected from 192.0.2.7:40001" when the meter has called (on
  // the thread that calls Open).
  void SetCallInNotice(std::function<void(const std::string&)> notice);
  // Before Open: the session runs over a connection the caller accepted
  // (TCallInListener) instead of dialling or listening; it leaves the
  // connection up when it closes, for the next session over it.
  void UseConnection(std::shared_ptr<TCallerConnection> connection);
  // Who called in: "192.0.2.7:40001"; empty for a session that dialled.
  const std::string& Peer() const;

  // Before Open: the names the layers log under.
  void SetLayerNames(const TLayerNames& names);
  // Attribute short names come from `source` instead of the object list
  // read from the meter (empty: the object list again).
  void SetShortNameSource(TShortNameSource source);
  // The protection of the requests after the association (policy 0..3);
  // by default the profile's policy.
  void SetRequestProtection(std::optional<int> policy);

  void Open(const TCall& call = {});
  // Releases the association (with a release request where the association
  // supports one and `release` is set) and closes the link; never throws.
  void Close(bool release = true);
  bool IsOpen() const;
  // The association is open and its link is still up.
  bool LinkConnected() const;
  const TMeterProfile& Profile() const;
  int NegotiatedMaxPduSize() const;
  uint32_t NegotiatedConformance() const;
  // The system title the meter announced in its answer to the last Open
  // (accepted or not), as hex; empty when it announced none.
  const std::string& AnnouncedSystemTitle() const;
  // The meter's own invocation counter in its ciphered answer to the last
  // Open that stood (its InitiateResponse); none for a plain association.
  std::optional<uint32_t> AnswerInvocationCounter() const;

  // The association's object list, read once per session.
  const std::vector<TObjectListEntry>& ObjectList(const TCall& call = {});
  // The class of an object from the object list; EMeterError when it is not listed.
  int ClassOf(const TLogicalName& name, const TCall& call = {});

  // Reads one attribute (attribute 2 when the reference names none). For
  // registers, extended and demand registers the scaler and unit are read
  // as well. `selection` is an AccessSelection element or empty.
  TReading Get(TObjectRef ref, const TCall& call = {}, const std::string& selection = std::string());
  // Writes one attribute; `dataXml` is one DLMS XML Data element.
  void Set(TObjectRef ref, const std::string& dataXml, const TCall& call = {});
  // Invokes method ref.Member with parameters (a Data element or empty);
  // returns the return parameters when the meter sends any.
  std::optional<TValue> Action(TObjectRef ref, const std::string& parametersXml, const TCall& call = {});
  // A profile generic's buffer with its column headings.
  TProfileTable ReadProfile(TObjectRef ref, const TProfileRange& range, const TCall& call = {});

  // The invocation counter of the next protected message. A meter refuses a
  // counter it has seen, so callers that open several sessions over time
  // (one per process, say) keep it between them: with KeepInvocationCounter.
  void SetInvocationCounter(uint32_t next);
  // Before Open: a session whose messages carry a counter the meter checks
  // takes the lock of its (meter, client) before it associates and holds it
  // until it has released, and counts in blocks reserved durably in the
  // counters file; the unused rest goes back when the session closes. When
  // the file cannot be read, locked or written, Open fails before anything
  // is sent (a counter given in `keeping.First` is used all the same).
  // Sessions whose messages carry no counter are left alone.
  void KeepInvocationCounter(TCounterKeeping keeping = {});
  uint32_t InvocationCounter() const;

  // Sends one request given as DLMS XML (GetRequest, SetRequest or
  // ActionRequest) and returns the XML the engine returned, whatever the
  // meter answered.
  const std::string& Request(TRequestKind kind, const std::string& requestXml, const TCall& call = {});

  // The XML the engine returned for the last request.
  const std::string& LastXml() const;

  struct TState;

private:
  // The association is open; the member defaults to `defaultMember`, the
  // class comes from the object list, and on SN associations the object list
  // (the source of the short names) has been read.
  TObjectRef Prepare(TObjectRef ref, int defaultMember, const TCall& call);

  std::unique_ptr<TState> F;
};

}  // namespace quillon::client
