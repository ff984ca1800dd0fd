#include "transport/network/FrameStreamParser.h"

#include "common/Log.h"

namespace {

// The lines keep the function name of the TCP transport's parse worker, under which they have
// always been logged.
constexpr const char* kParseWorker = "HostCommViaNetwork::StartLoopRecv.ParseWorker";

}  // namespace

void FrameStreamParser::Reset() {
  m_resync_pending = false;
  m_skipped_before_tail = false;
  m_frames_waiting = false;
}

// True when every one of the `n` bytes is FF: they may begin a start tag.
bool FrameStreamParser::MayBeginTag(const uint8_t* data, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    if (data[i] != 0xFF) return false;
  return true;
}

void FrameStreamParser::LogDiscontinue(uint32_t pos) {
  KLOG_DEBUG_AS(kParseWorker, "Found discontinue start at %d", static_cast<int>(pos));
}

// What the candidate at `pos` of the `n` scanned bytes is when FrameCodec::Check gave `verdict` (0
// or a negative verdict): 0 when it is an incomplete frame to wait for, else -1, damage (counted;
// a false header is logged when `log`).
int32_t FrameStreamParser::NoFrame(const uint8_t* data, uint32_t n, uint32_t pos, int32_t verdict,
                                   bool log) {
  if (verdict == 0 && !FrameInsideHeader(data, pos, n - pos, log)) return 0;
  // A false start tag (a stray FF just before a frame makes one) or a damaged frame: only its first
  // byte is dropped and the scan goes on behind it, so the frames that follow are kept.
  if (m_health && verdict == FrameCodec::kBadChecksum) LinkHealth::Add(m_health->checksum_errors);
  if (m_health && verdict == FrameCodec::kTooLarge) LinkHealth::Add(m_health->oversize_frames);
  return -1;
}

// An incomplete frame is waited for unless a whole frame starts inside its 12-byte header. A true
// header never holds one: its length (at most 0xFFF0) and type (16 bits) leave a start tag room
// only at its second byte, and a frame read from there has a length above 0xFFF0 unless the type's
// low byte is 0, which no device message has. So the header is false, and the length it announces
// would hold back the frames behind it until that many more bytes came, or for good when the device
// has nothing more to send.
bool FrameStreamParser::FrameInsideHeader(const uint8_t* data, uint32_t pos, uint32_t left,
                                          bool log) {
  for (uint32_t at = 1; at < FrameCodec::kHeaderLength && at < left; ++at) {
    if (FrameCodec::IsFrameAt(data + pos + at, left - at)) {
      if (log)
        KLOG_DEBUG_AS(kParseWorker, "Build message, a frame starts inside the header at:%d",
                      static_cast<int>(pos + at));
      return true;
    }
  }
  return false;
}

// A run of damage from `at` to `end` of the `n` scanned bytes is over: one line for all of it, with
// the bytes it cost, however many false start tags it held.
void FrameStreamParser::LogDamage(uint32_t n, uint32_t at, uint32_t end) {
  KLOG_DEBUG_AS(kParseWorker, "Build message check, cache_len:%d, offset:%d, skipped:%d",
                static_cast<int>(n), static_cast<int>(at), static_cast<int>(end - at));
}

void FrameStreamParser::CountScan(uint32_t frames, uint32_t skipped_bytes,
                                  uint32_t skipped_at_frame) {
  if (m_health && frames) LinkHealth::Add(m_health->frames_in, frames);
  if (m_health && skipped_bytes) LinkHealth::Add(m_health->bytes_skipped, skipped_bytes);
  m_resync_pending = m_resync_pending || skipped_bytes > skipped_at_frame;
}
