// quillon-translate: converts one APDU (or a bare Data value) between its
// encoded bytes, written as hex text, and the DLMS XML representation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "quillon/Version.h"
#include "client/MeterProfile.h"
#include "client/SecretText.h"
#include "tools/translate/Frame.h"
#include "tools/translate/Translate.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;

namespace {

const char kHelp[] =
    "Usage: quillon-translate MODE [--data] [FILE]\n"
    "       quillon-translate --frame [--keys FILE | --ek HEX [--ak HEX]] [FILE]\n"
    "\n"
    "Converts one DLMS/COSEM APDU between its encoded bytes and its DLMS XML\n"
    "representation. The input is read from FILE, or from standard input when no\n"
    "FILE is given; the result is written to standard output.\n"
    "\n"
    "Modes:\n"
    "  --to-xml   the input is the hex text of one APDU (pairs of hex digits;\n"
    "             spaces, tabs and line breaks may stand anywhere); prints its XML\n"
    "  --to-hex   the input is the XML of one APDU; prints the hex of its encoding\n"
    "  --clean    the input is the XML of one APDU; prints it in the canonical\n"
    "             layout (one element per line, two spaces per level)\n"
    "  --demo     prints a few real captures, each as hex and as XML\n"
    "  --frame    the input is a capture of what a meter sent: whole frames\n"
    "             (HDLC, wired M-Bus, DLMS wrapper) or an APDU, as hex the way\n"
    "             readers log it (spaces, line breaks, time stamps and offsets\n"
    "             before the bytes are passed over). Frames are unwrapped,\n"
    "             segments and general-block-transfer blocks joined, ciphered\n"
    "             APDUs deciphered when their keys are given; each message is\n"
    "             printed as XML and a data notification's values as JSON, named\n"
    "             by their OBIS codes where the list names them\n"
    "  --help     prints this text\n"
    "  --version  prints the version\n"
    "\n"
    "Options:\n"
    "  --data     with --to-xml, --to-hex or --clean: the input is a bare Data\n"
    "             value (bytes starting with the data type tag, or a <Data>\n"
    "             element holding one value) instead of a whole APDU\n"
    "  --keys FILE  with --frame: a meters file whose sections give system\n"
    "             titles and keys (server-system-title, ek, ak), the keys of a\n"
    "             message being those of its sender's title\n"
    "  --ek HEX, --ak HEX  with --frame: the encryption and authentication keys\n"
    "             for any sender (a file keeps them out of the shell's history)\n"
    "\n"
    "Errors are written to standard error with the message of the decoder; XML\n"
    "errors also give the line and the position of the offending tag. The exit\n"
    "code is 0 on success, 1 when the input could not be converted and 2 when\n"
    "the command line is wrong. A conversion that fails writes nothing to standard\n"
    "output; where that is a file, the file is left as it was.\n"
    "\n"
    "Examples:\n"
    "  echo 'C0 01 C1 00 08 00 00 01 00 00 FF 02 00' | quillon-translate --to-xml\n"
    "  quillon-translate --to-hex request.xml\n"
    "  echo '02 02 11 05 09 02 12 34' | quillon-translate --to-xml --data\n";

int Usage(const std::string& why) {
  std::cerr << "quillon-translate: " << why << "\n"
            << "Try 'quillon-translate --help'.\n";
  return 2;
}

// The whole input in large reads, straight into the text.
bool ReadAll(std::FILE* f, std::string& text) {
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
  return !std::ferror(f);
}

// The input as one piece of text. A regular file is read into a text sized
// to it in one allocation; it is not mapped, since a file shortened by
// another process while mapped would end this one with a bus error.
class TInput {
public:
  bool Open(const std::string& file) {
    if (file.empty()) return ReadAll(stdin, FText);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) FText.reserve(static_cast<size_t>(st.st_size));
    std::FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
      const int e = errno;
      ::close(fd);
      errno = e;
      return false;
    }
    const bool ok = ReadAll(f, FText);
    std::fclose(f);
    return ok;
  }

  std::string_view Text() const { return FText; }

private:
  std::string FText;
};

// Where this run's text starts in standard output when that is a regular
// file written at its end, which can be cut back to it; -1 for anything else
// (a file written in its middle would lose what follows).
off_t RegularOutputStart() {
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  if (flags < 0) return -1;
  if (flags & O_APPEND) return st.st_size;
  return lseek(STDOUT_FILENO, 0, SEEK_CUR) == st.st_size ? st.st_size : -1;
}

// Large XML goes to a regular file in pieces as it is written, not kept whole
// first; when the conversion fails, the file is cut back to where this run
// began, so that a failure leaves nothing there, as it prints nothing
// elsewhere.
constexpr size_t kPiece = 256 << 10;

int ToXmlInPieces(bool data, std::string_view input, off_t start) {
  try {
    TranslateToXmlPieces(
        data, input, [](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); }, kPiece);
    return 0;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    if (ftruncate(STDOUT_FILENO, start) != 0 || lseek(STDOUT_FILENO, start, SEEK_SET) < 0)
      std::cerr << "quillon-translate: cannot take back the output written: " << std::strerror(errno) << "\n";
    std::cerr << DescribeError(e) << "\n";
    return 1;
  }
}

// A key as hex digits, checked without ever repeating it: a mistyped key is
// still most of a key.
std::string KeyBytes(const char* option, const std::string& hex) {
  std::string key = client::SecretBytesOfHex(option, hex);
  if (key.size() != 16 && key.size() != 32)
    RaiseGeneral(Format("%s: %zu bytes, expected 16 or 32 (32 or 64 hex digits)", option, key.size()));
  return key;
}

int Frames(const std::string& file, const std::string& keysFile, const std::string& ek, const std::string& ak) {
  TFrameKeys keys;
  try {
    if (!ek.empty()) keys.EK = KeyBytes("--ek", ek);
    if (!ak.empty()) keys.AK = KeyBytes("--ak", ak);
    if (!ak.empty() && ek.empty()) RaiseGeneral("--ak: give --ek too");
    if (!keysFile.empty()) keys.Meters = client::MetersOfIni(client::TIniData::Load(keysFile));
  } catch (const std::exception& e) {
    return Usage(e.what());
  }
  TInput input;
  if (!input.Open(file)) {
    std::cerr << "quillon-translate: cannot read " << file << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  try {
    const TFrameReport r = TranslateFrames(input.Text(), keys);
    std::fwrite(r.Out.data(), 1, r.Out.size(), stdout);
    for (const auto& e : r.Errors) std::cerr << "quillon-translate: " << e << "\n";
    return r.Errors.empty() && r.Messages > 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "quillon-translate: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  TTranslateMode mode = TTranslateMode::tmNone;
  bool data = false, frame = false;
  std::string file, keysFile, ek, ak;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    TTranslateMode m = TTranslateMode::tmNone;
    if (a == "--keys" || a == "--ek" || a == "--ak") {
      if (i + 1 >= argc) return Usage(a + " needs a value");
      (a == "--keys" ? keysFile : a == "--ek" ? ek : ak) = argv[++i];
      continue;
    }
    if (a == "--frame") {
      frame = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return 0;
    } else if (a == "--version") {
      std::cout << "quillon-translate " QUILLON_VERSION "\n";
      return 0;
    } else if (a == "--to-xml") {
      m = TTranslateMode::tmToXml;
    } else if (a == "--to-hex") {
      m = TTranslateMode::tmToHex;
    } else if (a == "--clean") {
      m = TTranslateMode::tmClean;
    } else if (a == "--demo") {
      m = TTranslateMode::tmDemo;
    } else if (a == "--data") {
      data = true;
      continue;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else {
      if (!file.empty()) return Usage("only one input file may be given");
      file = a;
      continue;
    }
    if (mode != TTranslateMode::tmNone && mode != m) return Usage("give only one of --to-xml, --to-hex, --clean, --demo");
    mode = m;
  }
  if (frame) {
    if (mode != TTranslateMode::tmNone || data) return Usage("--frame takes no other mode and no --data");
    return Frames(file, keysFile, ek, ak);
  }
  if (!keysFile.empty() || !ek.empty() || !ak.empty()) return Usage("--keys, --ek and --ak belong to --frame");
  if (mode == TTranslateMode::tmNone) return Usage("no mode given");
  if (mode == TTranslateMode::tmDemo) {
    if (data || !file.empty()) return Usage("--demo takes no input");
    std::cout << DemoText();
    return 0;
  }

  TInput input;
  if (!input.Open(file)) {
    std::cerr << "quillon-translate: cannot read " << file << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  if (mode == TTranslateMode::tmToXml) {
    const off_t start = RegularOutputStart();
    if (start >= 0) return ToXmlInPieces(data, input.Text(), start);
  }
  try {
    const std::string out = Translate(mode, data, input.Text());
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << DescribeError(e) << "\n";
    return 1;
  }
}
