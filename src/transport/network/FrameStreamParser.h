// Cuts a received byte stream into whole validated frames, in memory: no
// socket, no queue, no copy.
//
// The caller owns the bytes. Scan looks at [data, data + length) in place, hands every whole frame
// that FrameCodec accepts to the sink, and returns how many bytes it consumed; the bytes from there
// on (an incomplete frame, a possible start tag cut at the end, frames the sink refused) are the
// caller's to keep and to pass again, at the front of the next scan, followed by whatever arrived
// meanwhile. The parser keeps only what must survive between scans: whether bytes were skipped
// right before a kept partial start tag, whether a resynchronisation is yet to be counted, and
// whether the sink refused a frame.
//
// Rules, as the TCP transport has always cut its cache:
//  - Bytes that do not begin a start tag (FF FF FF FF) are skipped one at a time; the first start
//  tag after skipped
//    bytes is logged as "Found discontinue start at %d".
//  - Fewer than four bytes at the end wait for more when all of them are FF, else are skipped:
//  nothing is decided
//    from bytes past `length`.
//  - An incomplete frame waits for more bytes, unless a whole frame starts inside its 12-byte
//  header (then the header
//    is false and is treated as damage).
//  - Damage (a CRC error, a length above 65520, a false header) costs only the first byte of the
//  candidate: the scan
//    goes on behind it, so the frames that follow are kept.
//  - A run of damage (a stream of FF makes a false start tag at every byte) is logged once: the
//    first candidate's verdict, then "Build message check" with the bytes skipped when the run
//    ends at a frame or at the end of the scanned bytes; its false start tags are not each noted.
//  - A frame after skipped bytes counts one resynchronisation, also when it comes only in a later
//  scan.
// Log lines keep the function names they have always had:
// "HostCommViaNetwork::StartLoopRecv.ParseWorker" for the parser's own,
// "HostCommViaNetwork::BuildMsg" for FrameCodec's verdicts.
//
// Damage and progress are counted, when a LinkHealth is given, into frames_in, bytes_skipped,
// resyncs, checksum_errors and oversize_frames; the parser never reaches any other layer.
//
// One thread at a time: NetworkReceiver's parse worker, or its io worker cutting its own read,
// both under the receiver's parse lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/LittleEndian.h"
#include "diag/LinkHealth.h"
#include "transport/HostCommTransport.h"
#include "transport/network/FrameCodec.h"

class FrameStreamParser {
 public:
  struct Config {
    LinkHealth* health = nullptr;  // where damage and frames are counted; nullptr: nowhere
    const std::atomic<bool>* stop =
        nullptr;  // when set, a scan ends at the next position it would look at
  };

  FrameStreamParser() = default;  // counts nothing, never stopped
  explicit FrameStreamParser(Config config) : m_health(config.health), m_stop(config.stop) {}

  // Cuts [data, data + length) into frames; the number of bytes consumed from data on (at most
  // length). `sink(uint8_t* frame, uint32_t length) -> bool` takes one whole validated frame
  // (header, payload, checksum); the bytes lie in the scanned range and stay valid until it
  // returns. False refuses the frame (no room for it now): the scan stops in front of it, and the
  // next scan offers it again. (A template, so that the caller's sink is called directly: on the
  // transport's path every frame passes through it.)
  template <typename Sink>
  uint32_t Scan(uint8_t* data, uint32_t length, Sink&& sink);
  // True when the last scan stopped at a whole frame that the sink refused.
  bool FramesWaiting() const { return m_frames_waiting; }
  // A new stream: whatever the caller kept of the old one is dropped with this.
  void Reset();
  // Hands the message in one whole validated frame (what Scan gives its sink) to `deliver`; a frame
  // with an empty payload carries no message and is dropped.
  static void DeliverMessage(const uint8_t* frame, uint32_t length,
                             const HostCommMessageFn& deliver) {
    if (length > FrameCodec::kFrameOverhead && deliver)
      deliver(FrameCodec::MessageType(frame), frame + FrameCodec::kHeaderLength,
              length - FrameCodec::kFrameOverhead);
  }

 private:
  static bool MayBeginTag(const uint8_t* data, uint32_t n);
  static void LogDiscontinue(uint32_t pos);
  int32_t NoFrame(const uint8_t* data, uint32_t n, uint32_t pos, int32_t verdict, bool log);
  static bool FrameInsideHeader(const uint8_t* data, uint32_t pos, uint32_t left, bool log);
  static void LogDamage(uint32_t n, uint32_t at, uint32_t end);
  void CountScan(uint32_t frames, uint32_t skipped_bytes, uint32_t skipped_at_frame);

  LinkHealth* m_health = nullptr;
  const std::atomic<bool>* const m_stop = nullptr;
  bool m_skipped_before_tail = false;  // bytes were skipped before a kept partial start tag
  bool m_frames_waiting = false;       // the last scan stopped at a frame the sink refused
  bool m_resync_pending =
      false;  // bytes were skipped since the last frame (a resynchronisation to count)
};

template <typename Sink>
uint32_t FrameStreamParser::Scan(uint8_t* data, uint32_t n, Sink&& sink) {
  uint32_t pos = 0, skipped_bytes = 0, skipped_at_frame = 0, frames = 0, damage_at = 0;
  bool skipped = m_skipped_before_tail;  // bytes were skipped since the last start tag
  bool damaged = false;                  // a run of damage began at damage_at and goes on
  m_skipped_before_tail = false;
  m_frames_waiting = false;
  while (pos < n && !(m_stop && m_stop->load())) {
    const uint32_t left = n - pos;
    if (left < 4) {
      // Too few valid bytes for a start tag. They may begin one only if every one of them is
      // FF; then they wait for the next read. Bytes past the valid data are never looked at.
      if (MayBeginTag(data + pos, left)) {
        m_skipped_before_tail = skipped;
        break;
      }
      ++pos, ++skipped_bytes, skipped = true;
      continue;
    }
    if (kestal::LoadU32(data + pos) != FrameCodec::kFrameStartTag) {
      ++pos, ++skipped_bytes, skipped = true;
      continue;
    }
    if (skipped && !damaged) LogDiscontinue(pos), skipped = false;
    // Behind the valid bytes a read may be writing: the diagnostics of a bad frame stop at them.
    // Inside a run of damage only the verdict is wanted: its first candidate has said why.
    int32_t r =
        damaged ? FrameCodec::Verdict(data + pos, left) : FrameCodec::Check(data + pos, left, left);
    if (r <= 0) r = NoFrame(data, n, pos, r, !damaged);
    if (r < 0) {  // damage: its first byte is skipped
      if (!damaged) damaged = true, damage_at = pos;
      ++pos, ++skipped_bytes, skipped = true;
      continue;
    }
    if (damaged) LogDamage(n, damage_at, pos), damaged = false;
    if (skipped) LogDiscontinue(pos), skipped = false;
    if (r == 0) break;  // the rest of the frame is still to come
    if (m_resync_pending ||
        skipped_bytes > skipped_at_frame) {  // a frame again after skipped bytes
      if (m_health) LinkHealth::Add(m_health->resyncs);
      m_resync_pending = false;
    }
    skipped_at_frame = skipped_bytes;
    if (!sink(data + pos, static_cast<uint32_t>(r))) {
      m_frames_waiting = true;
      break;
    }
    pos += static_cast<uint32_t>(r), ++frames;
  }
  if (damaged) LogDamage(n, damage_at, pos);
  CountScan(frames, skipped_bytes, skipped_at_frame);
  return pos;
}
