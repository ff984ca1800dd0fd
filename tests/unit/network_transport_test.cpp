// The TCP transport's receive parsing, fed chunk by chunk through ParseChunk on transports never started.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "LogCapture.h"
#include "NetworkTestFrames.h"
#include "common/LittleEndian.h"
#include "transport/network/HostCommViaNetwork.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes Slice(const Bytes& b, size_t at, size_t to) { return Bytes(b.data() + at, b.data() + std::min(to, b.size())); }

// Feeds `chunks`; the frames queued for the engine and the parse worker's log lines.
std::pair<std::vector<Bytes>, Lines> Parse(HostCommViaNetwork& net, const LogCapture& log, std::vector<Bytes> chunks) {
  for (const Bytes& c : chunks) net.ParseChunk(c.data(), static_cast<uint32_t>(c.size()));
  Lines lines;
  for (const CapturedLine& l : log.Lines())
    if (l.function == "HostCommViaNetwork::StartLoopRecv.ParseWorker") lines.push_back(l.message);
  return {TakeQueuedFrames(net.m_recv_msg_queue, SIZE_MAX), lines};
}

// Chunks fed, frames queued, bytes left in the cache, the parse worker's lines, the start of a line logged once.
struct StreamCase { std::vector<Bytes> chunks, frames; uint32_t cached; Lines lines; std::string also; };

TEST(NetworkParse, ReceivedBytesAreCutIntoFrames) {
  const Bytes a = Frame(5, Payload(40, 1)), b = Frame(4, Payload(3, 9)), f = Frame(1, Payload(12, 5)), z3(3, 0);
  const Bytes largest = Frame(2, Payload(65520, 8)), s = Frame(6, Payload(30, 3));
  Bytes bad = Frame(5, Payload(8, 2)), huge = Frame(5, {}), three = Frame(3, Payload(6, 1)), two = Frame(2, {1});
  bad[14] ^= 0x01;  // a payload byte changed, the checksum kept
  kestal::StoreU32(huge.data() + 4, 65521);  // one byte more than a payload may have
  three.back() = 0x55;
  two[13] = 0x01;  // the checksum's low byte
  const std::string check = "Build message check, cache_len:";
  std::vector<Bytes> forty;  // behind one stray FF, whose false header announces 0x40FF bytes
  Bytes all = {0xFF};
  for (uint32_t i = 0; i < 40; ++i) forty.push_back(Frame(5, Payload(64, i))), all = Concat({all, forty.back()});
  std::vector<StreamCase> cases = {
      {{Concat({a, b})}, {a, b}, 0, {}, ""},                                         // two frames in one chunk
      {{Concat({z3, f})}, {f}, 0, {"Found discontinue start at 3"}, ""},              // garbage before a frame
      {{Concat({z3, Slice(f, 0, 2)}), Slice(f, 2, 99)}, {f}, 0, {"Found discontinue start at 0"}, ""},  // tag cut
      {{Bytes(100, 0), {0x11, 0xFF, 0x00}}, {}, 0, {}, ""},                           // tail that cannot be a tag
      {{{0x22, 0xFF, 0xFF, 0xFF}}, {}, 3, {}, ""},                                    // tail that may be a tag
      {{Concat({a, bad, f})}, {a, f}, 0, {check + "108, offset:56", "Found discontinue start at 80"},
       "Build message, CRC error:"},  // only the damaged frame is lost
      {{Concat({huge, Bytes(64, 0xAB)}), Concat({Bytes(5, 1), f})}, {f}, 0,
       {check + "80, offset:0", "Found discontinue start at 5"}, "Build message, payload_length is too large"},
      {{three}, {three}, 0, {}, ""},                                                 // type 3: any checksum
      {{two}, {}, 0, {check + "17, offset:0"}, "Build message, CRC error:0,1"},      // type 2: checksum 0
      {{Slice(all, 0, 1), Slice(all, 1, 9999)}, forty, 0,  // no wait for bytes that may never come
       {"Build message, a frame starts inside the header at:1", check + "3201, offset:0",
        "Found discontinue start at 1"}, ""},
      {{Concat({Slice(all, 1, 31), {0xFF}, Slice(all, 31, 9999)})}, {forty.begin() + 1, forty.end()}, 0,
       {check + "3201, offset:0", "Found discontinue start at 81"}, "Build message, CRC error:"},  // FF in a frame
      {{}, {largest}, 0, {}, ""},                                                    // in 1000-byte chunks
  };
  for (size_t at = 0; at < largest.size(); at += 1000) cases.back().chunks.push_back(Slice(largest, at, at + 1000));
  // Zeros lie behind the valid bytes: a start tag cut inside its four bytes is recognised from those alone.
  for (size_t at = 1; at < s.size(); ++at)
    cases.push_back({{Bytes(200, 0), Slice(s, 0, at), Slice(s, at, 99)}, {s}, 0, {}, ""});
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const StreamCase& c = cases[i];
    LogCapture log;
    HostCommViaNetwork net;
    EXPECT_EQ(Parse(net, log, c.chunks), std::make_pair(c.frames, c.lines));
    EXPECT_EQ(net.RecvCacheLen(), c.cached);
    EXPECT_EQ(c.also.empty() ? 1u : log.MessagesStartingWith(c.also).size(), 1u);
  }
  // A full message queue keeps a complete frame in the cache until buffers come back.
  LogCapture log;
  HostCommViaNetwork net;
  std::vector<WorkFlowBuffer*> held;
  while (WorkFlowBuffer* buffer = net.m_recv_msg_queue.GetFree(-1)) held.push_back(buffer);
  EXPECT_EQ(Parse(net, log, {a}), std::make_pair(std::vector<Bytes>{}, Lines{"Check recv msg queue full"}));
  EXPECT_EQ(net.RecvCacheLen(), a.size());
  for (WorkFlowBuffer* buffer : held) net.m_recv_msg_queue.PutFree(buffer);
  EXPECT_EQ(Parse(net, log, {b}).first, (std::vector<Bytes>{a, b}));
  EXPECT_EQ(net.RecvCacheLen(), 0u);
}

}  // namespace
