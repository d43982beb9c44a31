// Sessions over calls a meter made: a profile that calls in waits for the
// call and says who called; one connection serves several sessions one
// after the other (the head end's identification, then its reading), over
// the wrapper and over HDLC; the profile files carry the call-in fields.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "SimProcess.h"
#include "client/Caller.h"
#include "client/Session.h"
#include "comm/CallIn.h"

using namespace quillon;
using namespace quillon::client;

namespace {

const TObjectRef kEnergy{3, {1, 0, 1, 8, 0, 255}, 2};
const TObjectRef kDeviceName{1, {0, 0, 42, 0, 0, 255}, 2};

struct TFraming {
  const char* Name;
  TTransport Transport;
  const char* SimProfile;
};

class CallIn : public ::testing::TestWithParam<TFraming> {
protected:
  TMeterProfile Profile() const {
    TMeterProfile p;
    p.Transport = GetParam().Transport;
    if (p.Transport == TTransport::tHdlcTcp) p.PhysicalAddress = 17;
    return p;
  }
};

TEST_P(CallIn, AProfileThatCallsInWaitsTellsWhoCalledAndHangsUpWhenItCloses) {
  TMeterProfile p = Profile();
  p.CallIn = true;
  p.Host = "127.0.0.1";
  p.Port = 0;
  // A port of our own choosing first: the meter is told where to call.
  { TCallInListener probe("127.0.0.1", 0); p.Port = probe.Port(); }
  TSession s(p);
  std::vector<std::string> notices;
  s.SetCallInNotice([&](const std::string& text) { notices.push_back(text); });
  test::TSimProcess meter({"--profile", GetParam().SimProfile, "--call-in", "127.0.0.1:" + std::to_string(p.Port),
                           "--every", "0.2"});
  s.Open();
  EXPECT_EQ(s.Get(kEnergy).Value.Unsigned, 1234567u);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0], "Waiting for a meter on port " + std::to_string(p.Port) + "...");
  EXPECT_EQ(notices[1], "Meter connected from " + s.Peer());
  EXPECT_TRUE(std::regex_match(s.Peer(), std::regex("127\\.0\\.0\\.1:[0-9]+")));
  s.Close();
  // Opened again, the session waits for the next call (the meter calls again 0.2 s after the last ended).
  s.Open();
  EXPECT_EQ(s.Get(kEnergy).Value.Unsigned, 1234567u);
  EXPECT_EQ(notices.size(), 4u);
}

TEST_P(CallIn, OneCallServesSessionAfterSessionUntilItsOwnerHangsUp) {
  TCallInListener listener("127.0.0.1", 0);
  test::TSimProcess meter({"--profile", GetParam().SimProfile, "--call-in", "127.0.0.1:" + std::to_string(listener.Port()),
                           "--every", "600"});
  std::shared_ptr<TCallerConnection> call = listener.Accept(20000);
  ASSERT_TRUE(call);
  TMeterProfile p = Profile();
  // The public client first, as the head end identifies a meter, then a
  // client that authenticates: each session releases and closes, the call stays.
  for (const int client : {16, 17, 16}) {
    SCOPED_TRACE(client);
    TMeterProfile q = p;
    q.ClientAddress = client;
    if (client == 17) {
      q.Mechanism = mLow;
      q.Secret = "12345678";
      // A password goes out before the caller proves anything: only to a
      // meter bound to where it calls from.
      q.Callers = "127.0.0.1";
    }
    TSession s(q);
    s.UseConnection(call);
    s.Open();
    EXPECT_EQ(s.Peer(), call->Peer());
    EXPECT_EQ(s.Get(kDeviceName).Value.Bytes, "QSM0000000001");
    s.Close();
  }
  call->HangUp();
  TSession late(p);
  late.UseConnection(call);
  try {
    late.Open();
    FAIL() << "a session over a call that was hung up opened";
  } catch (const EMeterError& e) {
    EXPECT_NE(std::string(e.what()).find("hung up"), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Framing, CallIn,
                         ::testing::Values(TFraming{"Wrapper", TTransport::tWrapperTcp, "wrapper"},
                                           TFraming{"Hdlc", TTransport::tHdlcTcp, "hdlc-tcp"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(CallInProfile, MetersFileAndSettingsFormCarryItAndSerialLinesCannotCall) {
  TMeterProfile p;
  p.CallIn = true;
  p.Port = 4100;
  p.CallInWait = 45;
  TIniData ini;
  ProfileToMeterSection(p, ini, "m");
  const TMeterProfile fromFile = ProfileFromMeterSection(ini, "m");
  EXPECT_TRUE(fromFile.CallIn);
  EXPECT_EQ(fromFile.Port, 4100);
  EXPECT_EQ(fromFile.CallInWait, 45);

  TIniData form;
  form.Parse("[FormSettings]\nRBSelectTCP=1\nEDITServerIP=\nEDITClientAddress=16\nEDITServerAddress=1\n"
             "[FormSettings.CBReferencingModel]\nc=1\n0=LN\ni=0\n[FormSettings.CBAuthMechanism]\nc=1\n0=NO\ni=0\n");
  form.Set("FormSettings", "CHKCallIn", "1");
  form.Set("FormSettings", "EDITCallInPort", "4059");
  form.Set("FormSettings", "EDITCallInWait", "30");
  const TMeterProfile fromForm = ProfileFromSettings(form);
  EXPECT_TRUE(fromForm.CallIn);
  EXPECT_EQ(fromForm.Port, 4059);
  EXPECT_EQ(fromForm.CallInWait, 30);
  EXPECT_TRUE(fromForm.Host.empty());
  TIniData written;
  ProfileToSettings(fromForm, written);
  EXPECT_EQ(written.Get("FormSettings", "CHKCallIn"), "1");
  EXPECT_EQ(written.Get("FormSettings", "EDITCallInPort"), "4059");
  // Back to dialling: the box is cleared.
  TMeterProfile dial = fromForm;
  dial.CallIn = false;
  dial.Host = "10.0.0.7";
  ProfileToSettings(dial, written);
  EXPECT_EQ(written.Get("FormSettings", "CHKCallIn"), "0");
  EXPECT_FALSE(ProfileFromSettings(written).CallIn);

  TMeterProfile serial;
  serial.Transport = TTransport::tHdlcSerial;
  serial.Device = "/dev/ttyUSB0";
  serial.CallIn = true;
  EXPECT_THROW(serial.Check(), EGeneralError);
  p.Check();  // no host needed: it listens
}

}  // namespace
