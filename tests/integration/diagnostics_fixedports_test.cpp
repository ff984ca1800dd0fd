// A faulty TCP session captured to a file (KESTAL_CAPTURE), then read back every way a field
// engineer would: the health counters against what the simulator injected, `kestal replay` against
// what the application received, the dissector (through tshark) against what crossed the wire, and
// `kestal-devsim --replay` playing the device's side to the library again. Start binds the arm
// link's fixed port.
#include <gtest/gtest.h>

#if defined(KESTAL_CLI_PATH) && defined(KESTAL_DEVSIM_PATH)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ServiceFixture.h"
#include "kestal/kestal_c.h"
#include "Subprocess.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "protocol/HostCommProtocolImpl.h"
#include "transport/network/FrameCodec.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

namespace {

void SetCaptureFile(const std::string& path) {  // "" : none
#ifdef _WIN32
  _putenv_s("KESTAL_CAPTURE", path.c_str());
#else
  path.empty() ? unsetenv("KESTAL_CAPTURE") : setenv("KESTAL_CAPTURE", path.c_str(), 1);
#endif
}

using Diagnostics = ServiceFixture;

// The messages as `kestal replay` prints them; without the ACKs of heartbeats when `heartbeats` is
// false.
Lines Printed(const std::vector<AppMessage>& messages, bool heartbeats = true) {
  Lines out;
  for (const AppMessage& m : messages) {
    if (!heartbeats && m.type == Order && m.payload.size() >= 4 &&
        kestal::LoadU16(m.payload.data() + 2) == HeartBeat)
      continue;
    char line[64];
    std::snprintf(line, sizeof line, "message %u %zu %08x", m.type, m.payload.size(),
                  FrameCodec::CalcCrc(m.payload.data(), static_cast<uint32_t>(m.payload.size())));
    out.push_back(line);
  }
  return out;
}

Lines Split(const std::string& text, const std::string& separators) {  // the non-empty pieces
  Lines out;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find_first_of(separators, at), text.size());
    if (end > at) out.push_back(text.substr(at, end - at));
  }
  return out;
}

// Runs a program in the working directory until it ends; its stdout.
std::string RunTool(const std::vector<std::string>& argv) {
  Subprocess p;
  EXPECT_EQ(p.Start(argv, std::filesystem::current_path().string(), "run"), 0);
  EXPECT_EQ(p.Wait(30000ms), 0) << p.Describe() << ": " << p.Stderr();
  return p.Stdout();
}

// What `kestal replay` printed of a capture: the messages the application got live come first;
// after them only heartbeat ACKs that arrived while Stop ran, when no callback is called any more.
void ExpectReplayOf(const std::string& capture, const Lines& live, size_t connections) {
  Lines replayed = Split(RunTool({KESTAL_CLI_PATH, "replay", capture}), "\n");
  ASSERT_GT(replayed.size(), live.size());
  const std::string count = replayed.back();
  replayed.resize(live.size());
  EXPECT_EQ(replayed, live);
  unsigned n = 0, c = 0;
  EXPECT_EQ(
      std::sscanf(count.c_str(),
                  ("replayed " + capture + ": %u connection(s), %u messages").c_str(), &c, &n),
      2);
  EXPECT_TRUE(c == connections && n >= live.size() && n <= live.size() + 3) << count;
}

}  // namespace

// Against a simulator, captured to session.pcap: two bad checksums, three garbage bursts and an
// oversize header, each followed by an intact status; image frames; then a connection dropped in
// the middle of a frame, and an order on the next one. Only the intact messages reach the
// application, and the loss is announced once. Then the capture is read back every way.
TEST_F(Diagnostics, TheCountersReplayDissectorAndPlayerAgreeWithTheLiveSession) {
  SetCaptureFile("session.pcap");
  SimRig& sim = StartSim(SimLink::Network, QuietDevice());
  SetCaptureFile("");
  SimNetworkServer& device = sim.Server();
  const Bytes status(ControllerStatusLayout::kLength, 0x21);
  auto intact = [&] { return device.SendMessage(ControllerStatus, status.data(), 56); };
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(device.SendBadChecksumFrame(ControllerStatus, status.data(), 56) + intact(), 0);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(device.SendGarbageThenFrame(9, ControllerStatus, status.data(), 56), 0);
  ASSERT_EQ(device.SendOversizeFrame(70000) + intact(), 0);
  ASSERT_TRUE(m_app.WaitForMessages(ControllerStatus, 6, 3s));
  SendOrder(StartScan);
  ASSERT_TRUE(m_app.WaitForMessages(OriginalImagePiece, 2, 3s));
  ASSERT_TRUE(m_app.WaitForMessage(Order, AckOf(SendOrder(StopScan)), 3s));
  ASSERT_EQ(device.DropMidFrame(ControllerStatus, status.data(), 56, 20), 0);
  ASSERT_TRUE(m_app.WaitForEvent(ConnectedOk, 2, 5s));
  ASSERT_TRUE(m_app.WaitForMessage(Order, AckOf(SendOrder(GetFpgaTemp)), 3s));
  EXPECT_EQ(m_app.Messages(ControllerStatus).size(), 6u);  // no damaged frame, no half frame
  std::vector<HostCommDeviceEvent> events;  // the service leaves the reconnection to the link
  for (const AppEvent& e : m_app.Events()) events.push_back(e.event);
  EXPECT_EQ(events,
            (std::vector<HostCommDeviceEvent>{Connecting, ConnectedOk, CommError, ConnectedOk}));
  StopAndCheck();
  const std::vector<AppMessage> live = m_app.Messages();

  const LinkHealth& health = m_impl.Engine().Health();
  auto count = [](const LinkHealth::Counter& c) { return LinkHealth::Get(c); };
  EXPECT_EQ(count(health.checksum_errors), 2u);
  EXPECT_EQ(count(health.oversize_frames), 1u);
  EXPECT_EQ(count(health.resyncs), 6u);  // each fault's bytes skipped until the next frame
  EXPECT_EQ(count(health.reconnects), 1u);
  EXPECT_EQ(count(health.image_frames), m_app.Messages(OriginalImagePiece).size());
  // With two comm types: one a connection.
  EXPECT_TRUE(count(health.orders_sent) == 5 && count(health.orders_acked) == 5);
  EXPECT_TRUE(count(health.heartbeats_sent) >= 1 && count(health.last_rtt_us) > 0);
  EXPECT_TRUE(m_log.Contains("Link health, " + health.Line()));  // logged at Stop

  // Replayed without a socket, the capture gives the application what it got live, in order.
  ExpectReplayOf("session.pcap", Printed(live), 2);

#if defined(KESTAL_TSHARK_PATH) && !defined(_WIN32)
  // The dissector, as tshark runs it over the capture, shows what crossed the wire.
  const std::string port = std::to_string(sim.Server().Port());
  // Each frame's value, in order.
  auto decoded = [&](const std::string& filter, const std::string& field) {
    return Split(RunTool({KESTAL_TSHARK_PATH, "-X", "lua_script:" KESTAL_DISSECTOR_PATH, "-r",
                          "session.pcap", "-d", "tcp.port==" + port + ",kestal", "-Y", filter, "-T",
                          "fields", "-e", field}),
                 ",\n");
  };
  // The host's orders other than heartbeats: as the device received them.
  Lines types, lengths, seq_nos;
  for (const SimHostMessage& m : sim.Device().HostMessages()) {
    if (m.type != Order || kestal::LoadU16(m.payload.data() + 2) == HeartBeat) continue;
    types.push_back("6"), lengths.push_back(std::to_string(m.payload.size()));
    seq_nos.push_back(std::to_string(kestal::LoadU16(m.payload.data())));
  }
  const std::string orders = "tcp.dstport == " + port + " && kestal.order.sub_type != 0";
  EXPECT_EQ(decoded(orders, "kestal.type"), types);
  EXPECT_EQ(decoded(orders, "kestal.length"), lengths);
  EXPECT_EQ(decoded(orders, "kestal.seq_no"), seq_nos);
  // The device's frames: the ACKs the application got, exactly the damaged frames flagged.
  Lines acks;
  for (const AppMessage& m : m_app.Messages(Order))
    acks.push_back(std::to_string(kestal::LoadU16(m.payload.data())));
  Lines sent_acks = decoded("tcp.srcport == " + port + " && kestal.type == 6", "kestal.seq_no");
  EXPECT_GE(sent_acks.size(), acks.size());
  sent_acks.resize(acks.size());  // beyond: heartbeat ACKs that came while Stop ran
  EXPECT_EQ(sent_acks, acks);
  const Lines checks = decoded("tcp.srcport == " + port + " && kestal", "kestal.checksum.status");
  EXPECT_EQ(std::count(checks.begin(), checks.end(), "0"), 2) << "bad checksums flagged";
  const Lines expert = decoded("kestal.length.too_large", "kestal.length");
  EXPECT_EQ(std::count(expert.begin(), expert.end(), "70000"), 1) << "the oversize header flagged";
#else
  std::printf("tshark was not found when the build was configured: the dissector is not checked\n");
#endif

  // Played back by the simulator to the library, the capture delivers the same messages again
  // (heartbeat ACKs aside: the simulator answers the new session's own).
  Subprocess player;
  ASSERT_EQ(player.Start({KESTAL_DEVSIM_PATH, "--replay", "session.pcap", "--fast", "--port", "0",
                          "--quiet", "--duration-s", "60"},
                         std::filesystem::current_path().string(), "player"),
            0);
  ASSERT_TRUE(player.WaitForStdout("\n", 5000ms)) << player.Stderr();
  unsigned player_port = 0;
  ASSERT_EQ(std::sscanf(player.Stdout().c_str(), "kestal-devsim: listening on 127.0.0.1:%5u",
                        &player_port),
            1);
  m_app.Clear();
  kestal_set_network_endpoint(KESTAL_COMM_NETWORK, "127.0.0.1", player_port);
  ASSERT_EQ(m_service.Start(), 0);
  m_started = true;
  const Lines again = Printed(live, false);
  EXPECT_TRUE(
      WaitUntil([&] { return Printed(m_app.Messages(), false).size() >= again.size(); }, 10s));
  EXPECT_EQ(Printed(m_app.Messages(), false), again);
  StopAndCheck();
}

// The storage link's messages are captured framed as on the network: replayed, they give what the
// application got.
TEST_F(Diagnostics, AMailboxSessionIsCapturedAsIfItCrossedTheNetwork) {
  SetCaptureFile("mailbox.pcap");
  StartSim(SimLink::Storage, QuietDevice());
  SetCaptureFile("");
  SendOrder(StartScan);
  ASSERT_TRUE(m_app.WaitForMessages(OriginalImagePiece, 2, 5s));
  ASSERT_TRUE(m_app.WaitForMessage(Order, AckOf(SendOrder(StopScan)), 3s));
  StopAndCheck();
  ExpectReplayOf("mailbox.pcap", Printed(m_app.Messages()), 1);
}

#else
TEST(Diagnostics, NeedsTheToolTargets) {
  GTEST_SKIP() << "built without the kestal and kestal-devsim targets";
}
#endif
