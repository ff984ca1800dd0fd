// Cuts the host's byte stream into frames the way the host library cuts the device's: frames
// are found by their start tag, bytes before a tag are skipped, a payload length above 65520
// or a checksum mismatch (types 2 and 3 carry none; type 3 is accepted whatever it holds)
// throws the whole cache away, and an incomplete frame waits for the next chunk. Fewer than
// four bytes at the end are always kept, so a start tag split across chunks is still found.
//
// Owned and called by one thread (the simulator's io worker); the counters may be read from
// any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

class SimFrameParser {
 public:
  using FrameFn = std::function<void(uint32_t msg_type, const uint8_t* payload, uint32_t len)>;

  static constexpr uint32_t kCapacity = 0x400000;

  explicit SimFrameParser(FrameFn on_frame);

  // Appends one chunk and hands every complete, valid frame to on_frame, in stream order.
  void Append(const uint8_t* data, uint32_t len);
  // Drops what is cached (a lost connection's partial frame never joins the next one).
  void Reset() { m_len = 0; }
  uint32_t CachedBytes() const { return m_len; }

  uint64_t Frames() const { return m_frames.load(); }
  uint64_t SkippedBytes() const { return m_skipped_bytes.load(); }  // bytes before a start tag
  uint64_t CrcErrors() const { return m_crc_errors.load(); }
  uint64_t OversizeErrors() const { return m_oversize_errors.load(); }
  uint64_t Overflows() const { return m_overflows.load(); }

 private:
  FrameFn m_on_frame;
  std::vector<uint8_t> m_cache;
  uint32_t m_len = 0;
  std::atomic<uint64_t> m_frames{0};
  std::atomic<uint64_t> m_skipped_bytes{0};
  std::atomic<uint64_t> m_crc_errors{0};
  std::atomic<uint64_t> m_oversize_errors{0};
  std::atomic<uint64_t> m_overflows{0};
};
