#include "transport/network/FrameCodec.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/LittleEndian.h"
#include "common/Log.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr const char* kBuildMsg = "HostCommViaNetwork::BuildMsg";

using kestal::LoadU32;
using kestal::StoreU32;

bool IsUnchecked(uint32_t msg_type) { return msg_type == 2 || msg_type == 3; }

// "<label> %04X: " followed by the 16 bytes at `offset`, each "%02X" or "--" when the caller
// did not vouch for it.
std::string DumpLine(const char* label, uint32_t offset, const uint8_t* data, uint32_t readable) {
  char text[128];
  int n = std::snprintf(text, sizeof text, "%s %04X:", label, offset);
  for (uint32_t i = 0; i < 16; ++i) {
    uint64_t at = static_cast<uint64_t>(offset) + i;
    if (at < readable)
      n += std::snprintf(text + n, sizeof text - n, " %02X", data[at]);
    else
      n += std::snprintf(text + n, sizeof text - n, " --");
  }
  return std::string(text, static_cast<std::size_t>(n));
}

void LogCrcError(const uint8_t* data, uint32_t available, uint32_t readable, uint32_t length,
                 uint32_t expected, uint32_t received) {
  KLOG_DEBUG_AS(kBuildMsg, "Build message, CRC error:%x,%x", expected, received);
  KLOG_DEBUG_AS(kBuildMsg, "Build message, to_content_len:%d, msg_len:%d, else:%d",
                static_cast<int>(length + 12), static_cast<int>(available),
                static_cast<int>(available - (length + 12)));
  for (uint32_t offset : {0u, 16u, 32u})
    KLOG_DEBUG_AS(kBuildMsg, "%s", DumpLine("HEADER", offset, data, readable).c_str());
  for (uint32_t offset : {length, length + 16})
    KLOG_DEBUG_AS(kBuildMsg, "%s", DumpLine("TAIL", offset, data, readable).c_str());
  // Image payloads carry a 15-bit counter (big-endian, bytes 2-3 of each word); show where it
  // first fails to advance, which tells a lost chunk from a corrupted byte.
  for (uint32_t o = 12; o < length + 4; o += 4) {
    uint32_t prev = data[o + 2] * 256u + data[o + 3];
    uint32_t next = data[o + 6] * 256u + data[o + 7];
    if (((prev + 1) & 0x7FFF) != next) {
      KLOG_DEBUG_AS(kBuildMsg, "%s", DumpLine("AT", o, data, readable).c_str());
      KLOG_DEBUG_AS(kBuildMsg, "AT prev:%04X, next:%04X", prev, next);
      break;
    }
  }
}

}  // namespace

int32_t FrameCodec::Encode(uint16_t msg_type, const uint8_t* payload, uint32_t length, uint8_t* out,
                           uint32_t capacity) {
  if (length > kMaxPayloadLength || length + kFrameOverhead > capacity) return -1;
  StoreU32(out, kFrameStartTag);
  StoreU32(out + 4, length);
  StoreU32(out + 8, msg_type);
  if (length > 0) std::memcpy(out + kHeaderLength, payload, length);
  uint32_t crc = IsUnchecked(msg_type) ? 0 : CalcCrc(out + 4, length + 8);
  StoreU32(out + kHeaderLength + length, crc);
  return static_cast<int32_t>(length + kFrameOverhead);
}

int32_t FrameCodec::Verdict(const uint8_t* data, uint32_t available) {
  if (available < kHeaderLength) return 0;
  if (LoadU32(data) != kFrameStartTag) return kBadTag;
  const uint32_t length = LoadU32(data + 4);
  if (length > kMaxPayloadLength) return kTooLarge;
  if (length + kFrameOverhead > available) return 0;
  const uint32_t msg_type = LoadU32(data + 8);
  const uint32_t expected = IsUnchecked(msg_type) ? 0 : CalcCrc(data + 4, length + 8);
  if (expected == LoadU32(data + kHeaderLength + length) || msg_type == 3)
    return static_cast<int32_t>(length + kFrameOverhead);
  return kBadChecksum;
}

int32_t FrameCodec::Check(const uint8_t* data, uint32_t available, uint32_t readable) {
  const int32_t verdict = Verdict(data, available);
  if (verdict >= 0 || !kestal::Log::Enabled(kestal::LogLevel::Debug)) return verdict;
  if (readable < available) readable = available;
  const uint32_t length = LoadU32(data + 4);
  if (verdict == kBadTag) {
    KLOG_DEBUG_AS(kBuildMsg, "Build message, start tag invalid:%x", LoadU32(data));
  } else if (verdict == kTooLarge) {
    KLOG_DEBUG_AS(kBuildMsg, "Build message, payload_length is too large:%d",
                  static_cast<int>(length));
  } else {
    const uint32_t msg_type = LoadU32(data + 8);
    const uint32_t expected = IsUnchecked(msg_type) ? 0 : CalcCrc(data + 4, length + 8);
    LogCrcError(data, available, readable, length, expected,
                LoadU32(data + kHeaderLength + length));
  }
  return verdict;
}

bool FrameCodec::IsFrameAt(const uint8_t* data, uint32_t available) {
  if (available < kFrameOverhead || LoadU32(data) != kFrameStartTag) return false;
  const uint32_t length = LoadU32(data + 4), msg_type = LoadU32(data + 8);
  if (length > kMaxPayloadLength || length + kFrameOverhead > available) return false;
  const uint32_t expected = IsUnchecked(msg_type) ? 0 : CalcCrc(data + 4, length + 8);
  return msg_type == 3 || expected == LoadU32(data + kHeaderLength + length);
}
