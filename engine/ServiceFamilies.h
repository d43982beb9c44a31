// The two service families that stand in for GET, SET and ACTION: the
// short-name services (ReadRequest/WriteRequest) and the ACCESS service. The
// caller's interface is the same for all three families; these translate the
// caller's logical-name request into their own APDUs and the answer back.
#pragma once

#include <cstdint>
#include <string>

#include "engine/DLMSProtocol.h"
#include "xmlpdu/infra/LoggingContext.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

class T_Data;

class TSNServices {
public:
  // requestXml: a GetRequestNormal or GetRequestWithList element.
  static std::string Read(PDLMSProtocolContext ctx, const std::string& requestXml);
  // requestXml: a SetRequestNormal element; the result has the shape of an
  // ActionResponseNormal.
  static std::string Write(PDLMSProtocolContext ctx, const std::string& requestXml);
  // requestXml: an ActionRequestNormal element.
  static std::string Invoke(PDLMSProtocolContext ctx, const std::string& requestXml, bool expectReturnParameters);
};

class TAccessServices {
public:
  static std::string Read(PDLMSProtocolContext ctx, const std::string& requestXml);
  static std::string Write(PDLMSProtocolContext ctx, const std::string& requestXml);
  static std::string Invoke(PDLMSProtocolContext ctx, const std::string& requestXml);
};

// The value a method invocation carries: its parameters, or null-data for a
// method called without any, since both short-name and ACCESS requests must
// carry a Data for every method.
std::string MethodParameterXml(const T_Data* parameters);

// The results the families build for the caller, normalised through their
// PDU type. invokeId is two hex digits.
std::string GetResponseNormalData(const std::string& invokeId, const T_Data& data);
std::string GetResponseNormalError(const std::string& invokeId, const std::string& resultName);
// The GetResponseNormal of a value received as bytes (reassembled from
// blocks), written straight from them; bytes after the value are logged and
// ignored.
std::string GetResponseNormalOfRawData(const TLoggingContext& logging, uint8_t invokeId, const PduStr& raw);
// With return parameters only on success; null for none.
std::string ActionResponseNormalOf(const std::string& invokeId, const std::string& resultName,
                                   const T_Data* returnParameters = nullptr);

// A Data value written as a Data element ("<Data>", the alternative,
// "</Data>"), whatever element name the value had inside its parent.
std::string DataElementXml(const T_Data& data);

}  // namespace quillon
