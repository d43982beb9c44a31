// The whole road: the engine's C interface, the client's transport stacks and
// the meter simulator. Each case associates, reads the object list, the clock
// and a register's scaler and unit, writes the clock, invokes a method, reads a
// profile range long enough for block transfer, and releases.
#include <gtest/gtest.h>

#include "Harness.h"

using namespace quillon;
using namespace quillon::e2e;

namespace {

class EndToEnd : public ::testing::TestWithParam<TCase>, public TE2ESession {
protected:
  void SetUp() override { ASSERT_NO_THROW(Start(GetParam())); }
  void TearDown() override { Stop(); }
};

TEST_P(EndToEnd, SessionOfTypicalOperations) {
  const TCase& c = GetParam();
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  EXPECT_TRUE(assoc->Associated());
  EXPECT_GT(ctx.NegotiatedMaxPduSize, 0);

  // Object list: one entry per object of the model.
  if (c.LN)
    ASSERT_EQ(ReadAttributes(&ctx, GetNormal("000F", "0000280000FF", "02").c_str()), 0) << Result();
  else
    ASSERT_EQ(ReadAttributes(&ctx, GetNormal("000C", "0000280000FF", "02").c_str()), 0) << Result();
  std::string list = Result();
  size_t expected = 0;
  for (const auto& o : model.Objects()) expected += TSimModel::Addressable(*o, c.LN);
  EXPECT_EQ(Count(list, "<OctetString Value=\""), expected) << list.substr(0, 400);

  ASSERT_EQ(ReadAttributes(&ctx, GetNormal("0008", "0000010000FF", "02").c_str()), 0) << Result();
  EXPECT_NE(Result().find("<OctetString Value=\""), std::string::npos) << Result();

  ASSERT_EQ(ReadAttributes(&ctx, GetNormal("0003", "0100010800FF", "03").c_str()), 0) << Result();
  EXPECT_NE(Result().find("<Enum Value=\"1E\" />"), std::string::npos) << Result();

  // Set the clock a year back: the next read shows the year written.
  std::string write =
      "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0008\" />"
      "<InstanceId Value=\"0000010000FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
      "<Value><OctetString Value=\"07E8060F060C000000000000\" /></Value></SetRequestNormal>";
  ASSERT_EQ(WriteAttributes(&ctx, write.c_str()), 0) << Result();
  EXPECT_NE(Result().find("Success"), std::string::npos) << Result();
  ASSERT_EQ(ReadAttributes(&ctx, GetNormal("0008", "0000010000FF", "02").c_str()), 0) << Result();
  EXPECT_NE(Result().find("<OctetString Value=\"07E8060F"), std::string::npos) << Result();

  // Disconnect the supply, then read the output state.
  std::string action =
      "<ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" /><MethodDescriptor><ClassId Value=\"0046\" />"
      "<InstanceId Value=\"000060030AFF\" /><MethodId Value=\"01\" /></MethodDescriptor>"
      "<MethodInvocationParameters><Integer Value=\"00\" /></MethodInvocationParameters></ActionRequestNormal>";
  ASSERT_EQ(InvokeMethod(&ctx, action.c_str(), 0), 0) << Result();
  EXPECT_NE(Result().find("Success"), std::string::npos) << Result();
  ASSERT_EQ(ReadAttributes(&ctx, GetNormal("0046", "000060030AFF", "02").c_str()), 0) << Result();
  EXPECT_NE(Result().find("<Boolean Value=\"00\" />"), std::string::npos) << Result();

  // 300 profile entries: about 11 KB, many blocks of at most 512 bytes.
  std::string selection =
      "<AccessSelection><AccessSelector Value=\"02\" /><AccessParameters><Structure Qty=\"0004\">"
      "<DoubleLongUnsigned Value=\"00000001\" /><DoubleLongUnsigned Value=\"0000012C\" />"
      "<LongUnsigned Value=\"0001\" /><LongUnsigned Value=\"0000\" /></Structure></AccessParameters></AccessSelection>";
  ASSERT_EQ(ReadAttributes(&ctx, GetNormal("0007", "0100630100FF", "02", selection).c_str()), 0) << Result();
  EXPECT_EQ(Count(Result(), "<Structure Qty=\"0006\" >"), 300u);

  ASSERT_EQ(ReleaseAA(&ctx), 0) << Result();
}

const TCase kCases[] = {
    {"WrapperLnLowest", pWrapper, true, 1, false},
    {"WrapperLnLow", pWrapper, true, 2, false},
    {"WrapperLnGmac", pWrapper, true, 6, false},
    {"WrapperLnLowestCiphered", pWrapper, true, 1, true},
    {"WrapperLnLowCiphered", pWrapper, true, 2, true},
    {"WrapperLnGmacCiphered", pWrapper, true, 6, true},
    {"WrapperSnLowest", pWrapper, false, 1, false},
    {"WrapperSnLow", pWrapper, false, 2, false},
    {"WrapperSnGmac", pWrapper, false, 6, false},
    {"WrapperSnLowestCiphered", pWrapper, false, 1, true},
    {"WrapperSnLowCiphered", pWrapper, false, 2, true},
    {"WrapperSnGmacCiphered", pWrapper, false, 6, true},
    {"WrapperLnMd5", pWrapper, true, 4, false},
    {"WrapperLnSha1", pWrapper, true, 5, false},
    {"WrapperLnSha256", pWrapper, true, 7, false},
    {"WrapperLnEcdsa", pWrapper, true, 8, false},
    {"WrapperLnManufacturer", pWrapper, true, 3, false},
    {"HdlcLnLowest", pHdlc, true, 1, false},
    {"HdlcLnLow", pHdlc, true, 2, false},
    {"HdlcLnGmac", pHdlc, true, 6, false},
    {"HdlcLnLowestCiphered", pHdlc, true, 1, true},
    {"HdlcLnLowCiphered", pHdlc, true, 2, true},
    {"HdlcLnGmacCiphered", pHdlc, true, 6, true},
    {"HdlcSnLowest", pHdlc, false, 1, false},
    {"HdlcSnLow", pHdlc, false, 2, false},
    {"HdlcSnGmac", pHdlc, false, 6, false},
    {"HdlcSnLowestCiphered", pHdlc, false, 1, true},
    {"HdlcSnLowCiphered", pHdlc, false, 2, true},
    {"HdlcSnGmacCiphered", pHdlc, false, 6, true},
    {"HdlcOverTcpLnLowest", pHdlcTcp, true, 1, false},
    {"HdlcOverTcpLnGmacCiphered", pHdlcTcp, true, 6, true},
};

INSTANTIATE_TEST_SUITE_P(Matrix, EndToEnd, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TCase>& i) { return std::string(i.param.Name); });

}  // namespace

namespace {

// The meter refuses what a real meter refuses, and the client says so.
class EndToEndRefusals : public ::testing::Test, public TE2ESession {
protected:
  void TearDown() override { Stop(); }
};

TEST_F(EndToEndRefusals, WrongPasswordIsRejected) {
  Start(TCase{"", pWrapper, true, 2, false});
  static const char wrong[] = "87654321";
  ctx.Secret.Size = 8;
  ctx.Secret.Bytes = reinterpret_cast<uint8_t*>(const_cast<char*>(wrong));
  EXPECT_EQ(EstablishAA(&ctx), 1);
  EXPECT_EQ(Result(), "Association is not \"accepted\"");
  EXPECT_FALSE(assoc->Associated());
}

TEST_F(EndToEndRefusals, WrongGmacKeyFailsTheChallenge) {
  Start(TCase{"", pWrapper, true, 6, false});
  static const PduStr wrongAK = TMisc::HexStrToByteStr("00000000000000000000000000000000");
  ctx.AuthenticationKey = reinterpret_cast<const uint8_t*>(wrongAK.data());
  EXPECT_EQ(EstablishAA(&ctx), 1);
  EXPECT_EQ(Result(), "Unexpected response ReadWriteDenied to method invocation");
  EXPECT_FALSE(assoc->Associated());
}

TEST_F(EndToEndRefusals, WrongEncryptionKeyGetsNoAssociation) {
  Start(TCase{"", pHdlc, true, 1, true});
  static const PduStr wrongEK = TMisc::HexStrToByteStr("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
  ctx.EncryptionKey = reinterpret_cast<const uint8_t*>(wrongEK.data());
  EXPECT_EQ(EstablishAA(&ctx), 1);
  EXPECT_EQ(Result(), "Association is not \"accepted\"");
}

TEST_F(EndToEndRefusals, UnknownObjectAndReadOnlyAttribute) {
  Start(TCase{"", pWrapper, true, 1, false});
  ctx.Options |= DLMS_OPTION_NO_ACCESS_SERVICE;
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  ASSERT_EQ(ReadAttributes(&ctx, GetNormal("0003", "0100636300FF", "02").c_str()), 0) << Result();
  EXPECT_NE(Result().find("<DataAccessError Value=\"ObjectUndefined\" />"), std::string::npos) << Result();
  std::string write =
      "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0003\" />"
      "<InstanceId Value=\"0100010800FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
      "<Value><DoubleLongUnsigned Value=\"00000000\" /></Value></SetRequestNormal>";
  ASSERT_EQ(WriteAttributes(&ctx, write.c_str()), 0) << Result();
  EXPECT_NE(Result().find("<Result Value=\"ReadWriteDenied\" />"), std::string::npos) << Result();
  ASSERT_EQ(ReleaseAA(&ctx), 0) << Result();
}

TEST_F(EndToEndRefusals, RequestBeforeAssociationGetsAnExceptionResponse) {
  Start(TCase{"", pWrapper, true, 1, false});
  ctx.Options |= DLMS_OPTION_PRE_ESTABLISHED | DLMS_OPTION_NO_ACCESS_SERVICE;
  ctx.NegotiatedConformance = 0xFFFFFF;
  ctx.NegotiatedMaxPduSize = 512;
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  EXPECT_EQ(ReadAttributes(&ctx, GetNormal("0003", "0100010800FF", "02").c_str()), 1);
  EXPECT_EQ(Result(), "Unexpected response ExceptionResponse to GetRequest");
}

}  // namespace
