// TCP framing test helpers: frames built with the library's codec, byte patterns, the frames a
// transport delivered.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "DeliveredMessages.h"
#include "transport/network/FrameCodec.h"

// One frame on the wire: start tag, length, type, payload, checksum.
inline std::vector<uint8_t> Frame(uint16_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(payload.size() + FrameCodec::kFrameOverhead);
  const auto n = static_cast<uint32_t>(payload.size());
  FrameCodec::Encode(type, payload.data(), n, frame.data(), n + FrameCodec::kFrameOverhead);
  return frame;
}

inline std::vector<uint8_t> Payload(size_t n, uint32_t seed) {
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return p;
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Up to `n` frames that `delivered` recorded, oldest first, as they stood on the wire (the codec's
// encoding of their messages), waited for up to `wait_ms`.
inline std::vector<std::vector<uint8_t>> TakeFrames(DeliveredMessages& delivered, size_t n,
                                                    int wait_ms = 0) {
  std::vector<std::vector<uint8_t>> out;
  for (const DeliveredMessages::Message& m : delivered.Take(n, wait_ms))
    out.push_back(Frame(m.type, m.payload));
  return out;
}
