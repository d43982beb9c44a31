// A value reassembled from GET blocks is written to XML straight from its
// bytes, and a decoded value into its response without a tree of the
// response; both must give what the trees give: the same text, the same
// errors, bytes after the value logged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/PduHelpers.h"
#include "engine/ServiceFamilies.h"
#include "xmlpdu/Catalogue.h"

using namespace quillon;

namespace {

std::string OrError(const std::function<std::string()>& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(ReassembledData, AsTheValuesTreeInsideTheResponse) {
  const struct {
    const char* what;
    PduStr raw;
  } cases[] = {
      {"profile entries", TMisc::HexStrToByteStr("0102020319" "07EA0C0A0400000000800000" "06000000011100"
                                                 "020319" "07EA0C0A040000000080000006000000021101")},
      {"text and octets", TMisc::HexStrToByteStr("0203090548656C6C6F0A0427612227090200")},
      {"compact array, bit string", TMisc::HexStrToByteStr("0202040A8FC01302021106050A00000001")},
      {"truncated", TMisc::HexStrToByteStr("0102020311")},
      {"unknown tag", TMisc::HexStrToByteStr("020108")},
      {"bytes after the value", TMisc::HexStrToByteStr("1105EEEE")},
  };
  for (const auto& c : cases) {
    std::vector<std::string> logged, loggedByTree;
    TLoggingContext logging, treeLogging;
    logging.FLogStringProc = [&](const std::string& s) { logged.push_back(s); };
    treeLogging.FLogStringProc = [&](const std::string& s) { loggedByTree.push_back(s); };
    const std::string direct = OrError([&] { return GetResponseNormalOfRawData(logging, 0xC1, c.raw); });
    // The response's text made from the value's tree and read again, as the
    // trees give it.
    std::unique_ptr<T_Data> tree;
    const std::string viaTrees = OrError([&] {
      tree = DecodeReceived<T_Data>(treeLogging, xmlData, c.raw, "reassembled data");
      return TCOSEMPduBase::Clean(xmlGetResponseNormal, &T_GetResponseNormal::ClassInfo,
                                  "<GetResponseNormal><InvokeIdAndPriority Value=\"C1\" /><Result>" +
                                      DataElementXml(*tree) + "</Result></GetResponseNormal>");
    });
    EXPECT_EQ(direct, viaTrees) << c.what;
    if (tree) {
      EXPECT_EQ(GetResponseNormalData("C1", *tree), viaTrees) << c.what;
    }
    EXPECT_EQ(logged, loggedByTree) << c.what;
  }
}

// A value the decoder takes within its nesting limit comes back whole (the
// response around it does not count against the value's levels); one level
// more fails as the decoder fails.
TEST(ReassembledData, NestedToTheDecodersLimit) {
  auto nested = [](int arrays) {
    PduStr b;
    for (int i = 0; i < arrays; ++i) b += TMisc::HexStrToByteStr("0101");
    return b + TMisc::HexStrToByteStr("00");
  };
  TLoggingContext logging;
  EXPECT_NE(GetResponseNormalOfRawData(logging, 0xC1, nested(99)).find("<NullData />"), std::string::npos);
  EXPECT_EQ(OrError([&] { return GetResponseNormalOfRawData(logging, 0xC1, nested(100)); }),
            "error: Nesting deeper than 200 levels");
  EXPECT_EQ(OrError([&] { return MakeFromPdu<T_Data>(xmlData, nested(100))->ToXMLString(); }),
            "error: Nesting deeper than 200 levels");
}

TEST(ReassembledData, LogsWhatFollowsTheValue) {
  std::vector<std::string> logged;
  TLoggingContext logging;
  logging.FLogStringProc = [&](const std::string& s) { logged.push_back(s); };
  const std::string xml = GetResponseNormalOfRawData(logging, 0x81, TMisc::HexStrToByteStr("1105EEEE"));
  EXPECT_EQ(xml,
            "<GetResponseNormal>\r\n  <InvokeIdAndPriority Value=\"81\" />\r\n  <Result>\r\n    <Data>\r\n"
            "      <Unsigned Value=\"05\" />\r\n    </Data>\r\n  </Result>\r\n</GetResponseNormal>\r\n");
  EXPECT_EQ(logged, std::vector<std::string>{"2 bytes after the end of the reassembled data ignored"});
}

}  // namespace
