// Byte layer over a local serial port (optical probe, RS-232/RS-485), with
// the IEC 62056-21 wake-up sequence and mode E opening.
//
// Device naming: the port number n (COMNr) maps to a Linux device as
//   1..99    -> /dev/ttyS(n-1)      (on-board and PCI UARTs)
//   100..199 -> /dev/ttyUSB(n-100)  (USB serial adapters, most optical probes)
//   200..299 -> /dev/ttyACM(n-200)  (CDC-ACM devices)
// and any other number to /dev/ttyS(n-1). A non-empty DevicePath (for example
// /dev/serial/by-id/... or a pseudo-terminal) is used as given instead.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "comm/PosixIO.h"
#include "comm/ProtocolLayer.h"

namespace quillon {

class TProtocolLayerSerial : public TProtocolLayerAbstract {
public:
  TProtocolLayerSerial();
  ~TProtocolLayerSerial() override;

  void Connect() override;
  void Disconnect() override;
  PduStr SendRec(const PduStr& s) override;
  bool IsConnected() override { return hCOM.Valid(); }
  void Send(const PduStr& s) override;
  PduStr Rec() override;
  void ClearInputBuffer() override;

  void Purge();
  void Flush();
  void DoWakeUp();
  void DoModeEOpening();

  static std::string DeviceNameOfCOM(int32_t n);
  // Serial devices present on this machine: /dev/serial/by-id/*, then
  // ttyUSB*, ttyACM* and ttyS* (`dev`: the folder in place of /dev).
  static std::vector<std::string> PresentDevices(const std::string& dev = "/dev");
  // The device this layer opens.
  std::string DeviceName() const;

  int32_t COMNr() const { return FCOMNr; }
  void SetCOMNr(int32_t v);
  const std::string& DevicePath() const { return FDevicePath; }
  void SetDevicePath(const std::string& v);
  int32_t Baud() const { return FBaud; }
  void SetBaud(int32_t v);
  const std::string& FormatText() const { return FFormat; }
  void SetFormat(const std::string& v);
  bool DCD() const;

  // Plain settings, used at the next operation that needs them.
  bool Echoing = false;
  bool ShowTraffic = true;
  int32_t ResponseTimeout = 3000;
  int32_t DelayBeforeSend = 0;
  bool NeedsMode_E = false;
  bool NeedsWakeUp = false;
  std::string Mode_E_DeviceAddress;
  int32_t Mode_E_Delay1 = 0;
  int32_t Mode_E_Delay2 = 300;
  int32_t Mode_E_Delay3 = 0;
  int32_t LastOutputToWakeUpDelay = 0;
  // Per-character wait for the mode E identification (IEC 62056-21 allows
  // the meter up to 1.5 s to answer).
  int32_t Mode_E_ResponseTimeout = 2000;
  // Length of the wake-up train measured from its start.
  int32_t WakeUpDuration = 3800;
  // Upper bound of one answer (see the TCP client).
  size_t MaxAnswerLength = 1 << 20;

  int64_t LastSendCounter = 0;

private:
  void Open();
  void ApplySettings();
  void RawWrite(const PduStr& s);
  // Throws the port error; a device that has gone is closed first.
  [[noreturn]] void RaisePortError(int code, int err);
  bool ReadByte(uint8_t& b, int timeoutMs);
  void RestoreLine(const std::string& format, int32_t baud);
  // Opens the port if needed and runs an IEC 62056-21 procedure at 300 baud
  // "8N1" (given the speed before); on failure the previous line settings
  // come back.
  void AtThreeHundredBaud(const std::function<void(int32_t)>& procedure);

  int32_t FCOMNr = 1;
  std::string FDevicePath;
  int32_t FBaud = 9600;
  std::string FFormat = "8N1";
  TUniqueFd hCOM;
  TFdByteReader FReader;
  struct TLineErrorCounts {
    int Frame = 0, Overrun = 0, Parity = 0, Brk = 0, BufOverrun = 0;
  } FErrorCountsAtOpen;
};

// Sets bit 7 of each character so that it has even parity over 7 data bits.
PduStr AddEvenParity(const PduStr& s);

// The speeds a serial line is opened at, and their list as text ("110, 300, ...").
bool IsSerialBaud(int baud);
std::string SerialBaudsText();

// Sets an open serial device to raw binary bytes (no echo, line editing,
// translation or flow control) at `baud` (one of IsSerialBaud's), 7 or 8
// data bits, even parity or none, one stop bit, DTR and RTS raised (optical
// heads and customer-port adapters draw their power from them). Throws
// EProtocolLayerSerial with the settings read and those written when the
// device refuses them.
void SetRawLine(int fd, int baud, int dataBits, bool evenParity);

// Linux speeds that termios has no constant for go through termios2.
bool SetCustomBaud(int fd, int baud);

}  // namespace quillon
