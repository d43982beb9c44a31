// ECDSA authentication from PEM key files: the keys are made as raw pairs by
// the security suite, written as PEM by OpenSSL, and must come back as the
// same bytes; quillon-cli then associates with the simulator's ECDSA client
// with the right keys, is refused with an explanation with the wrong server
// key, and refuses key files that cannot serve before it calls the meter.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "CliProcess.h"
#include "tests/PemKeys.h"
#include "SimProcess.h"
#include "client/SigningKeys.h"
#include "security/CryptoServices.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using nlohmann::json;
using test::Describe;
using test::ReadFile;
using test::RunCli;
using test::TRun;
using test::TTempDir;
using test::TPem;
using test::WritePem;
using test::WriteText;

namespace {

std::string Hex(const std::string& bytes) { return TMisc::ByteStrToHexStr(bytes); }

TEST(SigningKeyFiles, ComeBackAsTheRawKeysOnBothCurves) {
  TTempDir dir;
  for (int suite : {1, 2}) {
    TKeyPair pair;
    ASSERT_TRUE(GenerateKeyPair(suite, pair));
    ASSERT_EQ(pair.PrivateKey.size(), suite == 2 ? 48u : 32u);
    const std::string priv = dir.Path + "/private.pem", pub = dir.Path + "/public.pem", cert = dir.Path + "/cert.pem";
    ASSERT_TRUE(WritePem(priv, suite, pair, TPem::pPrivate));
    ASSERT_TRUE(WritePem(pub, suite, pair, TPem::pPublic));
    ASSERT_TRUE(WritePem(cert, suite, pair, TPem::pCertificate));
    const client::TEcKeyPair loaded = client::LoadPrivateKeyPem(priv, suite, "Client signing key");
    EXPECT_EQ(Hex(loaded.Private), Hex(pair.PrivateKey)) << "suite " << suite;
    EXPECT_EQ(Hex(loaded.Public), Hex(pair.PublicKey)) << "suite " << suite;
    EXPECT_EQ(Hex(client::LoadPublicKeyPem(pub, suite, "Server signing key")), Hex(pair.PublicKey)) << "suite " << suite;
    EXPECT_EQ(Hex(client::LoadPublicKeyPem(cert, suite, "Server signing key")), Hex(pair.PublicKey)) << "suite " << suite;
  }
}

// The simulator's model with an ECDSA client 24 and the keys of the test.
class CliEcdsa : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(GenerateKeyPair(1, Client));
    ASSERT_TRUE(GenerateKeyPair(1, Server));
    ASSERT_TRUE(GenerateKeyPair(1, Other));
    ASSERT_TRUE(GenerateKeyPair(2, Big));
    ASSERT_TRUE(WritePem(Path("client.pem"), 1, Client, TPem::pPrivate));
    ASSERT_TRUE(WritePem(Path("server.pem"), 1, Server, TPem::pPublic));
    ASSERT_TRUE(WritePem(Path("other.pem"), 1, Other, TPem::pPublic));
    ASSERT_TRUE(WritePem(Path("p384.pem"), 2, Big, TPem::pPrivate));
    WriteText(Path("notes.pem"), "not a key\n");
    const std::string model = ReadFile(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
    ASSERT_FALSE(model.empty());
    WriteText(Path("model.txt"), model + "\nsecurity suite=1 sign-private=" + Hex(Server.PrivateKey) +
                                     " sign-public=" + Hex(Server.PublicKey) + " client-sign-public=" +
                                     Hex(Client.PublicKey) + "\nclient 24 LN 8\n");
    Sim = std::make_unique<test::TSimProcess>(std::vector<std::string>{"--port", "0", "--model", Path("model.txt")});
  }

  std::string Path(const std::string& name) const { return Dir.Path + "/" + name; }

  TRun Run(const std::vector<std::string>& signing, const std::vector<std::string>& command) {
    std::vector<std::string> args{"--tcp", "127.0.0.1:" + std::to_string(Sim->Port()), "--client", "24", "--auth", "ecdsa"};
    args.insert(args.end(), signing.begin(), signing.end());
    args.insert(args.end(), command.begin(), command.end());
    return RunCli(args, Dir.Path, kEnv);
  }

  const std::vector<std::string> kEnv = {"QUILLON_EK=000102030405060708090A0B0C0D0E0F",
                                         "QUILLON_AK=D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF",
                                         "QUILLON_KEK=101112131415161718191A1B1C1D1E1F",
                                         "QUILLON_SERVER_SYSTEM_TITLE=5153494D00000001"};
  TTempDir Dir;
  TKeyPair Client, Server, Other, Big;
  std::unique_ptr<test::TSimProcess> Sim;
};

TEST_F(CliEcdsa, RightKeysReadAndANamedMeterKeepsTheKeyFiles) {
  TRun r = Run({"--suite", "1", "--signing-key", Path("client.pem"), "--server-signing-key", Path("server.pem")},
               {"--format", "json", "get", "1.0.1.8.0.255"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_EQ(json::parse(r.Out)[0]["value"], 1234567);

  // Key files from a keys file, saved with the meter, found again by name.
  WriteText(Path("keys.ini"), "[keys]\nsigning-key=" + Path("client.pem") + "\nserver-signing-key=" + Path("server.pem") + "\n");
  r = Run({"--suite", "1", "--keys", Path("keys.ini")}, {"save-meter", "lab"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const std::string meters = ReadFile(Dir.Path + "/quillon/meters.ini");
  EXPECT_NE(meters.find("signing-key=" + Path("client.pem") + "\n"), std::string::npos) << meters;
  EXPECT_NE(meters.find("server-signing-key=" + Path("server.pem") + "\n"), std::string::npos) << meters;
  r = RunCli({"--meter", "lab", "--format", "json", "get", "0.0.96.1.0.255"}, Dir.Path, kEnv);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_EQ(json::parse(r.Out)[0]["value"], "51000427");
}

TEST_F(CliEcdsa, AWrongServerKeyIsExplained) {
  const TRun r = Run({"--suite", "1", "--signing-key", Path("client.pem"), "--server-signing-key", Path("other.pem")},
                     {"get", "1.0.1.8.0.255"});
  EXPECT_EQ(r.Status, 1) << Describe(r);
  EXPECT_EQ(r.Out, "");
  EXPECT_EQ(r.Err,
            "quillon-cli: association: Illegal response to challenge\n"
            "  what happened: The meter's reply to our ecdsa challenge is not the one its secret would give\n"
            "  likely cause: a wrong key or secret on our side, or a wrong server system title\n"
            "  fix: check the secret or --ek/--ak (for ecdsa the meter's public key, --server-signing-key), and "
            "--server-system-title against the meter's security setup\n");
}

TEST_F(CliEcdsa, KeyFilesThatCannotServeAreUsageErrors) {
  const std::string client = Path("client.pem"), server = Path("server.pem");
  const struct {
    std::vector<std::string> Signing;
    std::string Err;
  } cases[] = {
      {{"--suite", "1", "--signing-key", Path("missing.pem"), "--server-signing-key", server},
       "Client signing key \"" + Path("missing.pem") + "\": cannot be read (No such file or directory)"},
      {{"--suite", "1", "--signing-key", Path("notes.pem"), "--server-signing-key", server},
       "Client signing key \"" + Path("notes.pem") + "\": expected an unencrypted EC private key in PEM form"},
      {{"--suite", "1", "--signing-key", server, "--server-signing-key", server},
       "Client signing key \"" + server + "\": expected an unencrypted EC private key in PEM form"},
      {{"--suite", "1", "--signing-key", Path("p384.pem"), "--server-signing-key", server},
       "Client signing key \"" + Path("p384.pem") + "\": expected a key on P-256 for security suite 1, found a key on P-384"},
      {{"--suite", "2", "--signing-key", Path("p384.pem"), "--server-signing-key", server,
        "--ek", "000102030405060708090A0B0C0D0E0F000102030405060708090A0B0C0D0E0F",
        "--kek", "101112131415161718191A1B1C1D1E1F101112131415161718191A1B1C1D1E1F",
        "--ak", "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDFD0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"},
       "Server signing key \"" + server + "\": expected a key on P-384 for security suite 2, found a key on P-256"},
      {{"--suite", "1", "--signing-key", client, "--server-signing-key", Path("notes.pem")},
       "Server signing key \"" + Path("notes.pem") + "\": expected an EC public key or a certificate in PEM form"},
      {{"--signing-key", client, "--server-signing-key", server},
       "--suite \"0\": expected 1 (P-256) or 2 (P-384) for --auth ecdsa"},
      {{"--suite", "1", "--server-signing-key", server},
       "--signing-key: expected the PEM file of the client's private signing key for --auth ecdsa"},
      {{"--suite", "1", "--signing-key", client},
       "--server-signing-key: expected the PEM file of the meter's public signing key for --auth ecdsa"},
  };
  for (const auto& c : cases) {
    const TRun r = Run(c.Signing, {"get", "1.0.1.8.0.255"});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_EQ(r.Err, "quillon-cli: " + c.Err + "\n");
    EXPECT_EQ(r.Out, "");
  }
}

}  // namespace
