// The TCP transport's receive parsing, fed chunk by chunk through ParseChunk on a transport
// that is not started, and its stop on a transport that never ran.
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "NetworkTestFrames.h"
#include "transport/network/HostCommViaNetwork.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kParseWorker = "HostCommViaNetwork::StartLoopRecv.ParseWorker";

Bytes Payload(size_t n, uint8_t seed) {
  Bytes p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed + i * 7);
  return p;
}

class NetworkParse : public ::testing::Test {
 protected:
  void SetUp() override { net = std::make_unique<HostCommViaNetwork>(); }

  void Feed(const Bytes& chunk) { net->ParseChunk(chunk.data(), static_cast<uint32_t>(chunk.size())); }

  // Every frame queued for the engine, oldest first; their buffers go back.
  std::vector<Bytes> TakeFrames() {
    return TakeQueuedFrames(net->m_recv_msg_queue, SIZE_MAX, std::chrono::milliseconds(0));
  }

  std::vector<std::string> ParseLines() const { return MessagesOf(log, kParseWorker); }

  LogCapture log;
  std::unique_ptr<HostCommViaNetwork> net;
};

TEST_F(NetworkParse, TwoFramesInOneChunkAreQueuedInStreamOrder) {
  Bytes a = Frame(5, Payload(40, 1));
  Bytes b = Frame(4, Payload(3, 9));
  Feed(Concat({a, b}));
  EXPECT_EQ(TakeFrames(), (std::vector<Bytes>{a, b}));
  EXPECT_EQ(net->RecvCacheLen(), 0u);
  EXPECT_TRUE(ParseLines().empty());
}

// A stale tail of an earlier chunk lies behind the valid bytes each time, so a start tag that
// is cut inside its four bytes must be recognised from the valid bytes alone.
TEST_F(NetworkParse, FrameSplitAtEveryBytePositionIsQueuedWhole) {
  const Bytes frame = Frame(6, Payload(30, 3));
  Feed(Bytes(200, 0x00));  // garbage: consumed, leaves zeros behind the valid data
  ASSERT_EQ(net->RecvCacheLen(), 0u);
  for (size_t split = 1; split < frame.size(); ++split) {
    Feed(Bytes(frame.begin(), frame.begin() + split));
    ASSERT_TRUE(TakeFrames().empty()) << split;
    ASSERT_EQ(net->RecvCacheLen(), split) << split;
    Feed(Bytes(frame.begin() + split, frame.end()));
    ASSERT_EQ(TakeFrames(), std::vector<Bytes>{frame}) << split;
    ASSERT_EQ(net->RecvCacheLen(), 0u) << split;
  }
  EXPECT_TRUE(ParseLines().empty());
}

TEST_F(NetworkParse, GarbageBeforeAFrameIsSkippedAndNoted) {
  Bytes frame = Frame(1, Payload(12, 5));
  Feed(Concat({Bytes{0x00, 0x00, 0x00}, frame}));
  EXPECT_EQ(TakeFrames(), std::vector<Bytes>{frame});
  EXPECT_EQ(ParseLines(), std::vector<std::string>{"Found discontinue start at 3"});
  EXPECT_EQ(net->RecvCacheLen(), 0u);
}

TEST_F(NetworkParse, StartTagCutAfterGarbageIsKeptForTheNextChunk) {
  Bytes frame = Frame(1, Payload(12, 5));
  Feed(Concat({Bytes{0x00, 0x00, 0x00}, Bytes(frame.begin(), frame.begin() + 2)}));
  EXPECT_EQ(net->RecvCacheLen(), 2u);  // FF FF may begin a start tag
  Feed(Bytes(frame.begin() + 2, frame.end()));
  EXPECT_EQ(TakeFrames(), std::vector<Bytes>{frame});
  EXPECT_EQ(ParseLines(), std::vector<std::string>{"Found discontinue start at 0"});
}

TEST_F(NetworkParse, TailBytesThatCannotBeginATagAreDropped) {
  Feed(Bytes(100, 0x00));
  EXPECT_EQ(net->RecvCacheLen(), 0u);
  Feed(Bytes{0x11, 0xFF, 0x00});
  EXPECT_EQ(net->RecvCacheLen(), 0u);
  Feed(Bytes{0x22, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(net->RecvCacheLen(), 3u);
  EXPECT_TRUE(TakeFrames().empty());
  EXPECT_TRUE(ParseLines().empty());
}

TEST_F(NetworkParse, CrcErrorDropsTheRestOfTheCache) {
  Bytes first = Frame(5, Payload(20, 1));
  Bytes bad = Frame(5, Payload(8, 2));
  bad[14] ^= 0x01;  // payload byte changed, checksum kept
  Bytes last = Frame(5, Payload(4, 3));
  Bytes chunk = Concat({first, bad, last});
  Feed(chunk);
  EXPECT_EQ(TakeFrames(), std::vector<Bytes>{first});
  EXPECT_EQ(net->RecvCacheLen(), 0u);
  EXPECT_EQ(ParseLines(), (std::vector<std::string>{
                              "Clear recv_cache_len at 0",
                              "Build message check, cache_len:" + std::to_string(chunk.size()) +
                                  ", offset:" + std::to_string(first.size())}));
  EXPECT_EQ(log.MessagesStartingWith("Build message, CRC error:").size(), 1u);
  // The dumps show the cache's slack behind a short frame instead of refusing to read it.
  auto header = log.MessagesStartingWith("HEADER 0020:");
  ASSERT_EQ(header.size(), 1u);
  EXPECT_EQ(header[0].find("--"), std::string::npos) << header[0];
}

TEST_F(NetworkParse, OversizedPayloadLengthEmptiesTheCacheAndParsingResumes) {
  Bytes header = Frame(5, {});
  header[4] = 0x70;  // 70000 = 0x00011170
  header[5] = 0x11;
  header[6] = 0x01;
  Feed(Concat({header, Bytes(64, 0xAB)}));
  EXPECT_TRUE(log.Contains("Build message, payload_length is too large:70000"));
  EXPECT_EQ(ParseLines(), (std::vector<std::string>{"Clear recv_cache_len at 0",
                                                    "Build message check, cache_len:80, offset:0"}));
  EXPECT_EQ(net->RecvCacheLen(), 0u);
  Bytes next = Frame(7, Payload(10, 4));
  Feed(Concat({Bytes(5, 0x01), next}));
  EXPECT_EQ(TakeFrames(), std::vector<Bytes>{next});
}

TEST_F(NetworkParse, LargestFrameAcrossManyChunks) {
  Bytes frame = Frame(2, Payload(65520, 8));
  for (size_t at = 0; at < frame.size(); at += 1000)
    Feed(Bytes(frame.begin() + at, frame.begin() + std::min(frame.size(), at + 1000)));
  EXPECT_EQ(TakeFrames(), std::vector<Bytes>{frame});
  EXPECT_TRUE(ParseLines().empty());
}

TEST_F(NetworkParse, FullMessageQueueKeepsTheFrameInTheCache) {
  std::vector<WorkFlowBuffer*> held;
  while (WorkFlowBuffer* b = net->m_recv_msg_queue.GetFree(-1)) held.push_back(b);
  ASSERT_EQ(held.size(), 256u);
  Bytes a = Frame(5, Payload(10, 1));
  auto t0 = std::chrono::steady_clock::now();
  Feed(a);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(40));
  EXPECT_EQ(ParseLines(), std::vector<std::string>{"Check recv msg queue full"});
  EXPECT_EQ(net->RecvCacheLen(), a.size());
  for (WorkFlowBuffer* b : held) net->m_recv_msg_queue.PutFree(b);
  Bytes b = Frame(5, Payload(11, 2));
  Feed(b);
  EXPECT_EQ(TakeFrames(), (std::vector<Bytes>{a, b}));
  EXPECT_EQ(net->RecvCacheLen(), 0u);
}

// Mirrors of the frame codec's type exemption as the receiver sees it.
TEST_F(NetworkParse, TypeThreeFramesPassWithAnyChecksumTypeTwoOnlyWithZero) {
  Bytes three = Frame(3, Payload(6, 1));
  three[three.size() - 1] = 0x55;
  Feed(three);
  EXPECT_EQ(TakeFrames(), std::vector<Bytes>{three});
  Bytes two = Frame(2, Payload(6, 1));
  two[two.size() - 4] = 0x01;
  Feed(two);
  EXPECT_TRUE(TakeFrames().empty());
  EXPECT_TRUE(log.Contains("Build message, CRC error:0,1"));
}

TEST(NetworkStop, StopOfATransportThatNeverRanTakesItsMinimumTimeAndLogsNoLoopback) {
  LogCapture log;
  HostCommViaNetwork net;
  net.m_is_server = false;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(net.StopLoopRecv(), 0);
  auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  EXPECT_FALSE(log.Contains("Ready to Create close connection"));
  EXPECT_FALSE(net.IsConnected());
}

TEST(NetworkStop, SendOrderWithoutConnectionReturnsMinusOneSilently) {
  LogCapture log;
  HostCommViaNetwork net;
  uint8_t payload[4] = {1, 2, 3, 4};
  EXPECT_EQ(net.SendOrder(6, payload, sizeof payload), -1);
  EXPECT_TRUE(log.Lines().empty());
  std::vector<uint8_t> big(65521);
  EXPECT_EQ(net.SendOrder(6, big.data(), 65521), -1);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"Send order message is too large:65521/65520"});
}

}  // namespace
