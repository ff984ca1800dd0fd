// The TCP transport's receive parsing: FrameStreamParser over byte buffers, fed chunk by chunk as
// reads bring them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "LogCapture.h"
#include "NetworkTestFrames.h"
#include "common/LittleEndian.h"
#include "transport/network/FrameStreamParser.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes Slice(const Bytes& b, size_t at, size_t to) {
  return Bytes(b.data() + at, b.data() + std::min(to, b.size()));
}

// The parser's caller, as the transport is: the bytes kept from the last scan, the new chunk behind
// them. The sink takes the frames while `room` lasts (-1: always).
struct Stream {
  LinkHealth health;
  std::vector<Bytes> frames;
  Bytes kept;
  int room = -1;
  FrameStreamParser parser{{&health}};

  bool Take(uint8_t* frame, uint32_t length) {
    if (room == 0) return false;
    if (room > 0) --room;
    frames.emplace_back(frame, frame + length);
    return true;
  }
  uint32_t Feed(const Bytes& chunk) {
    kept.insert(kept.end(), chunk.begin(), chunk.end());
    const uint32_t used =
        parser.Scan(kept.data(), static_cast<uint32_t>(kept.size()),
                    [this](uint8_t* frame, uint32_t length) { return Take(frame, length); });
    EXPECT_LE(used, kept.size());
    kept.erase(kept.begin(), kept.begin() + used);
    return used;
  }
  std::vector<Bytes> Take() { return std::exchange(frames, {}); }
};

Lines ParserLines(const LogCapture& log) {
  Lines lines;
  for (const CapturedLine& l : log.Lines())
    if (l.function == "HostCommViaNetwork::StartLoopRecv.ParseWorker") lines.push_back(l.message);
  return lines;
}

uint64_t Get(const LinkHealth::Counter& counter) { return LinkHealth::Get(counter); }

// Chunks fed, frames taken, bytes kept, the parser's lines, the start of a line logged once.
struct StreamCase {
  std::vector<Bytes> chunks, frames;
  uint32_t cached;
  Lines lines;
  std::string also;
};

TEST(NetworkParse, ReceivedBytesAreCutIntoFrames) {
  const Bytes a = Frame(5, Payload(40, 1)), b = Frame(4, Payload(3, 9)),
              f = Frame(1, Payload(12, 5)), z3(3, 0);
  const Bytes largest = Frame(2, Payload(65520, 8)), s = Frame(6, Payload(30, 3));
  Bytes bad = Frame(5, Payload(8, 2)), huge = Frame(5, {});
  bad[14] ^= 0x01;                           // a payload byte changed, the checksum kept
  kestal::StoreU32(huge.data() + 4, 65521);  // one byte more than a payload may have
  const std::string check = "Build message check, cache_len:";
  std::vector<Bytes> forty;  // behind one stray FF, whose false header announces 0x40FF bytes
  Bytes all = {0xFF};
  for (uint32_t i = 0; i < 40; ++i)
    forty.push_back(Frame(5, Payload(64, i))), all = Concat({all, forty.back()});
  std::vector<StreamCase> cases = {
      {{Concat({a, b})}, {a, b}, 0, {}, ""},                              // two frames in one chunk
      {{Concat({z3, f})}, {f}, 0, {"Found discontinue start at 3"}, ""},  // garbage before a frame
      {{Concat({z3, Slice(f, 0, 2)}), Slice(f, 2, 99)},
       {f},
       0,
       {"Found discontinue start at 0"},
       ""},                                                  // tag cut
      {{Bytes(100, 0), {0x11, 0xFF, 0x00}}, {}, 0, {}, ""},  // tail that cannot be a tag
      {{{0x22, 0xFF, 0xFF, 0xFF}}, {}, 3, {}, ""},           // tail that may be a tag
      {{Concat({a, bad, f})},
       {a, f},
       0,
       {check + "108, offset:56, skipped:24", "Found discontinue start at 80"},
       "Build message, CRC error:"},  // only the damaged frame is lost
      {{Concat({huge, Bytes(64, 0xAB)}), Concat({Bytes(5, 1), f})},
       {f},
       0,
       {check + "80, offset:0, skipped:80", "Found discontinue start at 5"},
       "Build message, payload_length is too large"},
      {{Slice(all, 0, 1), Slice(all, 1, 9999)},
       forty,
       0,  // no wait for bytes that may never come
       {"Build message, a frame starts inside the header at:1", check + "3201, offset:0, skipped:1",
        "Found discontinue start at 1"},
       ""},
      {{Concat({Slice(all, 1, 31), {0xFF}, Slice(all, 31, 9999)})},
       {forty.begin() + 1, forty.end()},
       0,
       {check + "3201, offset:0, skipped:81", "Found discontinue start at 81"},
       "Build message, CRC error:"},  // FF in a frame
      {{Concat({Bytes(40, 0xFF), f})},
       {f},
       0,
       {check + "68, offset:0, skipped:40", "Found discontinue start at 40"},
       "Build message, payload_length is too large"},  // a run of FF: one line per run
      {{}, {largest}, 0, {}, ""},                      // in 1000-byte chunks
  };
  for (size_t at = 0; at < largest.size(); at += 1000)
    cases.back().chunks.push_back(Slice(largest, at, at + 1000));
  // A start tag cut inside its four bytes is recognised from the valid bytes alone.
  for (size_t at = 1; at < s.size(); ++at)
    cases.push_back({{Bytes(200, 0), Slice(s, 0, at), Slice(s, at, 99)}, {s}, 0, {}, ""});
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const StreamCase& c = cases[i];
    LogCapture log;
    Stream stream;
    for (const Bytes& chunk : c.chunks) stream.Feed(chunk);
    EXPECT_EQ(std::make_pair(stream.Take(), ParserLines(log)), std::make_pair(c.frames, c.lines));
    EXPECT_EQ(stream.kept.size(), c.cached);
    EXPECT_FALSE(stream.parser.FramesWaiting());
    EXPECT_EQ(c.also.empty() ? 1u : log.MessagesStartingWith(c.also).size(), 1u);
  }
}

// A sink that refuses a frame (a full message queue) stops the scan in front of it; the frame and
// those behind it wait with the caller and come out, in order and without a line, from the next
// scan. Reset starts a new stream: no resynchronisation or skipped bytes of the old one carry over.
// Then what a new stream counts: every kind of damage, the bytes skipped, the frames, and one
// resynchronisation per frame found again after skipped bytes, also when the frame comes in a later
// scan or behind a refusal.
TEST(NetworkParse, RefusedFramesWaitResetForgetsTheOldStreamAndDamageIsCounted) {
  const Bytes a = Frame(5, Payload(40, 1)), b = Frame(4, Payload(3, 9)),
              f = Frame(1, Payload(12, 5));
  LogCapture log;
  Stream stream;
  stream.room = 1;
  EXPECT_EQ(stream.Feed(Concat({a, b, f})), a.size());
  EXPECT_TRUE(stream.parser.FramesWaiting());
  EXPECT_EQ(stream.Take(), std::vector<Bytes>{a});
  EXPECT_EQ(stream.kept, Concat({b, f}));
  stream.room = 0;  // still no room: nothing is consumed
  EXPECT_EQ(stream.Feed({}), 0u);
  EXPECT_TRUE(stream.parser.FramesWaiting());
  stream.room = -1;
  EXPECT_EQ(stream.Feed({}), b.size() + f.size());
  EXPECT_FALSE(stream.parser.FramesWaiting());
  EXPECT_EQ(stream.Take(), (std::vector<Bytes>{b, f}));
  EXPECT_TRUE(stream.kept.empty());
  EXPECT_EQ(Get(stream.health.frames_in), 3u);  // counted when taken, not when refused
  stream.Feed({0x00, 0xFF, 0xFF});              // skipped bytes, then what may begin a start tag
  EXPECT_EQ(stream.kept, (Bytes{0xFF, 0xFF}));
  stream.parser.Reset(), stream.kept.clear();
  stream.Feed(f);
  EXPECT_EQ(stream.Take(), std::vector<Bytes>{f});
  EXPECT_EQ(ParserLines(log), Lines{});  // no "Found discontinue start" of the old stream's bytes
  EXPECT_EQ(Get(stream.health.resyncs), 0u);

  Bytes bad = Frame(5, Payload(8, 2)), huge = Frame(5, {});
  bad[14] ^= 0x01;
  kestal::StoreU32(huge.data() + 4, 65521);
  Stream damaged;
  damaged.Feed(Concat({a, bad, f, huge, Bytes(3, 0)}));
  EXPECT_EQ(damaged.Take(), (std::vector<Bytes>{a, f}));
  EXPECT_EQ(Get(damaged.health.frames_in), 2u);
  EXPECT_EQ(Get(damaged.health.checksum_errors), 1u);
  EXPECT_EQ(Get(damaged.health.oversize_frames), 1u);
  EXPECT_EQ(Get(damaged.health.bytes_skipped), bad.size() + huge.size() + 3);
  EXPECT_EQ(Get(damaged.health.resyncs), 1u);  // f after bad; nothing has followed huge yet
  damaged.Feed(Bytes(7, 0x11));  // more garbage: still the same resynchronisation to come
  EXPECT_EQ(Get(damaged.health.resyncs), 1u);
  damaged.room = 0;
  damaged.Feed(a);  // found and refused: the resynchronisation is counted once, now
  EXPECT_EQ(Get(damaged.health.resyncs), 2u);
  damaged.room = -1;
  damaged.Feed(f);
  EXPECT_EQ(damaged.Take(), (std::vector<Bytes>{a, f}));
  EXPECT_EQ(Get(damaged.health.resyncs), 2u);
  EXPECT_EQ(Get(damaged.health.frames_in), 4u);
  EXPECT_EQ(Get(damaged.health.bytes_skipped), bad.size() + huge.size() + 3 + 7);
  EXPECT_EQ(Get(damaged.health.bytes_in), 0u);  // not the parser's to count
}

}  // namespace
