// The TCP transport alone against the device simulator on 127.0.0.1: what crosses its threads or
// the wire.
#include <asio.hpp>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "LogCapture.h"
#include "NetworkTestFrames.h"
#include "SimSupport.h"
#include "TestWait.h"
#include "transport/network/HostCommViaNetwork.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint16_t kType = 7;  // the device records it and never answers
constexpr unsigned kConnected = HostCommStatusNetworkConnected,
                   kError = HostCommStatusNetworkConnectError, kLost = HostCommStatusCommError;

class NetworkLoopback : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(sim.Start(), 0); }
  // To 127.0.0.1:port, the simulator's by default.
  void Start(size_t reported = 1, uint16_t port = 0) {
    HostCommTransportPlan plan;
    plan.endpoint = {"127.0.0.1", port ? port : sim.Server().Port()};
    plan.deliver = delivered.Fn();
    ++starts;
    ASSERT_EQ(net.StartLoopRecv(plan), 0);
    ASSERT_TRUE(WaitUntil([&] { return Reports(kConnected).size() >= reported; }, 3s));
  }
  std::vector<Clock::time_point> Reports(unsigned status) {
    std::lock_guard<std::mutex> lock(mutex);
    return reports[status];
  }
  int starts = 0;
  LogCapture log;
  SimRig sim{SimLink::Network, QuietDevice()};
  DeliveredMessages delivered;
  std::mutex mutex;
  std::map<unsigned, std::vector<Clock::time_point>> reports;
  HostCommViaNetwork net{{[this](unsigned status, const char*) {
                            std::lock_guard<std::mutex> lock(mutex);
                            reports[status].push_back(Clock::now());
                          },
                          nullptr,
                          {}}};
};

// A flood taken slowly and once stalled by the owner arrives whole, pausing the reads and losing
// nothing, even when the device ends the connection meanwhile; orders of several threads, the
// largest among them, reach the device whole and in order. (Where reads cut the frames is the
// parser's table, every cut of a start tag included.)
TEST_F(NetworkLoopback, FramesCrossTheWireWholeOnceAndInOrder) {
  Start();
  auto numbered = [](uint32_t i) {
    return Frame(5, Concat({{uint8_t(i), uint8_t(i >> 8)}, Payload(6000, i)}));
  };
  std::thread sender([&] {
    for (uint32_t i = 0; i < 1500; ++i)
      ASSERT_EQ(sim.Server().SendRaw(numbered(i).data(), 6018), 0) << i;
  });
  for (uint32_t i = 0; i < 1500 && !HasFailure(); i += 10) {
    std::vector<Bytes> expected;
    for (uint32_t k = i; k < i + 10; ++k) expected.push_back(numbered(k));
    EXPECT_EQ(TakeFrames(delivered, 10, 3000), expected) << i;
    delivered.Hold(i == 300);  // more than the receive cache arrives meanwhile
    std::this_thread::sleep_for(i == 300 ? 1500ms : 5ms);
  }
  delivered.Hold(false);
  sender.join();
  EXPECT_TRUE(delivered.Take(1, 100).empty());  // nothing twice
  EXPECT_EQ(net.SendOrder(kType, Bytes(65521).data(), 65521), -1);
  // Only recorded by the device; 2 and 3 carry no checksum.
  const uint16_t types[] = {1, 2, 3, 7, 8, 12};
  auto order = [](int t, int i) {
    return Concat({{uint8_t(t)}, Payload(i ? (i * 37) % 900 : 65519, i)});
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i)
        EXPECT_EQ(net.SendOrder(types[i % 6], order(t, i).data(), order(t, i).size()), 0);
    });
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(WaitUntil([&] { return sim.Device().HostMessages().size() >= 200; }, 5s));
  int sent[4] = {};
  for (const SimHostMessage& m : sim.Device().HostMessages()) {
    const int t = m.payload[0] % 4;
    EXPECT_EQ(m.type, types[sent[t] % 6]);
    EXPECT_EQ(m.payload, order(t, sent[t]++));
  }
  // Largest orders while the device does not read: the write that the full socket takes only in
  // part is finished by the send chain, and the orders behind it follow whole and in order.
  sim.Server().StallReading(1000);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(net.SendOrder(kType, order(i, 0).data(), 65520), 0) << i;
  ASSERT_TRUE(WaitUntil([&] { return sim.Device().HostMessages().size() >= 400; }, 10s));
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(sim.Device().HostMessages()[200 + i].payload, order(i, 0)) << i;
  EXPECT_EQ(sim.Server().SkippedBytes() + sim.Server().CrcErrors() + sim.Server().OversizeErrors(),
            0u);
  EXPECT_EQ(Reports(kConnected).size(), 1u);  // a connection that lasts is reported once
  // Frames received but not yet handed on (the owner is slow) when the device ends the connection:
  // all arrive.
  delivered.Hold(true);
  std::vector<Bytes> last;
  Bytes burst;
  for (uint32_t i = 2000; i < 2100; ++i)
    last.push_back(numbered(i)), burst = Concat({burst, last.back()});
  ASSERT_EQ(sim.Server().SendRaw(burst.data(), static_cast<uint32_t>(burst.size())) +
                sim.Server().EndConnection(),
            0);
  std::this_thread::sleep_for(300ms);
  delivered.Hold(false);
  ASSERT_TRUE(WaitUntil([&] { return !Reports(kLost).empty(); }, 3s));
  EXPECT_EQ(TakeFrames(delivered, 100, 3000), last);
}

// Stops join all workers, promptly also while a connect hangs or between attempts, and starts after
// them work; each connection is reported once and its loss once, refused attempts a second apart,
// queued orders die with their connection, and a handler that throws on the io worker costs the
// connection only.
TEST_F(NetworkLoopback, ConnectionsComeAndGoAndStopsEndEverything) {
  auto stop = [&] {  // it takes its minimum time, and the connect worker ends at once
    const auto t0 = Clock::now();
    EXPECT_EQ(net.StopLoopRecv(), 0);
    EXPECT_TRUE(Clock::now() - t0 >= 900ms && Clock::now() - t0 < 3000ms * kTimeScale);
    for (const CapturedLine& l : log.Lines())
      EXPECT_TRUE(l.message != "loop accept thread stopped" || l.when - t0 < 500ms * kTimeScale);
    for (const char* worker : {"accept", "parse message", "async io"})
      EXPECT_EQ(log.Count("loop " + std::string(worker) + " thread stopped"), starts) << worker;
  };
  // Orders fill the stalled device's buffers and the send queue; the first it reads after
  // `reconnect` is the next.
  auto queued_orders_are_dropped = [&](const std::function<void()>& reconnect) {
    sim.Server().StallReading(10000);
    const Bytes big = Payload(65520, 1);
    for (int i = 0; i < 1000 && net.SendOrder(kType, big.data(), 65520) == 0;) ++i;
    reconnect();
    const size_t before = sim.Device().HostMessages().size();
    sim.Server().StallReading(0);
    ASSERT_EQ(net.SendOrder(kType, big.data(), 10), 0);
    ASSERT_TRUE(WaitUntil([&] { return sim.Device().HostMessages().size() > before; }, 2s));
    EXPECT_EQ(sim.Device().HostMessages()[before].payload, Bytes(big.begin(), big.begin() + 10));
  };
  stop();  // never started
  // A listener whose accept queue is full drops new attempts: the connect hangs.
  asio::io_context io;
  asio::ip::tcp::acceptor full(io, {asio::ip::make_address("127.0.0.1"), 0});
  full.listen(0);
  asio::ip::tcp::socket filler(io);
  filler.connect(full.local_endpoint());
  const uint16_t port = full.local_endpoint().port();
  Start(0, port);
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(log.Contains("Ready to Create a new connection") && Reports(kError).empty());
  stop();
  EXPECT_EQ(Reports(kError).size(), 1u);  // the aborted attempt
  full.close();                           // the port refuses now
  Start(0, port);
  ASSERT_TRUE(WaitUntil([&] { return Reports(kError).size() == 2; }, 2s));
  stop();  // in the pause before the next attempt
  Start();
  queued_orders_are_dropped([&] {
    ASSERT_EQ(sim.Server().DropMidFrame(kType, Payload(1, 0).data(), 0, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return Reports(kConnected).size() == 2; }, 3s));
    EXPECT_TRUE(Reports(kLost).size() == 1 && Reports(kLost)[0] < Reports(kConnected)[1]);
  });
  queued_orders_are_dropped([&] {
    stop();
    EXPECT_EQ(net.SendOrder(kType, nullptr, 0), -1);  // nothing is queued without a connection
    Start(3);
  });
  const Bytes in = Frame(4, Payload(5, 5));
  ASSERT_EQ(sim.Server().SendRaw(in.data(), 21), 0);
  EXPECT_EQ(TakeFrames(delivered, 1, 2000), std::vector<Bytes>{in});
  // The read handler throws: its chunk is lost with the connection, dialled again.
  net.ThrowInNextRead();
  ASSERT_EQ(sim.Server().SendRaw(in.data(), 21), 0);
  ASSERT_TRUE(WaitUntil([&] { return Reports(kConnected).size() == 4; }, 3s));
  ASSERT_EQ(sim.Server().SendRaw(in.data(), 21), 0);
  EXPECT_EQ(TakeFrames(delivered, 1, 2000), std::vector<Bytes>{in});
  ASSERT_EQ(net.SendOrder(kType, in.data(), 21), 0);
  EXPECT_TRUE(WaitUntil([&] { return sim.Device().HostMessages().back().payload == in; }, 2s));
  sim.Server().Stop();  // the port refuses from now on
  ASSERT_TRUE(WaitUntil([&] { return Reports(kError).size() >= 4; }, 4s));
  EXPECT_GE(Reports(kError)[3] - Reports(kError)[2], 950ms);
  SimNetworkServer back(sim.Device(), "127.0.0.1", sim.Server().Port());
  ASSERT_EQ(back.Start(), 0);
  EXPECT_TRUE(WaitUntil([&] { return Reports(kConnected).size() == 5; }, 2500ms));
  stop();
  // Four connections; a stop makes none.
  EXPECT_EQ(sim.Server().Connections(), 4u);
  // The drop, the throwing handler and the stopped device; never a stop.
  EXPECT_EQ(Reports(kLost).size(), 3u);
}

}  // namespace
