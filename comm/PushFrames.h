// Readers that split the byte stream of a one-way line into the messages a
// meter pushes on it: HDLC frames, wired M-Bus long frames, or whichever of
// the two the line turns out to carry. A meter's customer port, a
// serial-to-TCP bridge in front of one, or a meter pushing over TCP: nobody
// answers, so nothing is asked again; a bad frame costs its message and
// nothing after it.
//
// Every reader holds at most one frame and one message (an APDU of at most
// 65535 bytes) at a time; bytes that belong to no frame are counted, never
// kept.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "comm/ProtocolLayer.h"

namespace quillon {

class TPushFramer {
public:
  using TSink = std::function<void(const std::string&)>;
  virtual ~TPushFramer() = default;
  // Takes the next bytes of the stream; each whole message goes to
  // onMessage, each frame or message dropped (and each run of bytes outside
  // a frame) to onError as one line.
  virtual void Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) = 0;
  // Bytes of a frame not yet complete, of a message not yet ended, and
  // outside a frame not yet reported (a run of them is reported once, when
  // the next frame begins).
  virtual size_t Held() const = 0;
  // Of those, the bytes kept in memory (skipped bytes are only counted).
  virtual size_t Buffered() const = 0;
  // Lines that tell, not complain (the framing a stream turned out to have).
  TSink OnNotice;

protected:
  // The reader that finds the framing hands the count on to the one it picks.
  friend class TAutoPushReader;
  // Bytes outside a frame: counted as they go, told in one line when the
  // next frame begins.
  void Skip(size_t n) { FSkipped += n; }
  void ReportSkipped(const TSink& onError);
  size_t FSkipped = 0;
};

// HDLC frames (as meters push them on a customer port or over TCP): the
// information fields of UI frames (and of I frames, which some meters push
// on a link they think is up), segments joined, the LLC header taken off. A
// malformed frame is reported and skipped, and the frames after it are still
// read; so are bytes between frames.
class THdlcPushReader : public TPushFramer {
public:
  void Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) override;
  size_t Held() const override;
  size_t Buffered() const override { return FBuffer.size() + FSegments.size(); }

private:
  std::string FBuffer, FSegments;
  bool FDropping = false;  // segments of a message too long to keep
};

// Wired M-Bus long frames `68 L L 68 C A CI <data> CS 16` carrying DLMS: a
// CI of 00..1F is a segment of an APDU (bit 10 set on the last one, the low
// four bits counting the segments from 0, wrapping at 16), its data the two
// transport bytes (source and destination SAP) and the segment's bytes.
// Segments are joined in order; a message is given only whole: a bad frame,
// a segment out of order or a message over 65535 bytes drops it, with a
// line. Single-character acknowledgements (E5) and short frames are ignored;
// frames of other CIs are reported and ignored.
class TMBusPushReader : public TPushFramer {
public:
  void Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) override;
  size_t Held() const override { return FBuffer.size() + FSegments.size() + FSkipped; }
  size_t Buffered() const override { return FBuffer.size() + FSegments.size(); }

private:
  void Segment(uint8_t ci, std::string_view bytes, const TSink& onMessage, const TSink& onError);
  // The rest of the message of this segment is dropped as it comes.
  void Lose(unsigned sequence, bool last);
  void DropMessage() {
    FSegments.clear();
    FInMessage = false;
  }
  std::string FBuffer, FSegments;
  bool FInMessage = false;  // FSegments holds the segments of a message so far
  uint8_t FNext = 0;        // the sequence number of the next segment of the message joined or dropped
  bool FDropping = false;   // the rest of a message already dropped is ignored
};

// General-glo-ciphering APDUs one after the other with no frame around
// them, as some meters' P1 ports send (DB 08, the system title, the length
// of the content, the content): each APDU whole as a message. Bytes that
// begin none are skipped; an APDU is at most 65535 bytes of content.
class TGloApduPushReader : public TPushFramer {
public:
  void Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) override;
  size_t Held() const override { return FBuffer.size() + FSkipped; }
  size_t Buffered() const override { return FBuffer.size(); }

private:
  std::string FBuffer;
};

// Decides from the bytes whether the stream carries HDLC frames, M-Bus frames
// or ciphered APDUs without frames (at the first whole one, judged by its
// start, its length and the byte that closes it or, for an APDU, its
// security control byte), says so once through OnNotice, and from then on reads it
// as such, from the stream's first byte. Until then it keeps what came, up
// to 64 KiB.
class TAutoPushReader : public TPushFramer {
public:
  void Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) override;
  size_t Held() const override { return FFound ? FFound->Held() : FBuffer.size() + FSkipped; }
  size_t Buffered() const override { return FFound ? FFound->Buffered() : FBuffer.size(); }

private:
  std::string FBuffer;
  std::unique_ptr<TPushFramer> FFound;
  size_t FScanFrom = 0;  // the bytes before are known to begin no frame
  // Bytes let go before the framing was known: flags and acknowledgements
  // apart, as one framing counts them as skipped and the other does not.
  size_t FFlags = 0, FAcks = 0;
};

// "hdlc", "mbus", "apdu" or "auto"; nullptr for another name.
std::unique_ptr<TPushFramer> MakePushFramer(std::string_view framing);

// `apdu` as a meter's customer port sends it over M-Bus: long frames with
// control `c`, address `a`, the transport bytes `stsap` and `dtsap`, at most
// `maxSegment` (1..250) bytes of the APDU each. Fails on a segment size out
// of range.
std::vector<PduStr> MBusLongFrames(const PduStr& apdu, size_t maxSegment = 250, uint8_t c = 0x53, uint8_t a = 0xFF,
                                   uint8_t stsap = 0x01, uint8_t dtsap = 0x67);

}  // namespace quillon
