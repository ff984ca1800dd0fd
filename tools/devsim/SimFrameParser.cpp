#include "SimFrameParser.h"

#include <cstring>

#include "common/LittleEndian.h"
#include "transport/network/FrameCodec.h"

SimFrameParser::SimFrameParser(FrameFn on_frame)
    : m_on_frame(std::move(on_frame)), m_cache(kCapacity) {}

void SimFrameParser::Append(const uint8_t* data, uint32_t len) {
  if (len == 0) return;
  if (len > kCapacity) {  // cannot happen with socket-sized chunks; keep the newest bytes
    data += len - kCapacity;
    len = kCapacity;
  }
  if (m_len + len > kCapacity) {
    ++m_overflows;
    m_len = 0;
  }
  std::memcpy(m_cache.data() + m_len, data, len);
  m_len += len;

  const uint8_t* cache = m_cache.data();
  const uint32_t n = m_len;
  uint32_t pos = 0;
  while (n - pos >= 4) {
    if (kestal::LoadU32(cache + pos) != FrameCodec::kFrameStartTag) {
      ++pos;
      ++m_skipped_bytes;
      continue;
    }
    const uint32_t avail = n - pos;
    if (avail < FrameCodec::kHeaderLength) break;
    const uint32_t length = kestal::LoadU32(cache + pos + 4);
    if (length > FrameCodec::kMaxPayloadLength) {
      ++m_oversize_errors;
      m_len = 0;
      return;
    }
    if (length + FrameCodec::kFrameOverhead > avail) break;
    const uint32_t type = kestal::LoadU32(cache + pos + 8);
    const uint32_t expected =
        (type == 2 || type == 3) ? 0 : FrameCodec::CalcCrc(cache + pos + 4, length + 8);
    const uint32_t received = kestal::LoadU32(cache + pos + FrameCodec::kHeaderLength + length);
    if (expected != received && type != 3) {
      ++m_crc_errors;
      m_len = 0;
      return;
    }
    ++m_frames;
    m_on_frame(type, cache + pos + FrameCodec::kHeaderLength, length);
    pos += length + FrameCodec::kFrameOverhead;
  }
  if (pos > 0) {
    std::memmove(m_cache.data(), m_cache.data() + pos, n - pos);
    m_len = n - pos;
  }
}
