// HDLC frame coding speed, and an APDU through the whole HDLC stack over a
// pseudo-terminal to a meter that echoes it back.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>

#include <thread>

#include "comm/MidLayers.h"

namespace quillon {
namespace {

TFrame InformationFrame(size_t n) {
  TFrame f;
  f.SetKind(fkI);
  f.DstAddress = {1, 0, 1};
  f.SrcAddress = {16, 0, 1};
  f.PollFinal = true;
  f.FData.assign(n, '\x5A');
  return f;
}

void BM_FrameEncode(benchmark::State& state) {
  TFrame f = InformationFrame(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(f.GetPDUByteStr());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FrameEncode)->Arg(128)->Arg(2030);

void BM_FrameDecode(benchmark::State& state) {
  const PduStr bytes = InformationFrame(static_cast<size_t>(state.range(0))).GetPDUByteStr();
  TFrame f;
  for (auto _ : state) {
    f.SetFromPduByteStr(bytes);
    benchmark::DoNotOptimize(f.FData.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FrameDecode)->Arg(128)->Arg(2030);

// The far end: grants `info` bytes per frame, collects each request and
// sends it back, segmented, as the answer.
void EchoingMeter(int fd, int info) {
  TFdByteReader reader;
  auto readFrame = [&](TFrame& f) {
    PduStr raw;
    uint8_t b;
    int err = 0;
    while (reader.ReadByte(fd, b, 5000, err) == TFdByteReader::rByte) {
      raw += static_cast<char>(b);
      if (TProtocolLayerHDLC::IsHDLCPdu(raw)) break;
    }
    if (raw.empty()) return false;
    f.SetFromPduByteStr(raw);
    return true;
  };
  auto frame = [](TFrameKind kind, int nr, int ns, const PduStr& data, bool seg) {
    TFrame f;
    f.SetKind(kind);
    f.SrcAddress = {1, 0, 1};
    f.DstAddress = {16, 0, 1};
    f.PollFinal = true;
    f.RSequenceNr = static_cast<uint8_t>(nr & 7);
    f.SSequenceNr = static_cast<uint8_t>(ns & 7);
    f.Segmented = seg;
    f.FData = data;
    return f.GetPDUByteStr();
  };
  PduStr request, answer;
  size_t sent = 0;
  int vs = 0, vr = 0;
  TFrame f;
  while (readFrame(f)) {
    if (f.Kind() == fkSNRM) {
      PduStr v{'\x02', static_cast<char>(info >> 8), static_cast<char>(info & 0xFF)};
      PduStr params = "\x05" + v + "\x06" + v;
      vs = vr = 0;
      WriteAll(fd, frame(fkUA, 0, 0, PduStr("\x81\x80", 2) + static_cast<char>(params.size()) + params, false));
    } else if (f.Kind() == fkDISC) {
      WriteAll(fd, frame(fkUA, 0, 0, "", false));
      return;
    } else if (f.Kind() == fkI) {
      vr = f.SSequenceNr + 1;
      request += f.FData;
      if (f.Segmented) {
        WriteAll(fd, frame(fkRR, vr, 0, "", false));
        continue;
      }
      answer = PduStr("\xE6\xE7\x00", 3) + request.substr(3);
      request.clear();
      sent = 0;
    }
    if (f.Kind() == fkI || f.Kind() == fkRR) {
      if (sent >= answer.size()) continue;
      PduStr part = answer.substr(sent, static_cast<size_t>(info));
      sent += part.size();
      WriteAll(fd, frame(fkI, vr, vs++, part, sent < answer.size()));
    }
  }
}

void BM_HDLCApduOverPty(benchmark::State& state) {
  int info = static_cast<int>(state.range(0));
  int master = -1, slave = -1;
  char name[256];
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("openpty failed");
    return;
  }
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  TUniqueFd masterFd(master), slaveFd(slave);
  std::thread meter(EchoingMeter, master, info);

  TProtocolLayerSerial& serial = LowerLayers().Serial(2);
  serial.SetDevicePath(name);
  serial.SetBaud(115200);
  serial.ShowTraffic = false;
  serial.ResponseTimeout = 2000;
  TProtocolLayerHDLC& hdlc = HDLCLayers().HDLC(1);
  hdlc.SetSupportingLayer("Serial[2]");
  hdlc.InactivityTimeout = 0;
  hdlc.InformationFieldLength = static_cast<uint32_t>(info);
  hdlc.Connect();

  PduStr apdu(64 * 1024, '\0');
  for (size_t i = 0; i < apdu.size(); ++i) apdu[i] = static_cast<char>(i * 7);
  for (auto _ : state) {
    PduStr back = hdlc.SendRec(apdu);
    if (back != apdu) {
      state.SkipWithError("echo differs");
      break;
    }
  }
  hdlc.Disconnect();
  meter.join();
  serial.SetDevicePath("");
  hdlc.SetSupportingLayer("Serial[1]");
  hdlc.InformationFieldLength = 128;
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(apdu.size()) * 2);
}
BENCHMARK(BM_HDLCApduOverPty)->Arg(128)->Arg(2030)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quillon
