// A context record prepared the way a caller of the exported interface fills
// it, with the scripted conversation as its transport.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "ScriptedConversation.h"
#include "engine/DLMSProtocol.h"

namespace enginetest {

// Conformance bits in the record's numbering.
enum : uint32_t {
  cbGeneralBlockTransfer = 1u << 2,
  cbBlockTransferWithGet = 1u << 11,
  cbBlockTransferWithSet = 1u << 12,
  cbAccess = 1u << 17,
  cbGet = 1u << 19,
  cbSet = 1u << 20,
  cbAction = 1u << 23,
};

// XML as the engine writes it: one element per line, CR LF line ends.
inline std::string Xml(std::initializer_list<const char*> lines) {
  std::string s;
  for (const char* l : lines) s += std::string(l) + "\r\n";
  return s;
}

// The register read most cases use, its encoding, and its answer (unsigned 5).
inline const char kGetNormal[] =
    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor></GetRequestNormal>";
inline const char kGetNormalBytes[] = "C0 01 C1 0001 0000600100FF 02 00";
inline const std::string kUnsigned5Result =
    Xml({"<GetResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />", "  <Result>", "    <Data>",
         "      <Unsigned Value=\"05\" />", "    </Data>", "  </Result>", "</GetResponseNormal>"});

class EngineTest : public ::testing::Test {
protected:
  void SetUp() override {
    ClearContext(&Ctx);
    Ctx.ApplicationContext = 3;
    Ctx.MechanismName = 1;
  }
  void TearDown() override { DropState(); }

  // Discards the engine state without a release exchange, so a loop over
  // cases can establish afresh.
  void DropState() {
    if (Ctx.ReservedRef == nullptr) return;
    Ctx.RLRQSupported = 0;
    ReleaseAA(&Ctx);
  }

  // A pre-established LN association: nothing is exchanged to open it.
  void EstablishPre(TScriptedConversation& script, uint32_t conformance, int32_t maxPdu) {
    script.Install(Ctx);
    Ctx.Options |= DLMS_OPTION_PRE_ESTABLISHED;
    Ctx.NegotiatedConformance = conformance;
    Ctx.NegotiatedMaxPduSize = maxPdu;
    ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
  }

  std::string ResultText() const { return Ctx.Result == nullptr ? std::string("<null>") : std::string(Ctx.Result); }

  TDLMSProtocolContext Ctx{};
};

}  // namespace enginetest
