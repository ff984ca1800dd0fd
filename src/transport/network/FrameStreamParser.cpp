#include "transport/network/FrameStreamParser.h"

#include <utility>

#include "common/LittleEndian.h"
#include "common/Log.h"
#include "transport/network/FrameCodec.h"

namespace {

// The lines keep the function name of the TCP transport's parse worker, under which they have always been logged.
constexpr const char* kParseWorker = "HostCommViaNetwork::StartLoopRecv.ParseWorker";

// True when every one of the `n` bytes is FF: they may begin a start tag.
bool MayBeginTag(const uint8_t* data, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    if (data[i] != 0xFF) return false;
  return true;
}

}  // namespace

// Where one scan stands.
struct FrameStreamParser::Cursor {
  const uint32_t n;                // bytes scanned
  uint32_t pos = 0;                // first byte not consumed
  uint32_t skipped_bytes = 0;      // bytes consumed without being part of a frame
  uint32_t skipped_at_frame = 0;   // skipped_bytes when the last frame was found
  uint32_t frames = 0;
  bool skipped = false;            // bytes were skipped since the last start tag

  void Skip() { ++pos, ++skipped_bytes, skipped = true; }
};

FrameStreamParser::FrameStreamParser(Config config)
    : m_sink(std::move(config.sink)), m_health(config.health), m_stop(config.stop) {}

void FrameStreamParser::Reset() {
  m_resync_pending = false;
  m_skipped_before_tail = false;
  m_frames_waiting = false;
}

uint32_t FrameStreamParser::Scan(uint8_t* data, uint32_t length) {
  Cursor at{length, 0, 0, 0, 0, m_skipped_before_tail};
  m_skipped_before_tail = false;
  m_frames_waiting = false;
  while (at.pos < at.n && !(m_stop && m_stop->load())) {
    const uint32_t left = at.n - at.pos;
    if (left < 4) {
      // Too few valid bytes for a start tag. They may begin one only if every one of them is
      // FF; then they wait for the next read. Bytes past the valid data are never looked at.
      if (MayBeginTag(data + at.pos, left)) {
        m_skipped_before_tail = at.skipped;
        break;
      }
      at.Skip();
      continue;
    }
    if (kestal::LoadU32(data + at.pos) != FrameCodec::kFrameStartTag) {
      at.Skip();
      continue;
    }
    if (!TakeCandidate(data, at)) break;
  }
  CountScan(at);
  return at.pos;
}

// The candidate frame at a start tag: a frame handed on, or damage skipped (true, the scan goes on), or an incomplete
// frame or one the sink refused (false, the scan stops in front of it).
bool FrameStreamParser::TakeCandidate(uint8_t* data, Cursor& at) {
  if (at.skipped) {
    KLOG_DEBUG_AS(kParseWorker, "Found discontinue start at %d", static_cast<int>(at.pos));
    at.skipped = false;
  }
  // Behind the valid bytes a read may be writing: the diagnostics of a bad frame stop at them.
  const uint32_t left = at.n - at.pos;
  const int32_t r = FrameCodec::Check(data + at.pos, left, left);
  if (r == 0 && !FrameInsideHeader(data, at.pos, left)) return false;  // the rest of the frame is still to come
  if (r <= 0) {
    // A false start tag (a stray FF just before a frame makes one) or a damaged frame: only its first byte is
    // dropped and the scan goes on behind it, so the frames that follow are kept.
    KLOG_DEBUG_AS(kParseWorker, "Build message check, cache_len:%d, offset:%d", static_cast<int>(at.n),
                  static_cast<int>(at.pos));
    CountDamage(r);
    at.Skip();
    return true;
  }
  if (m_resync_pending || at.skipped_bytes > at.skipped_at_frame) {  // a frame again after skipped bytes
    if (m_health) LinkHealth::Add(m_health->resyncs);
    m_resync_pending = false;
  }
  at.skipped_at_frame = at.skipped_bytes;
  if (!m_sink(data + at.pos, static_cast<uint32_t>(r))) {
    m_frames_waiting = true;
    return false;
  }
  at.pos += static_cast<uint32_t>(r), ++at.frames;
  return true;
}

// An incomplete frame is waited for unless a whole frame starts inside its 12-byte header. A true header never
// holds one: its length (at most 0xFFF0) and type (16 bits) leave a start tag room only at its second byte,
// and a frame read from there has a length above 0xFFF0 unless the type's low byte is 0, which no device
// message has. So the header is false, and the length it announces would hold back the frames behind it
// until that many more bytes came, or for good when the device has nothing more to send.
bool FrameStreamParser::FrameInsideHeader(const uint8_t* data, uint32_t pos, uint32_t left) {
  for (uint32_t at = 1; at < FrameCodec::kHeaderLength && at < left; ++at) {
    if (FrameCodec::IsFrameAt(data + pos + at, left - at)) {
      KLOG_DEBUG_AS(kParseWorker, "Build message, a frame starts inside the header at:%d", static_cast<int>(pos + at));
      return true;
    }
  }
  return false;
}

void FrameStreamParser::CountDamage(int32_t verdict) {
  if (!m_health) return;
  if (verdict == FrameCodec::kBadChecksum) LinkHealth::Add(m_health->checksum_errors);
  if (verdict == FrameCodec::kTooLarge) LinkHealth::Add(m_health->oversize_frames);
}

void FrameStreamParser::CountScan(const Cursor& at) {
  if (m_health && at.frames) LinkHealth::Add(m_health->frames_in, at.frames);
  if (m_health && at.skipped_bytes) LinkHealth::Add(m_health->bytes_skipped, at.skipped_bytes);
  m_resync_pending = m_resync_pending || at.skipped_bytes > at.skipped_at_frame;
}
