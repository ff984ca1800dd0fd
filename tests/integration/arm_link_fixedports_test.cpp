// The arm link end to end over loopback UDP on its fixed ports: a companion socket on
// 127.0.0.1:27000 talks to the link on 26000.
//
// What the link hands to the device is observed through its device relay, which takes the
// place of the engine's SendOrder (same arguments); one case runs the default route through a
// real engine to show that the link calls it when no relay is set.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "arm/ArmCommViaNetwork.h"
#include "arm/UdpSocket.h"
#include "common/Clock.h"
#include "protocol/HostCommProtocolImpl.h"

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr uint16_t kLinkPort = 26000;
constexpr uint16_t kCompanionPort = 27000;

Bytes Pattern(size_t len, uint8_t first) {
  Bytes b(len);
  for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

// What reaches "the device": every call of the link's device relay.
class DeviceSide {
 public:
  struct Msg {
    uint16_t type;
    Bytes data;
  };

  int Relay(uint16_t type, const uint8_t* data, uint32_t len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_msgs.push_back({type, Bytes(data, data + len)});
    m_signal.notify_all();
    return 0;
  }
  bool WaitForCount(size_t n, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_signal.wait_for(lock, timeout, [&] { return m_msgs.size() >= n; });
  }
  std::vector<Msg> Msgs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_msgs;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_signal;
  std::vector<Msg> m_msgs;
};

// The arm companion process: a socket on 127.0.0.1:27000.
class Companion {
 public:
  Companion() {
    UdpSocket::Startup();
    EXPECT_EQ(0, m_socket.Open());
    EXPECT_EQ(0, m_socket.Bind(UdpSocket::Endpoint("127.0.0.1", kCompanionPort)));
  }
  void Send(const Bytes& data) {
    ASSERT_EQ(static_cast<int>(data.size()),
              m_socket.SendTo(data.data(), static_cast<uint32_t>(data.size()),
                              UdpSocket::Endpoint("127.0.0.1", kLinkPort)));
  }
  // One datagram, or false when none came within the timeout.
  bool Recv(Bytes* out, milliseconds timeout) {
    Bytes buf(70000);
    int n = m_socket.RecvFrom(buf.data(), static_cast<uint32_t>(buf.size()), nullptr,
                              static_cast<int>(timeout.count()));
    if (n < 0) return false;
    buf.resize(static_cast<size_t>(n));
    *out = buf;
    return true;
  }
  void Close() { m_socket.Close(); }

 private:
  UdpSocket m_socket;
};

int CountOpenDescriptors() {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec))
    ++n;
  return ec ? -1 : n;
}

// True when no other socket holds the port (a socket without address reuse can bind it).
bool PortFree(uint16_t port) {
  UdpSocket probe;
  return UdpSocket::Startup() == 0 && probe.Open() == 0 && probe.SetExclusiveAddress() == 0 &&
         probe.Bind(UdpSocket::Endpoint("0.0.0.0", port)) == 0;
}

class ArmLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Another process on these ports would take datagrams meant for this test.
    ASSERT_TRUE(PortFree(kLinkPort)) << "UDP port 26000 is held by another process";
    ASSERT_TRUE(PortFree(kCompanionPort)) << "UDP port 27000 is held by another process";
    m_link.SetDeviceRelay([this](uint16_t type, const uint8_t* data, uint32_t len) {
      return m_device.Relay(type, data, len);
    });
  }
  void TearDown() override { m_link.StopLoopRecv(); }

  // Starts the link and makes the companion heard from, so the link sends to it.
  void StartAndGreet(Companion& companion) {
    ASSERT_EQ(0, m_link.StartLoopRecv());
    const size_t before = m_device.Msgs().size();
    companion.Send({'h', 'i'});
    ASSERT_TRUE(m_device.WaitForCount(before + 1, milliseconds(2000)));
  }

  int LinkLines(const std::string& message) {
    int n = 0;
    for (const auto& line : m_log.Lines())
      n += line.message == message && line.function.rfind("ArmCommViaNetwork::", 0) == 0;
    return n;
  }

  LogCapture m_log;
  DeviceSide m_device;
  ArmCommViaNetwork m_link;
};

TEST_F(ArmLinkTest, CompanionDatagramsReachDeviceAsFixedLengthArmMessages) {
  Companion companion;
  ASSERT_EQ(0, m_link.StartLoopRecv());

  const Bytes long_datagram = Pattern(100, 0xA0);
  const Bytes short_datagram = Pattern(10, 0x11);
  companion.Send(long_datagram);
  companion.Send({});  // empty: logged, not relayed
  companion.Send(short_datagram);
  ASSERT_TRUE(m_device.WaitForCount(2, milliseconds(2000)));

  auto msgs = m_device.Msgs();
  ASSERT_EQ(2u, msgs.size());
  EXPECT_EQ(1, msgs[0].type);
  EXPECT_EQ(Bytes(long_datagram.begin(), long_datagram.begin() + 64), msgs[0].data);
  // The short one follows the long one, so its tail proves that the buffer is cleared again.
  Bytes expected = short_datagram;
  expected.resize(64, 0);
  EXPECT_EQ(1, msgs[1].type);
  EXPECT_EQ(expected, msgs[1].data);

  // The source of the empty datagram is printed as stored, in network byte order.
  const uint8_t ip_bytes[4] = {127, 0, 0, 1};
  const uint8_t port_bytes[2] = {kCompanionPort >> 8, kCompanionPort & 0xFF};
  uint32_t ip_raw;
  uint16_t port_raw;
  std::memcpy(&ip_raw, ip_bytes, 4);
  std::memcpy(&port_raw, port_bytes, 2);
  char line[64];
  std::snprintf(line, sizeof(line), "recv from 0, IP:%x, PORT:%d", ip_raw, port_raw);
  EXPECT_EQ(1, LinkLines(line)) << line;
}

TEST_F(ArmLinkTest, WithoutRelayCompanionDatagramsGoToTheEngineAsType1) {
  // An engine whose comm type names no transport logs each message it is asked to send.
  HostCommProtocolImpl engine;
  engine.SetHostCommType(2);
  m_link.SetDeviceRelay(nullptr);
  m_link.m_protocol = &engine;
  ASSERT_EQ(0, m_link.StartLoopRecv());

  Companion companion;
  for (int i = 0; i < 3; ++i) companion.Send(Pattern(5, static_cast<uint8_t>(i)));
  ASSERT_TRUE(m_log.WaitFor("Not support host communication type:2", milliseconds(2000), 3));
  m_link.StopLoopRecv();
  int from_engine_send = 0;
  for (const auto& line : m_log.Lines())
    from_engine_send += line.message == "Not support host communication type:2" &&
                        line.function == "HostCommProtocolImpl::SendOrder";
  EXPECT_EQ(3, from_engine_send);
  EXPECT_TRUE(m_device.Msgs().empty());
}

TEST_F(ArmLinkTest, DeviceMessagesReachCompanionOnlyAfterItSpoke) {
  Companion companion;
  ASSERT_EQ(0, m_link.StartLoopRecv());

  const Bytes early = Pattern(20, 0x30);
  EXPECT_EQ(0, m_link.SendOrder(early.data(), static_cast<uint32_t>(early.size())));
  Bytes got;
  EXPECT_FALSE(companion.Recv(&got, milliseconds(400))) << "sent before the companion spoke";

  companion.Send({'h', 'i'});
  ASSERT_TRUE(m_device.WaitForCount(1, milliseconds(2000)));
  const Bytes later = Pattern(300, 0x50);
  EXPECT_EQ(0, m_link.SendOrder(later.data(), static_cast<uint32_t>(later.size())));
  ASSERT_TRUE(companion.Recv(&got, milliseconds(2000)));
  EXPECT_EQ(later, got) << "the early message was kept and delivered late";
  EXPECT_FALSE(companion.Recv(&got, milliseconds(100)));
}

TEST_F(ArmLinkTest, ConsecutiveSendsAreAtLeast500usApart) {
  Companion companion;
  StartAndGreet(companion);

  // All messages are queued at once; the k-th cannot leave before (k-1) gaps of 500 us have
  // passed since they were queued. Receive times only add delay, so the bound is safe.
  constexpr int kCount = 20;
  const uint64_t queued_us = kestal::MonotonicUs();
  for (int i = 0; i < kCount; ++i) {
    const Bytes msg = Pattern(8, static_cast<uint8_t>(i));
    ASSERT_EQ(0, m_link.SendOrder(msg.data(), static_cast<uint32_t>(msg.size())));
  }
  std::vector<uint64_t> received_us;
  for (int i = 0; i < kCount; ++i) {
    Bytes got;
    ASSERT_TRUE(companion.Recv(&got, milliseconds(2000))) << "message " << i;
    received_us.push_back(kestal::MonotonicUs());
    EXPECT_EQ(Pattern(8, static_cast<uint8_t>(i)), got) << "message " << i;
  }
  for (int i = 1; i < kCount; ++i)
    EXPECT_GE(received_us[i] - queued_us, static_cast<uint64_t>(i) * 500) << "message " << i;
}

TEST_F(ArmLinkTest, StopJoinsWorkersPromptlyAndNeverRelaysTheStopDatagram) {
  Companion companion;
  StartAndGreet(companion);
  // Let the receive worker go back to waiting, so that the stop datagram is what wakes it.
  std::this_thread::sleep_for(milliseconds(50));

  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, m_link.StopLoopRecv());
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, milliseconds(1000));

  // Joined: both workers have said goodbye by the time the stop returns.
  EXPECT_EQ(1, LinkLines("loop recv NET message thread stopped"));
  EXPECT_EQ(1, LinkLines("loop send NET message thread stopped"));
  EXPECT_FALSE(m_link.m_socket.IsOpen());
  EXPECT_EQ(0, m_link.m_peer_addr.port.load());
  std::this_thread::sleep_for(milliseconds(200));
  ASSERT_EQ(1u, m_device.Msgs().size()) << "the stop datagram reached the device";
  EXPECT_EQ(1, LinkLines("loop recv NET message thread stopped"));
}

TEST_F(ArmLinkTest, StopOnNeverStartedLinkOnlySetsTheStopFlag) {
  EXPECT_FALSE(m_link.m_stop.load());
  EXPECT_EQ(0, m_link.StopLoopRecv());
  EXPECT_TRUE(m_link.m_stop.load());
  EXPECT_FALSE(m_link.m_socket.IsOpen());
  for (const auto& line : m_log.Lines())
    EXPECT_NE(0u, line.function.rfind("ArmCommViaNetwork::", 0)) << line.message;
}

TEST_F(ArmLinkTest, RestartAfterStopBindsAgainAndForgetsTheCompanion) {
  Companion companion;
  StartAndGreet(companion);
  ASSERT_EQ(0, m_link.StopLoopRecv());
  ASSERT_EQ(0, m_link.StartLoopRecv());

  // The new start has not heard the companion yet.
  const Bytes first = Pattern(16, 0x01);
  EXPECT_EQ(0, m_link.SendOrder(first.data(), 16));
  Bytes got;
  EXPECT_FALSE(companion.Recv(&got, milliseconds(300)));

  companion.Send(Pattern(3, 0x77));
  ASSERT_TRUE(m_device.WaitForCount(2, milliseconds(2000)));
  const Bytes second = Pattern(16, 0x02);
  EXPECT_EQ(0, m_link.SendOrder(second.data(), 16));
  ASSERT_TRUE(companion.Recv(&got, milliseconds(2000)));
  EXPECT_EQ(second, got);
}

TEST_F(ArmLinkTest, StartWhileRunningReplacesTheRunningLink) {
  ASSERT_EQ(0, m_link.StartLoopRecv());
  ASSERT_EQ(0, m_link.StartLoopRecv());
  EXPECT_EQ(1, LinkLines("loop recv NET message thread stopped"));
  EXPECT_EQ(1, LinkLines("loop send NET message thread stopped"));

  Companion companion;
  companion.Send(Pattern(4, 0x40));
  ASSERT_TRUE(m_device.WaitForCount(1, milliseconds(2000)));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(1u, m_device.Msgs().size()) << "one datagram relayed more than once";
  m_link.StopLoopRecv();
  EXPECT_EQ(2, LinkLines("loop recv NET message thread stopped"));
}

TEST_F(ArmLinkTest, BindFailureReturnsMinusOneAndLeavesNoSocketOpen) {
  UdpSocket holder;
  ASSERT_EQ(0, UdpSocket::Startup());
  ASSERT_EQ(0, holder.Open());
  ASSERT_EQ(0, holder.SetExclusiveAddress());
  ASSERT_EQ(0, holder.Bind(UdpSocket::Endpoint("127.0.0.1", kLinkPort)));

  EXPECT_EQ(-1, m_link.StartLoopRecv());
  EXPECT_FALSE(m_link.m_socket.IsOpen());
  // Counted around a second attempt: the first one's log line opened the log file.
  const int fds_before = CountOpenDescriptors();
  EXPECT_EQ(-1, m_link.StartLoopRecv());
  if (fds_before >= 0) {
    EXPECT_EQ(fds_before, CountOpenDescriptors()) << "the failed start left a socket open";
  }
  int bind_failed = 0;
  for (const auto& line : m_log.Lines())
    bind_failed +=
        line.message == "bind failed" && line.function == "ArmCommViaNetwork::StartLoopRecv";
  EXPECT_EQ(2, bind_failed);

  // Nothing runs: a stop finds no worker to end.
  m_link.StopLoopRecv();
  EXPECT_EQ(0, LinkLines("loop recv NET message thread stopped"));

  holder.Close();
  Companion companion;
  StartAndGreet(companion);
}

TEST_F(ArmLinkTest, AddressReuseIsOnWhileRunning) {
  ASSERT_EQ(0, m_link.StartLoopRecv());
  UdpSocket other;
  ASSERT_EQ(0, other.Open());
  ASSERT_EQ(0, other.SetReuseAddress(true));
  EXPECT_EQ(0, other.Bind(UdpSocket::Endpoint("0.0.0.0", kLinkPort)));
  other.Close();
}

TEST_F(ArmLinkTest, SendErrorEndsSendWorkerOnlyAndTheQueueThenFills) {
  Companion companion;
  StartAndGreet(companion);

  // Larger than any UDP datagram, so the send fails.
  const Bytes too_big(65536, 0x5A);
  ASSERT_EQ(0, m_link.SendOrder(too_big.data(), static_cast<uint32_t>(too_big.size())));
  ASSERT_TRUE(m_log.WaitFor("Send to error:-1", milliseconds(2000)));

  // The receive direction goes on.
  companion.Send(Pattern(7, 0x70));
  ASSERT_TRUE(m_device.WaitForCount(2, milliseconds(2000)));

  // Nobody drains the queue any more: 1024 messages fit, the next one waits and is lost.
  const Bytes msg = Pattern(32, 0x01);
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(0, m_link.SendOrder(msg.data(), 32)) << i;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, m_link.SendOrder(msg.data(), 32));
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, milliseconds(150));
  EXPECT_LT(waited, milliseconds(1500));
  EXPECT_EQ(1, LinkLines("Check recv msg queue full"));
  Bytes got;
  EXPECT_FALSE(companion.Recv(&got, milliseconds(50)));

  EXPECT_EQ(0, m_link.StopLoopRecv());
  EXPECT_EQ(0, LinkLines("loop send NET message thread stopped"));
  EXPECT_EQ(1, LinkLines("loop recv NET message thread stopped"));
}

TEST_F(ArmLinkTest, CompanionThatWentAwayDoesNotBreakReceiving) {
  {
    Companion companion;
    StartAndGreet(companion);
    companion.Close();
  }
  // These go to a closed port and draw port-unreachable replies.
  const Bytes msg = Pattern(12, 0x21);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, m_link.SendOrder(msg.data(), 12));
  std::this_thread::sleep_for(milliseconds(100));

  Companion back;
  back.Send(Pattern(6, 0x60));
  ASSERT_TRUE(m_device.WaitForCount(2, milliseconds(2000)));
  EXPECT_TRUE(m_log.MessagesStartingWith("recv from error").empty());
  EXPECT_TRUE(m_log.MessagesStartingWith("Send to error").empty());
  const Bytes after = Pattern(9, 0x90);
  ASSERT_EQ(0, m_link.SendOrder(after.data(), 9));
  Bytes got;
  ASSERT_TRUE(back.Recv(&got, milliseconds(2000)));
  EXPECT_EQ(after, got);
}

}  // namespace
