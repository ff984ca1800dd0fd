// The network transport's frame: 12-byte header (start tag FF FF FF FF, payload length,
// message type), the payload, and a 32-bit additive checksum over bytes 4 .. 11+L
// (0 for message types 2 and 3).
#pragma once

#include <cstdint>

#include "common/ByteSum.h"
#include "common/ProtocolCatalogue.h"

class FrameCodec {
 public:
  static constexpr uint32_t kFrameStartTag = 0xFFFFFFFFu;
  static constexpr uint32_t kMaxPayloadLength = kestal::catalogue::kMaxFramePayload;  // 65520
  static constexpr uint32_t kHeaderLength = 12;
  static constexpr uint32_t kFrameOverhead = 16;  // header + checksum
  static constexpr uint32_t kMaxFrameLength = kMaxPayloadLength + kFrameOverhead;

  // The frame's "CRC", which is an additive byte sum (kestal::ByteSum).
  static uint32_t CalcCrc(const uint8_t* data, uint32_t length) {
    return kestal::ByteSum(data, length);
  }

  // Encodes one frame into `out` (capacity bytes). Returns the frame length L + 16, or -1
  // when the payload is longer than 65520 bytes or the frame does not fit.
  static int32_t Encode(uint16_t msg_type, const uint8_t* payload, uint32_t length, uint8_t* out,
                        uint32_t capacity);

  // Verdicts of Check on a candidate that is not a frame.
  static constexpr int32_t kBadTag = -1, kTooLarge = -2, kBadChecksum = -3;

  // Validates the candidate frame at `data` with `available` valid bytes: 0 = incomplete,
  // negative = not a frame (a verdict above; logged), else the frame length. `readable` (>=
  // available) bounds the bytes that the CRC-error dumps may show; bytes past it print as "--".
  static int32_t Check(const uint8_t* data, uint32_t available, uint32_t readable);
  // Check without its lines: the verdict alone.
  static int32_t Verdict(const uint8_t* data, uint32_t available);
  // True when a whole frame that Check accepts starts at `data`; logs nothing.
  static bool IsFrameAt(const uint8_t* data, uint32_t available);
  // The message type in a frame's header.
  static uint16_t MessageType(const uint8_t* frame) {
    return static_cast<uint16_t>(frame[8] | frame[9] << 8);
  }
};
