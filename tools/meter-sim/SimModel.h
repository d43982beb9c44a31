// The simulated meter's object model: COSEM objects with their attribute
// values, loaded from a text file, plus the few objects whose values are
// computed (clock, load profile, object lists, disconnect control).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "xmlpdu/Catalogue.h"

namespace quillon::sim {

// Result of reading or writing one attribute; 0 is success, otherwise a
// data-access-result value.
enum : int {
  darSuccess = 0,
  darHardwareFault = 1,
  darTemporaryFailure = 2,
  darReadWriteDenied = 3,
  darObjectUndefined = 4,
  darObjectUnavailable = 11,
  darTypeUnmatched = 12,
  darScopeOfAccessViolated = 13,
  darOtherReason = 250,
};

struct TSimAttribute {
  int Id = 0;
  bool Writable = false;
  std::unique_ptr<T_Data> Value;  // empty for computed attributes
};

struct TSimObject {
  uint16_t ClassId = 0;
  uint8_t Version = 0;
  PduStr LogicalName;       // six bytes
  int32_t ShortName = -1;   // base name for short-name referencing, -1 if none
  std::string Description;
  std::vector<TSimAttribute> Attributes;  // sorted by Id; attribute 1 is implicit
  int MethodCount = 0;

  TSimAttribute* Attribute(int id);
  int AttributeCount() const;
};

// How a profile's buffer is generated: one entry per period going back
// from now, Entries entries in all.
struct TProfileSpec {
  int Entries = 0;
  int PeriodSeconds = 900;
};

class TSimModel {
public:
  // Reads the model text; fails with a message naming the line on bad input.
  void Load(const std::string& text);
  void LoadFile(const std::string& path);

  TSimObject* Find(uint16_t classId, const PduStr& logicalName);
  TSimObject* FindByLogicalName(const PduStr& logicalName);
  // Finds the object whose base name is at or below sn, with the attribute or
  // method offset that sn addresses (attribute n at base + 8 (n - 1)).
  TSimObject* FindByShortName(int sn, int& offset);
  const std::vector<std::unique_ptr<TSimObject>>& Objects() const { return FObjects; }

  // Attribute access, with the computed attributes filled in. The value
  // returned is owned by the caller.
  int Read(TSimObject& obj, int attributeId, const T_Data* selection, int selector, std::unique_ptr<T_Data>& value);
  int Write(TSimObject& obj, int attributeId, const T_Data& value);
  // Method invocation; a returned value is optional.
  int Invoke(TSimObject& obj, int methodId, const T_Data* parameters, std::unique_ptr<T_Data>& returned);

  // The meter's clock: system time shifted by whatever was written.
  std::chrono::system_clock::time_point Now() const { return std::chrono::system_clock::now() + FClockOffset; }
  static PduStr DateTimeBytes(std::chrono::system_clock::time_point t);
  static bool ParseDateTime(const PduStr& bytes, std::chrono::system_clock::time_point& t);

  // Which association object lists which objects: all of them.
  std::unique_ptr<T_Data> ObjectListLN() const;
  std::unique_ptr<T_Data> ObjectListSN() const;

private:
  std::unique_ptr<T_Data> ProfileBuffer(const TSimObject& obj, const T_Data* selection, int selector) const;
  std::unique_ptr<T_Data> ProfileEntry(const TSimObject& obj, int64_t index) const;

  std::vector<std::unique_ptr<TSimObject>> FObjects;
  std::map<const TSimObject*, TProfileSpec> FProfiles;
  std::chrono::system_clock::duration FClockOffset{};
};

// Data helpers used by the model and the server.
std::unique_ptr<T_Data> MakeData(TXMLId alternative, PduPtr value = nullptr);
std::unique_ptr<T_Data> DataFromXmlText(const std::string& xml);

}  // namespace quillon::sim
