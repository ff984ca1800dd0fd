// The arm link over loopback UDP on its fixed ports: a companion socket on 127.0.0.1:27000 talks to
// the link on 26000. A device relay stands in for the engine (same arguments) unless a case unsets
// it.
#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#ifdef __linux__
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "AppCallbacks.h"
#include "ForkedChild.h"
#include "LogCapture.h"
#include "TestWait.h"
#include "arm/ArmCommViaNetwork.h"
#include "common/CallbackGate.h"
#include "common/Clock.h"
#include "protocol/HostCommProtocolImpl.h"

using namespace std::chrono;
using Bytes = std::vector<uint8_t>;
using Relayed = std::vector<std::pair<uint16_t, Bytes>>;  // (type, message) as the device got them

class ArmLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_companion.Open() == 0 &&
                m_companion.Bind(UdpSocket::Endpoint("127.0.0.1", 27000)) == 0);
    m_link.SetDeviceRelay([this](uint16_t type, const uint8_t* data, uint32_t len) {
      return m_relayed.Add({type, Bytes(data, data + len)}), 0;
    });
  }
  void Tell(const Bytes& b) { m_companion.SendTo(b.data(), uint32_t(b.size()), m_link_address); }
  std::optional<Bytes> Heard(
      int timeout_ms = 2000) {  // one datagram at the companion, if one came in time
    Bytes b(70000);
    const int n = m_companion.RecvFrom(b.data(), uint32_t(b.size()), nullptr, timeout_ms);
    return n < 0 ? std::nullopt : std::optional<Bytes>(Bytes(b.begin(), b.begin() + n));
  }
  Relayed Device() { return m_relayed.Copy(); }
  void Greet() {  // the companion speaks and is heard
    const size_t n = Device().size();
    Tell({'h', 'i'});
    ASSERT_TRUE(WaitUntil([&] { return Device().size() > n; }, 2000ms));
  }
  void Send(const Bytes& b) { EXPECT_EQ(m_link.SendOrder(b.data(), uint32_t(b.size())), 0); }
  int Stopped(const std::string& worker) {
    return m_log.Count("loop " + worker + " NET message thread stopped");
  }

  LogCapture m_log;
  UdpSocket m_companion;  // the arm companion process
  const UdpEndpoint m_link_address = UdpSocket::Endpoint("127.0.0.1", 26000);
  Seen<std::pair<uint16_t, Bytes>> m_relayed;
  ArmCommViaNetwork m_link;  // stopped first
};

TEST_F(ArmLink, RelaysBothWaysOnceTheCompanionSpokeAndPacesSends) {
  ASSERT_EQ(m_link.StartLoopRecv(), 0);
  Send(Bytes(20, 0x30));  // nobody heard yet: dropped, not kept
  EXPECT_FALSE(Heard(300));
  Tell(Bytes(100, 0xA0));  // cut to 64 bytes
  Tell({});                // not relayed
  Tell(Bytes(10, 0x11));   // padded with zeros, none left over from the longer one
  ASSERT_TRUE(WaitUntil([&] { return Device().size() >= 2; }, 2000ms));
  Bytes padded(10, 0x11);
  padded.resize(64, 0);
  EXPECT_EQ(Device(), (Relayed{{1, Bytes(64, 0xA0)}, {1, padded}}));
  // Queued at once, the last of 20 messages cannot leave before 19 gaps of 500 us have passed.
  const uint64_t queued_us = kestal::MonotonicUs();
  for (int i = 0; i < 20; ++i) Send(Bytes(8, uint8_t(i)));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Heard(), Bytes(8, uint8_t(i))) << i;
  EXPECT_GE(kestal::MonotonicUs() - queued_us, 19 * 500u);
  // A start while running replaces the link; wired to an engine as the service wires it, datagrams
  // go to the engine as type 1.
  HostCommProtocolImpl engine;
  engine.SetHostCommType(
      2);  // names no transport: the engine starts nothing, logs each message given
  EXPECT_EQ(engine.StartLoopRecv(), -1);
  m_link.SetDeviceRelay([&](uint16_t type, const uint8_t* data, uint32_t len) {
    return engine.SendOrder(type, data, len);
  });
  ASSERT_EQ(m_link.StartLoopRecv(), 0);
  EXPECT_EQ(Stopped("recv"), 1);
  for (int i = 0; i < 3; ++i) Tell(Bytes(5, uint8_t(i)));
  EXPECT_TRUE(m_log.WaitFor("Not support host communication type:2", 2000ms, 3));
  m_link.StopLoopRecv();
  EXPECT_EQ(m_log.Count("Not support host communication type:2"), 3);  // none from an engine worker
  EXPECT_EQ(Device().size(), 2u);
}

TEST_F(ArmLink, StopsPromptlyRestartsAfreshAndContainsFailures) {
  EXPECT_EQ(m_link.StopLoopRecv(), 0);  // never started: nothing to end
  {                                     // a taken port: -1, no socket left open, nothing runs
    UdpSocket holder;
    ASSERT_TRUE(holder.Open() == 0 && holder.SetExclusiveAddress() == 0 &&
                holder.Bind(m_link_address) == 0);
    EXPECT_EQ(m_link.StartLoopRecv(), -1);
    EXPECT_FALSE(m_link.IsOpen());
  }
  const std::string shared =
      "UDP port 26000 is held by another socket as well: arm messages may go to the other process";
  {  // a port that another process's link holds with address reuse: shared, with a warning
    UdpSocket other;
    ASSERT_TRUE(other.Open() == 0 && other.SetReuseAddress(true) == 0 &&
                other.Bind(UdpSocket::Endpoint("0.0.0.0", 26000)) == 0);
    ASSERT_EQ(m_link.StartLoopRecv(), 0);
  }
  EXPECT_EQ(m_log.Count(shared), 1);
  EXPECT_EQ(Stopped("recv"), 0);
  Greet();
  {  // another process's link binds the port after this one and takes the stop datagram "End":
     // the stop wakes its own receive worker all the same
    UdpSocket later;
    ASSERT_TRUE(later.Open() == 0 && later.SetReuseAddress(true) == 0 &&
                later.Bind(UdpSocket::Endpoint("0.0.0.0", 26000)) == 0);
    std::this_thread::sleep_for(50ms);  // the receive worker waits again
    const auto t0 = steady_clock::now();
    EXPECT_EQ(m_link.StopLoopRecv(), 0);
    EXPECT_LT(steady_clock::now() - t0, 1000ms * kTimeScale);
  }
  EXPECT_TRUE(Stopped("recv") == 1 && Stopped("send") == 1 && !m_link.IsOpen());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Device().size(), 1u) << "the stop datagram reached the device";
  ASSERT_EQ(m_link.StartLoopRecv(), 0);
  Send(Bytes(16, 1));  // the new start has not heard the companion yet
  EXPECT_FALSE(Heard(300));
  Greet();
  Send(Bytes(9, 0x90));
  EXPECT_EQ(Heard(), Bytes(9, 0x90));
  // A failed send loses that message alone; a full queue refuses at once (the engine's receive
  // worker never waits on the arm link), logged once per burst.
  Send(Bytes(65536, 0x5A));  // larger than any datagram
  ASSERT_TRUE(m_log.WaitFor("Send to error:-1", 2000ms));
  Send(Bytes(9, 0x91));
  EXPECT_EQ(Heard(), Bytes(9, 0x91));
  int refused = 0,
      tried =
          0;  // of 3000 sends as fast as they go (the worker sends one every 500 us), in a second
  for (const auto t1 = steady_clock::now(); tried < 3000 && steady_clock::now() - t1 < 1s; ++tried)
    refused += m_link.SendOrder(Bytes(32, 1).data(), 32) != 0;
  EXPECT_GT(refused, 1000);
  EXPECT_LT(m_log.Count("Check recv msg queue full") * 5,
            refused);  // a line per burst, not per message
  m_link.StopLoopRecv();
  EXPECT_TRUE(Stopped("send") == 2 && Stopped("recv") == 2 &&
              m_log.Count(shared) == 1);  // none when alone
}

// A device event raised on the receive worker (a disk write failing while it relays) reaches the
// application; a callback that waits for the thread that stops is given up after the service's
// 2 s grace, and the link's stop returns without it.
TEST_F(ArmLink, StopGivesUpAReceiveWorkerCallbackThatWaitsForTheStoppingThread) {
  std::atomic<int> phase{0};  // 1: in the callback, 2: the stop has returned
  kestal::CallbackGate gate;  // the service's
  m_link.SetDeviceRelay([&](uint16_t, const uint8_t*, uint32_t) {
    kestal::CallbackGate::Scope callback(gate, "device event");
    phase = 1;
    WaitUntil([&] { return phase == 2; }, 10000ms);
    callback.Leave();  // as the service calls back: a given-up worker ends here
    return 0;
  });
  ASSERT_EQ(m_link.StartLoopRecv(), 0);
  Tell({'h', 'i'});
  ASSERT_TRUE(WaitUntil([&] { return phase == 1; }, 2000ms));
  const auto t0 = steady_clock::now();
  gate.Close();  // the service's stop: no callback starts, 2 s for those running
  EXPECT_EQ(gate.GiveUpAfter(2000ms).size(), 1u);
  EXPECT_EQ(m_link.StopLoopRecv(), 0);
  EXPECT_LT(steady_clock::now() - t0, 3000ms * kTimeScale);
  gate.Open();
  phase = 2;
  EXPECT_TRUE(m_log.WaitFor(
      "Callback device event has returned after it was given up, its thread ends", 2000ms));
  EXPECT_EQ(Stopped("recv"), 0);  // it ended right where the callback returned
  kestal::CallbackGate::JoinEndedWorkers();
  // The socket was closed by the stop: the next start binds the port afresh, not shared.
  ASSERT_EQ(m_link.StartLoopRecv(), 0);
  EXPECT_TRUE(m_log.MessagesStartingWith("UDP port 26000 is held").empty());
}

#ifdef __linux__
class ArmLinkBetweenHosts : public ArmLink {
 protected:
  // The forked child's part, in a network namespace of its own; exits 77 where namespaces or veth
  // pairs are missing.
  void FromAnotherHost() {
    int ready[2], go[2];
    if (::unshare(CLONE_NEWNET) != 0 || ::pipe(ready) != 0 || ::pipe(go) != 0) ::_exit(77);
    char c = 1;
    const pid_t far = ::fork();
    if (far == 0) {  // the other host, alive (keeping the pair) until told: three datagrams once
                     // its end is up
      if (::unshare(CLONE_NEWNET) != 0 || ::write(ready[1], &c, 1) != 1 ||
          ::read(go[0], &c, 1) != 1)
        ::_exit(1);
      UdpSocket s;
      for (int i = 0; i < 3 && s.Open() == 0; ++i)
        s.SendTo(Bytes(8, 0xFA).data(), 8, UdpSocket::Endpoint("10.77.0.1", 26000));
      ::_exit(::write(ready[1], &c, 1) == 1 && ::read(go[0], &c, 1) == 1 ? 0 : 1);
    }
    const std::string pid = std::to_string(far),
                      pair =
                          "ip link add kst-a type veth peer name kst-b netns " + pid +
                          " && ip link set lo up && ip addr add 10.77.0.1/24 dev kst-a && ip link "
                          "set kst-a up && nsenter -t " +
                          pid +
                          " -n sh -c 'ip addr add 10.77.0.2/24 dev kst-b && ip link set kst-b up'";
    if (::read(ready[0], &c, 1) != 1 || std::system(pair.c_str()) != 0)
      ::kill(far, SIGKILL), ::_exit(77);
    ASSERT_EQ(m_link.StartLoopRecv(), 0);
    ASSERT_TRUE(::write(go[1], &c, 1) == 1 && ::read(ready[0], &c, 1) == 1);
    std::this_thread::sleep_for(300ms);  // the far datagrams have arrived by now
    UdpSocket own, loopback;
    ASSERT_TRUE(own.Open() == 0 && own.Bind(UdpSocket::Endpoint("10.77.0.1", 0)) == 0 &&
                loopback.Open() == 0);
    own.SendTo(Bytes(8, 0x0A).data(), 8, m_link_address);
    loopback.SendTo(Bytes(8, 0x0B).data(), 8, m_link_address);
    ASSERT_TRUE(WaitUntil([&] { return Device().size() >= 2; }, 2000ms));
    const Relayed relayed = Device();
    EXPECT_TRUE(relayed.size() == 2 && relayed[0].second[0] == 0x0A &&
                relayed[1].second[0] == 0x0B);
    EXPECT_EQ(m_log.MessagesStartingWith("Drop datagrams from another host, IP:").size(), 1u);
    m_link.StopLoopRecv();
    int status = 0;
    EXPECT_TRUE(::write(go[1], &c, 1) == 1 && ::waitpid(far, &status, 0) == far && status == 0);
  }
};

// With a veth pair to a second namespace, the other host: its datagrams reach nothing and are
// logged once; this host's own interface address and 127.0.0.1 get through.
TEST_F(ArmLinkBetweenHosts, DatagramsFromAnotherHostReachNothing) {
  RunInForkedChild([this] { FromAnotherHost(); },
                   "no network namespaces and veth pairs here (needs root and iproute2)");
}
#endif
