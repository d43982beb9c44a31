#include "comm/Serial.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quillon {

namespace {

const int kAllowedBauds[] = {110,   300,   600,   1200,  2400,   4800,   9600,
                             14400, 19200, 38400, 57600, 115200, 128000, 256000};

speed_t StandardSpeed(int baud) {
  switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;  // 14400, 128000, 256000: no termios constant
  }
}

// The settings written out in the layout of the classic device-control
// block, so that a refused setting can be compared field by field.
std::string DescribeSettings(const termios& t, int baud) {
  int byteSize = (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
  int parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
  int stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
  return Format(
      "DCBlength=%d, BaudRate=%d, Flags=%s, wReserved=%d, XOnLim=%d, XOffLim=%d ByteSize=%d, Parity=%d, "
      "StopBits=%d, XOnChar=%d, XOffChar=%d, ErrorChar=%d, EOFChar=%d, EvtChar=%d, wReserve1=%d",
      static_cast<int>(sizeof(termios)), baud, TMisc::IntToHex(t.c_cflag, 8).c_str(), 0, 0, 0, byteSize,
      parity, stopBits, t.c_cc[VSTART], t.c_cc[VSTOP], 0, t.c_cc[VEOF], 0, 0);
}

const int kModeEBauds[] = {300, 600, 1200, 2400, 4800, 9600, 19200};

}  // namespace

PduStr AddEvenParity(const PduStr& s) {
  PduStr r = s;
  for (char& c : r) {
    uint8_t b = static_cast<uint8_t>(c) & 0x7F;
    if (__builtin_popcount(b) & 1) b |= 0x80;
    c = static_cast<char>(b);
  }
  return r;
}

bool IsSerialBaud(int baud) {
  return std::find(std::begin(kAllowedBauds), std::end(kAllowedBauds), baud) != std::end(kAllowedBauds);
}

std::string SerialBaudsText() {
  std::string text;
  for (const int b : kAllowedBauds) text += (text.empty() ? "" : ", ") + std::to_string(b);
  return text;
}

void SetRawLine(int fd, int baud, int dataBits, bool even) {
  termios current{};
  ::tcgetattr(fd, &current);

  // Raw binary line: no echo, no line editing, no character translation, no
  // flow control, no parity checking of received bytes.
  termios t = current;
  ::cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | PARMRK);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | HUPCL | (dataBits == 7 ? CS7 : CS8);
  if (even) t.c_cflag |= PARENB;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  speed_t speed = StandardSpeed(baud);
  if (speed != B0) ::cfsetspeed(&t, speed);

  bool ok = ::tcsetattr(fd, TCSANOW, &t) == 0;
  int err = errno;
  if (ok && speed == B0) {
    ok = SetCustomBaud(fd, baud);
    err = errno;
  }
  if (!ok) {
    int currentBaud = 0;
    speed_t cs = ::cfgetospeed(&current);
    for (int b : kAllowedBauds)
      if (StandardSpeed(b) == cs && cs != B0) currentBaud = b;
    throw EProtocolLayerSerial("SetCommState: " + SystemErrorText(err) + " ReadDCB={" +
                               DescribeSettings(current, currentBaud) + "} WrittenDCB={" +
                               DescribeSettings(t, baud) + "}");
  }
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIS, &lines);  // not every device has control lines
}

TProtocolLayerSerial::TProtocolLayerSerial() { TrafficOptions = kByteLayerTrafficOptions; }

TProtocolLayerSerial::~TProtocolLayerSerial() {
  if (hCOM.Valid()) ::ioctl(hCOM.Get(), TIOCNXCL);
}

std::string TProtocolLayerSerial::DeviceNameOfCOM(int32_t n) {
  if (n >= 100 && n <= 199) return Format("/dev/ttyUSB%d", n - 100);
  if (n >= 200 && n <= 299) return Format("/dev/ttyACM%d", n - 200);
  return Format("/dev/ttyS%d", n - 1);
}

std::vector<std::string> TProtocolLayerSerial::PresentDevices(const std::string& dev) {
  std::vector<std::string> devices;
  // Stable names of USB adapters first: they survive replugging.
  for (const char* pattern : {"/serial/by-id/*", "/ttyUSB*", "/ttyACM*", "/ttyS*"}) {
    glob_t g{};
    if (glob((dev + pattern).c_str(), 0, nullptr, &g) == 0)
      for (size_t i = 0; i < g.gl_pathc; ++i) devices.emplace_back(g.gl_pathv[i]);
    globfree(&g);
  }
  return devices;
}

std::string TProtocolLayerSerial::DeviceName() const {
  return FDevicePath.empty() ? DeviceNameOfCOM(FCOMNr) : FDevicePath;
}

void TProtocolLayerSerial::SetCOMNr(int32_t v) {
  if (hCOM.Valid() && v != FCOMNr) throw EProtocolLayerSerial("COM is opened, cannot change COMNr");
  FCOMNr = v;
}

void TProtocolLayerSerial::SetDevicePath(const std::string& v) {
  if (hCOM.Valid() && v != FDevicePath) throw EProtocolLayerSerial("COM is opened, cannot change COMNr");
  FDevicePath = v;
}

void TProtocolLayerSerial::SetBaud(int32_t v) {
  if (v == FBaud) return;
  int32_t old = FBaud;
  FBaud = v;
  if (!hCOM.Valid()) return;
  try {
    ApplySettings();
  } catch (...) {
    FBaud = old;  // the port keeps its previous settings, and so does the layer
    throw;
  }
}

void TProtocolLayerSerial::SetFormat(const std::string& v) {
  if (v == FFormat) return;
  std::string old = FFormat;
  FFormat = v;
  if (!hCOM.Valid()) return;
  try {
    ApplySettings();
  } catch (...) {
    FFormat = old;
    throw;
  }
}

bool TProtocolLayerSerial::DCD() const {
  int bits = 0;
  if (!hCOM.Valid() || ::ioctl(hCOM.Get(), TIOCMGET, &bits) != 0) return false;
  return (bits & TIOCM_CAR) != 0;
}

void TProtocolLayerSerial::Open() {
  std::string device = DeviceName();
  TUniqueFd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.Valid() && ::ioctl(fd.Get(), TIOCEXCL) != 0) fd.Reset();
  if (!fd.Valid()) {
    int err = errno;
    std::string port = FDevicePath.empty() ? Format("%d", FCOMNr) : FDevicePath;
    throw EProtocolLayerSerial("Cannot open port " + port + " (" + SystemErrorText(err) + ")");
  }
  hCOM = std::move(fd);
  FReader.Drop();
  FErrorCountsAtOpen = {};
  serial_icounter_struct ic{};
  if (::ioctl(hCOM.Get(), TIOCGICOUNT, &ic) == 0)
    FErrorCountsAtOpen = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
  if (ShowTraffic) EmitTraffic("Opened", toInfo);
}

void TProtocolLayerSerial::ApplySettings() {
  int dataBits;
  bool even;
  if (FFormat == "8N1") {
    dataBits = 8;
    even = false;
  } else if (FFormat == "8E1") {
    dataBits = 8;
    even = true;
  } else if (FFormat == "7E1") {
    dataBits = 7;
    even = true;
  } else {
    throw EProtocolLayerSerial(Format("\"%s\" is not a valid format", FFormat.c_str()));
  }
  if (!IsSerialBaud(FBaud)) throw EProtocolLayerSerial(Format("%d is not a valid baud", FBaud));
  SetRawLine(hCOM.Get(), FBaud, dataBits, even);
}

void TProtocolLayerSerial::RaisePortError(int code, int err) {
  std::string msg = Format("(%d) ", code);
  serial_icounter_struct ic{};
  if (hCOM.Valid() && ::ioctl(hCOM.Get(), TIOCGICOUNT, &ic) == 0) {
    const TLineErrorCounts& c = FErrorCountsAtOpen;
    if (ic.buf_overrun > c.BufOverrun) msg += "Receive Queue overflow\r\n";
    if (ic.overrun > c.Overrun) msg += "Receive Overrun Error\r\n";
    if (ic.parity > c.Parity) msg += "Receive Parity Error\r\n";
    if (ic.frame > c.Frame) msg += "Receive Framing error\r\n";
    if (ic.brk > c.Brk) msg += "Break Detected\r\n";
  }
  // The line-error flags rarely explain a failed call on Linux; the system's
  // own text does.
  msg += SystemErrorText(err);
  // An unplugged adapter or a hung-up line never works again through this
  // descriptor: close it, so that the next Connect opens the device afresh
  // instead of failing on the dead one for ever.
  if (err == EIO || err == ENXIO || err == ENODEV || err == EBADF) Disconnect();
  throw EProtocolLayerSerial(msg);
}

void TProtocolLayerSerial::Connect() {
  if (hCOM.Valid()) return;
  Open();
  SleepMs(10);
  ApplySettings();
  if (NeedsWakeUp) DoWakeUp();
  if (NeedsMode_E) DoModeEOpening();
}

void TProtocolLayerSerial::Disconnect() {
  if (!hCOM.Valid()) return;
  // Drop exclusivity first: it belongs to the device, not to our descriptor.
  ::ioctl(hCOM.Get(), TIOCNXCL);
  hCOM.Reset();
  FReader.Drop();
  if (ShowTraffic) EmitTraffic("Closed", toInfo);
}

bool TProtocolLayerSerial::ReadByte(uint8_t& b, int timeoutMs) {
  int err = 0;
  TFdByteReader::TResult r = FReader.ReadByte(hCOM.Get(), b, timeoutMs, err);
  if (r == TFdByteReader::rByte) return true;
  if (r == TFdByteReader::rTimeout) return false;
  // The device went away (unplugged adapter, closed pseudo-terminal).
  RaisePortError(4, r == TFdByteReader::rClosed ? EIO : err);
}

void TProtocolLayerSerial::RawWrite(const PduStr& s) {
  FReader.Drop();
  if (::tcflush(hCOM.Get(), TCIFLUSH) != 0) RaisePortError(2, errno);
  int err = WriteAll(hCOM.Get(), s);
  if (err != 0) RaisePortError(3, err);
  if (!Echoing) return;

  // Swallow the echo of a two-wire line: one and a half times the time the
  // bytes need on the line at ten bits per character.
  Flush();
  int64_t n = static_cast<int64_t>(s.size());
  int64_t allowed = (n * 10000 / FBaud) * 15 / 10;
  int64_t firstRead = 0;
  for (int64_t i = 0; i < n; ++i) {
    uint8_t b;
    ReadByte(b, i == 0 ? 350 : 100);
    if (i == 0) firstRead = QueryPerformanceCounter();
    if (PerformanceCounterDiffMs(firstRead, QueryPerformanceCounter()) >= allowed) break;
  }
}

void TProtocolLayerSerial::Send(const PduStr& s) {
  int64_t called = QueryPerformanceCounter();
  if (!hCOM.Valid()) throw EProtocolLayerSerial(Format("\"%s\" is not connected", Name.c_str()));
  if (DelayBeforeSend > 0) WaitUntilElapsed(called, DelayBeforeSend);
  if (ShowTraffic) EmitTraffic(s, toOutgoing);
  if (s.empty()) return;
  RawWrite(s);
  LastSendCounter = QueryPerformanceCounter();
}

PduStr TProtocolLayerSerial::Rec() {
  if (!hCOM.Valid()) throw EProtocolLayerSerial(Format("\"%s\" is not connected", Name.c_str()));
  PduStr result;
  uint8_t b;
  const TFrameDeadline deadline(ResponseTimeout, FBaud);
  for (;;) {
    // Without a frame check nothing tells a frame whole: what came before a
    // silence of the response timeout is the answer, as ever.
    const bool framed = static_cast<bool>(CheckFrameCompleteCallBack);
    const int left = framed ? std::min(deadline.LeftMs(result.size()), ResponseTimeout) : ResponseTimeout;
    if (!(left > 0 || result.empty()) || !ReadByte(b, left)) {
      // A silence ends the frame; only the frame's time running out while
      // bytes still come is the failure of a trickling line.
      if (result.empty() || !framed || left >= ResponseTimeout) break;
      // The rest of a frame that came too slowly is not taken for the next.
      FReader.Drop();
      if (ShowTraffic) EmitTraffic(result, toIncoming);
      deadline.RaiseIncomplete(result.size());
    }
    result += static_cast<char>(b);
    if (CheckFrameCompleteCallBack && CheckFrameCompleteCallBack(*this, result)) break;
    if (result.size() >= MaxAnswerLength) break;
  }
  if (!result.empty() && ShowTraffic) EmitTraffic(result, toIncoming);
  return result;
}

PduStr TProtocolLayerSerial::SendRec(const PduStr& s) {
  Send(s);
  return Rec();
}

void TProtocolLayerSerial::ClearInputBuffer() {
  FReader.Drop();
  if (hCOM.Valid()) ::tcflush(hCOM.Get(), TCIFLUSH);
}

void TProtocolLayerSerial::Purge() {
  FReader.Drop();
  if (hCOM.Valid()) ::tcflush(hCOM.Get(), TCIOFLUSH);
}

void TProtocolLayerSerial::Flush() {
  if (hCOM.Valid()) ::tcdrain(hCOM.Get());
}

void TProtocolLayerSerial::RestoreLine(const std::string& format, int32_t baud) {
  FFormat = format;
  FBaud = baud;
  try {
    if (hCOM.Valid()) ApplySettings();
  } catch (const EGeneralError&) {
    // The original failure is what the caller needs to see.
  }
}

void TProtocolLayerSerial::DoWakeUp() {
  if (LastOutputToWakeUpDelay > 0) {
    int64_t since = PerformanceCounterDiffMs(LastSendCounter, QueryPerformanceCounter());
    if (since < LastOutputToWakeUpDelay) {
      uint32_t wait = static_cast<uint32_t>(LastOutputToWakeUpDelay - since);
      WriteListing({WaitingText(wait, "LastOutputToWakeUpDelay")});
      WaitInSteps(wait);
    }
  }
  AtThreeHundredBaud([this](int32_t) {
    if (ShowTraffic) EmitTraffic("Begin wakeup", toInfo);
    int64_t start = QueryPerformanceCounter();
    Send(PduStr(82, '\0'));
    WaitUntilElapsed(start, WakeUpDuration);
    if (ShowTraffic) EmitTraffic("End wakeup", toInfo);
  });
}

void TProtocolLayerSerial::AtThreeHundredBaud(const std::function<void(int32_t)>& procedure) {
  Connect();
  std::string oldFormat = FFormat;
  int32_t oldBaud = FBaud;
  Purge();
  try {
    FFormat = "8N1";
    FBaud = 300;
    ApplySettings();
    procedure(oldBaud);
  } catch (...) {
    RestoreLine(oldFormat, oldBaud);
    throw;
  }
}

void TProtocolLayerSerial::DoModeEOpening() {
  // The speed the port had is the ceiling of the working speed.
  AtThreeHundredBaud([this](int32_t oldBaud) {
    PduStr signOn = "/?" + Mode_E_DeviceAddress + "!\r\n";
    if (ShowTraffic) EmitTraffic(signOn, toOutgoing, true);
    RawWrite(AddEvenParity(signOn));

    // The identification line, parity bit removed. IEC 62056-21 keeps it far
    // below the cap, which only stops a line that never ends.
    PduStr ident;
    bool timedOut = false;
    for (;;) {
      uint8_t b;
      if (!ReadByte(b, Mode_E_ResponseTimeout)) {
        timedOut = true;
        break;
      }
      ident += static_cast<char>(b & 0x7F);
      if ((b & 0x7F) == '\n' || ident.size() >= 256) break;
    }
    if (ShowTraffic && !ident.empty()) EmitTraffic(ident, toIncoming, true);
    if (timedOut) throw EProtocolLayerSerial("No response to mode E opening");
    if (ident.size() < 6 || ident[0] != '/' || ident[4] < '0' || ident[4] > '6' ||
        ident.find("\r\n") != ident.size() - 2)
      throw EProtocolLayerSerial("Mode E illegal response");

    int z = ident[4] - '0';
    while (kModeEBauds[z] > oldBaud && z > 0) --z;
    int speed = kModeEBauds[z];

    if (Mode_E_Delay1 > 0) SleepMs(static_cast<uint32_t>(Mode_E_Delay1));
    PduStr ack = PduStr("\x06") + "2" + static_cast<char>('0' + z) + "2\r\n";
    if (ShowTraffic) EmitTraffic(ack, toOutgoing, true);
    RawWrite(AddEvenParity(ack));
    // The acknowledgement must be on the line before the speed changes and
    // the buffers are purged.
    Flush();

    if (Mode_E_Delay2 > 0) SleepMs(static_cast<uint32_t>(Mode_E_Delay2));
    FBaud = speed;
    ApplySettings();
    if (ShowTraffic) EmitTraffic(Format("--- baud changeover %d ---", speed), toIncoming, true);
    if (Mode_E_Delay3 > 0) SleepMs(static_cast<uint32_t>(Mode_E_Delay3));
    Purge();
    SleepMs(20);
  });
}

}  // namespace quillon
