#include "comm/PushFrames.h"

#include <algorithm>

#include "comm/HDLCFrame.h"

namespace quillon {

namespace {

// The largest APDU a message carries.
constexpr size_t kMaxApdu = 65535;

// HDLC: the shortest frame (format, one-byte addresses, control and HCS);
// a message of joined segments is at most an APDU and its LLC header.
constexpr size_t kMinFrameLength = 7;
constexpr size_t kMaxSegmented = kMaxApdu + 3;

// M-Bus: a long frame's length counts C, A and CI at least, and at most
// 255 bytes; start, two lengths, start again, then checksum and stop.
constexpr size_t kMinLongFrameLength = 3;
constexpr size_t kLongFrameOverhead = 6;
constexpr size_t kMaxMBusSegment = 255 - 5;  // C, A, CI and the two transport bytes

// Bytes kept while no frame has shown which framing a stream has: beyond
// them, bytes that cannot begin a frame are let go.
constexpr size_t kMaxUndecided = 65536;

uint8_t At(const std::string& s, size_t i) { return static_cast<uint8_t>(s[i]); }

// The M-Bus checksum: the sum of the bytes modulo 256.
uint8_t MBusSum(std::string_view s) {
  unsigned sum = 0;
  for (const char c : s) sum += static_cast<uint8_t>(c);
  return static_cast<uint8_t>(sum);
}

enum class TStart { None, Waiting, Hdlc, MBus, Apdu };

// A general-glo-ciphering APDU as some ports send it with no frame around
// it: DB, the system title's length 08 and eight bytes, the length of the
// ciphered content (one to three bytes) and the content, whose first byte,
// the security control, asks for encryption or authentication with a suite
// 0..2. Its whole length from `at` in `total`.
TStart GloApduAt(const std::string& s, size_t at, size_t& total) {
  const size_t left = s.size() - at;
  if (left < 2) return TStart::Waiting;
  if (At(s, at + 1) != 0x08) return TStart::None;
  if (left < 11) return TStart::Waiting;
  const uint8_t first = At(s, at + 10);
  size_t header = 11, length = first;
  if (first == 0x81 || first == 0x82) {
    header += first - 0x80u;
    if (left < header) return TStart::Waiting;
    length = first == 0x81 ? At(s, at + 11) : At(s, at + 11) * 256u + At(s, at + 12);
  } else if (first >= 0x80) {
    return TStart::None;
  }
  if (length < 5) return TStart::None;  // security control and counter at least
  if (left < header + 1) return TStart::Waiting;
  const uint8_t sc = At(s, at + header);
  if ((sc & 0xC0) != 0 || (sc & 0x30) == 0 || (sc & 0x0F) > 2) return TStart::None;
  total = header + length;
  return left < total ? TStart::Waiting : TStart::Apdu;
}

// Whether an HDLC frame or an M-Bus long frame starts at `at`, judged by
// its start, its length and the byte that must close it; Waiting while the
// bytes that decide have not all come.
TStart FrameStartAt(const std::string& s, size_t at) {
  const size_t left = s.size() - at;
  if (At(s, at) == 0x7E) {
    if (left < 3) return TStart::Waiting;
    const uint8_t format = At(s, at + 1);
    const size_t length = (format & 7u) * 256u + At(s, at + 2);
    if ((format & 0xF0) != 0xA0 || length < kMinFrameLength) return TStart::None;
    if (left < length + 2) return TStart::Waiting;
    return At(s, at + length + 1) == 0x7E ? TStart::Hdlc : TStart::None;
  }
  if (At(s, at) == 0x68) {
    if (left < 4) return TStart::Waiting;
    const size_t length = At(s, at + 1);
    if (At(s, at + 2) != length || At(s, at + 3) != 0x68 || length < kMinLongFrameLength) return TStart::None;
    if (left < length + kLongFrameOverhead) return TStart::Waiting;
    return At(s, at + length + kLongFrameOverhead - 1) == 0x16 ? TStart::MBus : TStart::None;
  }
  if (At(s, at) == 0xDB) {
    size_t total = 0;
    return GloApduAt(s, at, total);
  }
  return TStart::None;
}

}  // namespace

void TPushFramer::ReportSkipped(const TSink& onError) {
  if (FSkipped) onError(Format("%zu bytes outside a frame skipped", FSkipped));
  FSkipped = 0;
}

// ---------------------------------------------------------------- HDLC

size_t THdlcPushReader::Held() const {
  const bool onlyFlags = FBuffer.find_first_not_of('\x7E') == std::string::npos;
  return FSegments.size() + FSkipped + (onlyFlags ? 0 : FBuffer.size());
}

void THdlcPushReader::Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) {
  FBuffer.append(bytes);
  size_t at = 0;
  for (;;) {
    const size_t flag = FBuffer.find('\x7E', at);
    if (flag == std::string::npos) {
      Skip(FBuffer.size() - at);
      at = FBuffer.size();
      break;
    }
    Skip(flag - at);
    at = flag;
    // Fill flags between frames; the last one opens the frame.
    while (at + 1 < FBuffer.size() && FBuffer[at + 1] == '\x7E') ++at;
    if (FBuffer.size() - at < 3) break;
    const uint8_t format = static_cast<uint8_t>(FBuffer[at + 1]);
    const size_t length = (format & 7u) * 256u + static_cast<uint8_t>(FBuffer[at + 2]);
    // Flags are never counted as skipped bytes.
    if ((format & 0xF0) != 0xA0 || length < kMinFrameLength) {
      // Not the start of a frame: a flag value inside bytes that are none.
      ++at;
      continue;
    }
    if (FBuffer.size() - at < length + 2) break;
    if (FBuffer[at + length + 1] != '\x7E') {
      // No closing flag where the length says: a length garbled or bytes
      // lost; look for the next frame from the byte after this flag.
      ++at;
      continue;
    }
    ReportSkipped(onError);
    TFrame f;
    bool good = true;
    try {
      f.SetFromPduByteStr(FBuffer.substr(at, length + 2));
    } catch (const std::exception& e) {
      onError(Format("HDLC frame dropped (%s)", e.what()));
      good = false;
    }
    // The closing flag may also open the next frame.
    at += length + 1;
    if (!good) continue;
    if (f.Kind() != fkUI && f.Kind() != fkI) {
      onError(Format("HDLC %s frame ignored", FrameKindName(f.Kind())));
      continue;
    }
    if (!FDropping) FSegments += f.FData;
    if (FSegments.size() > kMaxSegmented) {
      onError(Format("segmented message longer than %zu bytes, dropped", kMaxSegmented));
      FSegments.clear();
      FDropping = true;
    }
    if (f.Segmented) continue;
    std::string message = std::move(FSegments);
    FSegments.clear();
    if (FDropping) {
      FDropping = false;
      continue;
    }
    // The LLC header of a meter's message (E6 E7 00), or of a request (E6 E6
    // 00) from meters that use that one. A message without one goes to the
    // decoder as it came; the decoder says whether it is a pushed service.
    if (message.size() >= 3 && message[0] == '\xE6' && (message[1] == '\xE7' || message[1] == '\xE6') && message[2] == '\0')
      message.erase(0, 3);
    onMessage(message);
  }
  FBuffer.erase(0, at);
}

// ---------------------------------------------------------------- M-Bus

void TMBusPushReader::Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) {
  FBuffer.append(bytes);
  size_t at = 0;
  while (at < FBuffer.size()) {
    const uint8_t first = At(FBuffer, at);
    if (first == 0xE5) {
      // A slave's acknowledgement: on a customer port an echo of the bus, no data.
      ++at;
      continue;
    }
    if (first == 0x10) {
      // A short frame (10 C A CS 16): a master's request, no data.
      if (FBuffer.size() - at < 5) break;
      if (At(FBuffer, at + 4) == 0x16 && MBusSum(std::string_view(FBuffer).substr(at + 1, 2)) == At(FBuffer, at + 3)) {
        ReportSkipped(onError);
        at += 5;
      } else {
        Skip(1);
        ++at;
      }
      continue;
    }
    const TStart start = first == 0x68 ? FrameStartAt(FBuffer, at) : TStart::None;
    if (start == TStart::Waiting) break;
    if (start != TStart::MBus) {
      // Not a frame, or a frame whose length or stop byte is garbled: the
      // next frame is looked for from the next byte, so that a good frame
      // after junk is never lost. A segment lost so shows in the sequence.
      Skip(1);
      ++at;
      continue;
    }
    ReportSkipped(onError);
    const size_t length = At(FBuffer, at + 1);
    const std::string_view frame = std::string_view(FBuffer).substr(at + 4, length);  // C, A, CI, data
    const uint8_t sum = At(FBuffer, at + 4 + length);
    at += length + kLongFrameOverhead;
    const uint8_t ci = static_cast<uint8_t>(frame[2]);
    std::string fault;
    if (MBusSum(frame) != sum)
      fault = Format("checksum %02X, expected %02X", sum, MBusSum(frame));
    else if (ci > 0x1F) {
      onError(Format("M-Bus frame with CI %02X ignored (not DLMS)", ci));
      continue;
    } else if (frame.size() < 5)
      fault = Format("CI %02X without the two transport bytes", ci);
    if (fault.empty()) {
      Segment(ci, frame.substr(5), onMessage, onError);
      continue;
    }
    // The frame may have been part of the message being joined, or the first
    // of the next: neither can be given whole now.
    onError(Format("M-Bus frame dropped (%s)%s", fault.c_str(),
                   FInMessage ? Format("; the %zu bytes of the message before it dropped too", FSegments.size()).c_str()
                              : ""));
    DropMessage();
    // Its own segments after it go too, as far as its CI still tells which.
    if (ci <= 0x1F) Lose(ci & 0x0Fu, (ci & 0x10u) != 0);
    else FDropping = false;
  }
  FBuffer.erase(0, at);
}

void TMBusPushReader::Lose(unsigned sequence, bool last) {
  FDropping = !last;
  FNext = static_cast<uint8_t>((sequence + 1) & 0x0Fu);
}

void TMBusPushReader::Segment(uint8_t ci, std::string_view bytes, const TSink& onMessage, const TSink& onError) {
  const unsigned sequence = ci & 0x0Fu;
  const bool last = (ci & 0x10u) != 0;
  if (FDropping) {
    FDropping = false;
    // The rest of a message already dropped goes as its beginning went.
    // Its sequence is followed, so that a segment numbered 0 after the
    // wrap is never taken for the first of a message (which would give its
    // tail as a message); a first segment due just then is lost instead.
    if (sequence == FNext) return Lose(sequence, last);
  }
  if (FInMessage && sequence != FNext) {
    onError(Format("M-Bus segment %u where %u was due; the %zu bytes of the message before it dropped", sequence,
                   static_cast<unsigned>(FNext), FSegments.size()));
    DropMessage();
    // A first segment begins the next message.
    if (sequence != 0) return Lose(sequence, last);
  } else if (!FInMessage && sequence != 0) {
    // Its first segments were lost (or came before we listened).
    onError(Format("M-Bus segment %u without the segments before it, dropped", sequence));
    return Lose(sequence, last);
  }
  FInMessage = true;
  if (FSegments.size() + bytes.size() > kMaxApdu) {
    onError(Format("M-Bus message longer than %zu bytes, dropped", kMaxApdu));
    DropMessage();
    return Lose(sequence, last);
  }
  FSegments.append(bytes);
  FNext = static_cast<uint8_t>((sequence + 1) & 0x0Fu);
  if (!last) return;
  const std::string message = std::move(FSegments);
  DropMessage();
  onMessage(message);
}

std::vector<PduStr> MBusLongFrames(const PduStr& apdu, size_t maxSegment, uint8_t c, uint8_t a, uint8_t stsap,
                                   uint8_t dtsap) {
  if (maxSegment < 1 || maxSegment > kMaxMBusSegment)
    RaiseGeneral(Format("M-Bus segment size %zu: expected 1..%zu", maxSegment, kMaxMBusSegment));
  std::vector<PduStr> frames;
  size_t at = 0;
  unsigned sequence = 0;
  do {
    const size_t n = std::min(maxSegment, apdu.size() - at);
    const bool last = at + n == apdu.size();
    PduStr body{static_cast<char>(c), static_cast<char>(a), static_cast<char>(sequence | (last ? 0x10u : 0u)),
                static_cast<char>(stsap), static_cast<char>(dtsap)};
    body += apdu.substr(at, n);
    const char length = static_cast<char>(body.size());
    frames.push_back(PduStr{'\x68', length, length, '\x68'} + body + static_cast<char>(MBusSum(body)) + '\x16');
    at += n;
    sequence = (sequence + 1) & 0x0Fu;
  } while (at < apdu.size());
  return frames;
}

// ---------------------------------------------------------------- either

void TAutoPushReader::Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) {
  if (FFound) return FFound->Feed(bytes, onMessage, onError);
  FBuffer.append(bytes);
  // The frame that ends first decides (of two ending together, the one
  // that starts first), so that the decision is the same however the
  // stream is cut. Starts known to be none are not looked at again.
  TStart found = TStart::None;
  size_t end = std::string::npos, waiting = FBuffer.size();
  for (size_t at = FScanFrom; at < FBuffer.size(); ++at) {
    const TStart start = FrameStartAt(FBuffer, at);
    if (start == TStart::Waiting) waiting = std::min(waiting, at);
    if (start != TStart::Hdlc && start != TStart::MBus && start != TStart::Apdu) continue;
    size_t apduLength = 0;
    if (start == TStart::Apdu) GloApduAt(FBuffer, at, apduLength);
    const size_t frameEnd = at + (start == TStart::Hdlc   ? (At(FBuffer, at + 1) & 7u) * 256u + At(FBuffer, at + 2) + 2
                                  : start == TStart::MBus ? At(FBuffer, at + 1) + kLongFrameOverhead
                                                          : apduLength);
    if (frameEnd < end) {
      end = frameEnd;
      found = start;
    }
  }
  if (found == TStart::None) {
    FScanFrom = waiting;
    if (FBuffer.size() <= kMaxUndecided) return;
    // A long run of bytes that are no frame: what cannot begin one goes,
    // counted as the reader that is found will count it.
    for (size_t i = 0; i < FScanFrom; ++i) {
      const uint8_t b = At(FBuffer, i);
      if (b == 0x7E) ++FFlags;
      else if (b == 0xE5) ++FAcks;
      else Skip(1);
    }
    FBuffer.erase(0, FScanFrom);
    FScanFrom = 0;
    return;
  }
  if (found == TStart::Hdlc) FFound = std::make_unique<THdlcPushReader>();
  else if (found == TStart::MBus) FFound = std::make_unique<TMBusPushReader>();
  else FFound = std::make_unique<TGloApduPushReader>();
  if (OnNotice)
    OnNotice(found == TStart::Hdlc   ? "HDLC frames found; read as HDLC"
             : found == TStart::MBus ? "M-Bus frames found; read as M-Bus"
                                     : "ciphered APDUs without frames found; read as such");
  // The reader found reads the stream from its start (what was let go of
  // a long run of junk is counted as it would have counted it: HDLC skips
  // no flags, M-Bus no acknowledgements).
  FFound->FSkipped = FSkipped + (found == TStart::Hdlc ? FAcks : FFlags);
  FSkipped = FFlags = FAcks = 0;
  const std::string rest = std::move(FBuffer);
  FBuffer.clear();
  FFound->Feed(rest, onMessage, onError);
}

void TGloApduPushReader::Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) {
  FBuffer.append(bytes);
  size_t at = 0;
  while (at < FBuffer.size()) {
    if (At(FBuffer, at) != 0xDB) {
      Skip(1);
      ++at;
      continue;
    }
    size_t total = 0;
    const TStart start = GloApduAt(FBuffer, at, total);
    if (start == TStart::Waiting) break;
    if (start == TStart::None) {
      Skip(1);
      ++at;
      continue;
    }
    ReportSkipped(onError);
    onMessage(FBuffer.substr(at, total));
    at += total;
  }
  FBuffer.erase(0, at);
}

std::unique_ptr<TPushFramer> MakePushFramer(std::string_view framing) {
  if (framing == "hdlc") return std::make_unique<THdlcPushReader>();
  if (framing == "mbus") return std::make_unique<TMBusPushReader>();
  if (framing == "apdu") return std::make_unique<TGloApduPushReader>();
  if (framing == "auto") return std::make_unique<TAutoPushReader>();
  return nullptr;
}

}  // namespace quillon
