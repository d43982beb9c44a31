// The simulated meter's object model: COSEM objects with their attribute
// values, loaded from a text file, plus the objects whose values are computed
// (clock, profiles, the association objects, disconnect control).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
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

// Attribute access modes as the object list announces them.
enum TAccessMode : uint8_t { amNone = 0, amRead = 1, amWrite = 2, amReadWrite = 3 };

struct TSimAttribute {
  int Id = 0;
  TAccessMode Access = amRead;
  bool Computed = false;
  std::unique_ptr<T_Data> Value;  // empty for computed attributes and those without access
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
  const TSimAttribute* Attribute(int id) const;
  // The attributes the object has: those its class version defines, and any
  // more the model gives it.
  int AttributeCount() const;
  // What a client may do with attribute `id` (attribute 1 is always readable);
  // amNone for attributes the class has but the meter does not give out.
  TAccessMode Access(int id) const;
  // Whether method `id` does something on this meter; the others are refused.
  bool MethodImplemented(int id) const;
};

// A profile's history: one entry every PeriodSeconds, at whole multiples of
// the period since 1970, the newest at or before the meter's clock, Entries
// in all.
struct TProfileSpec {
  int Entries = 0;
  int PeriodSeconds = 900;
};

// The association that reads or writes: the current association objects
// describe it, and which objects a client can address depends on its
// referencing.
struct TSimAssociationView {
  bool LogicalNames = true;
  bool Ciphered = false;
  int Mechanism = 1;           // 1 lowest ... 8 ECDSA
  int ClientAddress = 16;
  int ServerAddress = 1;
  uint32_t Conformance = 0;    // negotiated
  uint32_t ClientMaxPdu = 0xFFFF;  // the largest APDU we may send (room for ciphering taken off)
  uint32_t ClientPduSize = 0xFFFF;  // the client's receive size as it proposed it
  uint32_t ServerMaxPdu = 1024;    // the largest APDU we take
  // What the security setup object shows of the association's security.
  int SecuritySuite = 0;
  PduStr ClientSystemTitle;  // empty when the client gave none
  PduStr ServerSystemTitle;
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
  // Whether an association with this referencing can reach the object: the
  // short-name association object only under short names, the logical-name
  // one only under logical names, and under short names only what has a base
  // name.
  static bool Addressable(const TSimObject& obj, bool logicalNames);

  // Attribute access, with the computed attributes filled in. The value
  // returned is owned by the caller.
  int Read(TSimObject& obj, int attributeId, const T_Data* selection, int selector, std::unique_ptr<T_Data>& value,
           const TSimAssociationView& who = TSimAssociationView());
  int Write(TSimObject& obj, int attributeId, const T_Data& value);
  // Method invocation; a returned value is optional.
  int Invoke(TSimObject& obj, int methodId, const T_Data* parameters, std::unique_ptr<T_Data>& returned);

  // The meter's clock: system time shifted by whatever was written.
  std::chrono::system_clock::time_point Now() const { return std::chrono::system_clock::now() + FClockOffset; }
  static PduStr DateTimeBytes(std::chrono::system_clock::time_point t);
  static bool ParseDateTime(const PduStr& bytes, std::chrono::system_clock::time_point& t);

  // The association objects' lists of what the referencing reaches.
  std::unique_ptr<T_Data> ObjectListLN() const;
  std::unique_ptr<T_Data> ObjectListSN() const;
  std::unique_ptr<T_Data> AccessRightsListSN() const;

  const TProfileSpec* Profile(const TSimObject& obj) const;

  // The invocation counter object 0.0.43.1.0.255: the last counter the
  // meter accepted in a ciphered request (set by the association layer).
  std::function<uint32_t()> InvocationCounter;

  // One meter of a fleet uses more or less energy than another: energy
  // registers and the energies in profiles are the household's values times
  // `factor`, and the registers start at what they would read now.
  void ScaleEnergies(double factor);

private:
  std::unique_ptr<T_Data> ProfileBuffer(const TSimObject& obj, const T_Data* selection, int selector) const;
  std::unique_ptr<T_Data> AssociationAttribute(const TSimObject& obj, int attributeId,
                                               const TSimAssociationView& who) const;
  static std::unique_ptr<T_Data> SecuritySetupAttribute(int attributeId, const TSimAssociationView& who);

  std::vector<std::unique_ptr<TSimObject>> FObjects;
  std::map<const TSimObject*, TProfileSpec> FProfiles;
  std::chrono::system_clock::duration FClockOffset{};
  double FEnergyFactor = 1;
};

// Data helpers used by the model and the server.
std::unique_ptr<T_Data> MakeData(TXMLId alternative, PduPtr value = nullptr);
std::unique_ptr<T_Data> DataFromXmlText(const std::string& xml);

}  // namespace quillon::sim
