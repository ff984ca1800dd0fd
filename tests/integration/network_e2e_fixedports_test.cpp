// The service over TCP against the simulator on 127.0.0.1 (ephemeral port), a slow application,
// and a large firmware file over the mailbox as well; Start binds the arm link's fixed port.
#include <algorithm>
#include <atomic>
#include <thread>
#include <set>

#include "NetworkTestFrames.h"
#include "ServiceFixture.h"
#include "arm/UdpSocket.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "common/ThreadName.h"
#include "kestal/kestal_c.h"
#include "protocol/HostCommMsg.h"
#include "protocol/HostCommProtocolImpl.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using NetworkE2E = ServiceFixture;

// After the comm type, heartbeats flow; arm messages cross both ways. (Frames in pieces arriving
// whole and in a row are the frame callback's test in the C interface's.)
TEST_F(NetworkE2E, HeartbeatsAndArmMessagesCrossIntact) {
  UdpSocket companion;  // the arm companion
  ASSERT_TRUE(companion.Open() == 0 &&
              companion.Bind(UdpSocket::Endpoint("127.0.0.1", 27000)) == 0);
  SimRig& sim = StartSim(SimLink::Network, QuietDevice());
  const Bytes file = Payload(100, 3);
  ASSERT_EQ(companion.SendTo(file.data(), 5, UdpSocket::Endpoint("127.0.0.1", 26000)), 5);
  ASSERT_TRUE(sim.Device().WaitForHostMessages(ArmMsg, 1, 3000));
  EXPECT_EQ(sim.Device().HostArmMessages()[0].payload,
            Concat({Bytes(file.begin(), file.begin() + 5), Bytes(59)}));
  ASSERT_EQ(sim.Device().SendArmMsg(file.data(), 100), 0);
  uint8_t got[2048];
  ASSERT_EQ(companion.RecvFrom(got, sizeof got, nullptr, 3000), 100);
  EXPECT_TRUE(std::equal(got, got + 100, file.begin()) && m_app.Messages(ArmMsg).empty());
  // The comm type, 2 heartbeats.
  EXPECT_TRUE(sim.Device().WaitForHostMessages(Order, 3, 3000));
  EXPECT_EQ(sim.Server().CrcErrors() + sim.Server().SkippedBytes() + sim.Server().OversizeErrors(),
            0u);
  StopAndCheck();
}

// A firmware file of `size` bytes, none like its neighbours.
static Bytes FirmwareFile(size_t size) {
  Bytes file(size);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
  return file;
}

// A receive callback that blocks for 7 s while the device streams frames holds up only the
// application: meanwhile heartbeats go on and a large firmware file from another thread crosses
// whole without a full send queue; the frames it had no time for are dropped and counted, and the
// frames after it come whole and in order, as do the heartbeat ACKs of the block.
TEST_F(NetworkE2E, ASlowReceiveCallbackNeverStallsTheLink) {
  SimDeviceOptions options = QuietDevice();
  options.frame_rate = 30;  // 9 MB a second: more than the link holds for the block
  SimRig& sim = StartSim(SimLink::Network, options);
  auto beats = [&] {  // the sequence numbers of the heartbeats the device received
    std::vector<uint16_t> seq_nos;
    for (const SimHostMessage& m : sim.Device().HostMessages())
      if (m.type == Order && m.payload.size() >= 4 && kestal::LoadU16(&m.payload[2]) == HeartBeat)
        seq_nos.push_back(kestal::LoadU16(m.payload.data()));
    return seq_nos;
  };
  std::atomic<int> frames{0}, stage{0};  // stage 1: the callback blocks, 2: it returned
  std::vector<uint16_t> before, after;   // heartbeats seen as it began and as it ended
  m_app.SetMessageHook([&](uint16_t type) {
    if (type != OriginalImagePiece || ++frames != 3) return;
    before = beats(), stage = 1;
    std::this_thread::sleep_for(7s);
    after = beats(), stage = 2;
  });
  SendOrder(StartScan);
  EXPECT_TRUE(WaitUntil([&] { return stage == 1; }, 5s * kTimeScale));
  std::this_thread::sleep_for(3s);  // what the device sends meanwhile would fill every queue
  Bytes file = FirmwareFile(24u << 20);
  EXPECT_EQ(m_service.SendUpdateFirmware(1, file.data(), 24u << 20), 0);
  EXPECT_EQ(stage, 1) << "the firmware file took longer than the blocked callback";
  EXPECT_TRUE(WaitUntil([&] { return stage == 2; }, 20s * kTimeScale));
  const int at_end = frames;
  EXPECT_TRUE(WaitUntil([&] { return frames >= at_end + 5; }, 5s * kTimeScale));
  m_app.SetMessageHook(nullptr);
  ASSERT_EQ(stage, 2);  // the callback no longer uses what the test holds
  EXPECT_TRUE(WaitUntil([&] { return sim.Device().FirmwareComplete(); }, 10s * kTimeScale));
  EXPECT_TRUE(sim.Device().FirmwareCheckOk() && sim.Device().FirmwareImage() == file);
  EXPECT_GE(after.size(), before.size() + 3) << "heartbeats during the 7 s block";
  for (size_t i = before.size(); i < after.size(); ++i)
    EXPECT_TRUE(m_app.WaitForMessage(Order, AckOf(after[i]), 5s)) << "heartbeat " << after[i];
  // The file's chunks leave room in the send queue for the heartbeats.
  EXPECT_FALSE(m_log.Contains("Send cache queue is full"));
  EXPECT_GT(LinkHealth::Get(m_impl.Engine().Health().image_frames_dropped), 0u);
  uint32_t last = 0;  // every frame whole, numbers rising
  for (const AppMessage& m : m_app.Messages(OriginalImagePiece)) {
    ASSERT_GE(m.payload.size(), 4u);
    const uint32_t number = kestal::LoadU32(m.payload.data());
    EXPECT_TRUE(number > last && m.payload == sim.Device().ExpectedFrame(number, m.type)) << number;
    last = number;
  }
  StopAndCheck();
}

// A firmware file three times the send queue and 24 mailbox rings reaches the device whole over
// either link, also when the device stalls a while, and its progress comes back as ACKs. Without
// debug lines: the mailbox would list every byte it writes.
class LargeFirmware : public ServiceFixture, public ::testing::WithParamInterface<SimLink> {};
TEST_P(LargeFirmware, CrossesWhole) {
  SimDeviceOptions options = QuietDevice();
  options.keep_host_messages = false;
  SimRig& sim = StartSim(GetParam(), options);
  Bytes file = FirmwareFile(48u << 20);
  if (GetParam() == SimLink::Network) sim.Server().StallReading(1500);
  kestal::Log::SetLevel(kestal::LogLevel::Error);
  std::atomic<bool> sending{true};  // orders of another thread find room meanwhile
  std::thread orders([&] {
    while (sending) SendOrder(GetFpgaTemp), std::this_thread::sleep_for(200ms);
  });
  EXPECT_EQ(m_service.SendUpdateFirmware(1, file.data(), static_cast<unsigned>(file.size())), 0);
  sending = false;
  orders.join();
  kestal::Log::SetLevel(kestal::LogLevel::Debug);
  ASSERT_TRUE(WaitUntil([&] { return sim.Device().FirmwareComplete(); }, 10s * kTimeScale));
  EXPECT_TRUE(sim.Device().FirmwareCheckOk() && sim.Device().FirmwareImage() == file);
  auto done = [](const Bytes& p) { return p.size() >= 8 && p[6] == 100; };  // progress 100 %
  EXPECT_TRUE(m_app.WaitForMessage(UpdateFirmware, done, 5s));
  StopAndCheck();
}

// A firmware file sent from inside the receive callback crosses whole over either link (over the
// disk it waits for heartbeat ACKs, which the blocked callback must not hold up); every message
// and frame reaches the application on the receive worker.
TEST_P(LargeFirmware, SentFromTheReceiveCallbackCrossesWhole) {
  SimRig& sim = StartSim(GetParam(), QuietDevice());
  SendOrder(StartScan);
  ASSERT_TRUE(m_app.WaitForMessages(OriginalImagePiece, 2, 5s * kTimeScale));
  Seen<std::string> frame_threads;  // the threads that called the frame callback
  kestal_set_frame_callback(
      [](const kestal_frame*, void* seen) {
        static_cast<Seen<std::string>*>(seen)->Add(kestal::ThisThreadName());
      },
      &frame_threads);
  Bytes file = FirmwareFile(4u << 20);
  std::atomic<int> sent{1}, frames{0};  // sent: 1 until the callback's SendUpdateFirmware returned
  std::atomic<bool> armed{true};
  kestal::Log::SetLevel(kestal::LogLevel::Error);  // the mailbox would list every byte it writes
  m_app.SetMessageHook([&](uint16_t type) {
    if (armed.exchange(false)) sent = m_service.SendUpdateFirmware(1, file.data(), 4u << 20);
    frames += type == OriginalImagePiece;
  });
  EXPECT_TRUE(WaitUntil([&] { return sent != 1; }, 20s * kTimeScale));
  EXPECT_TRUE(WaitUntil([&] { return frames >= 3; }, 5s * kTimeScale));  // frame callbacks too
  m_app.SetMessageHook(nullptr);
  kestal_set_frame_callback(nullptr, nullptr);
  kestal::Log::SetLevel(kestal::LogLevel::Debug);
  EXPECT_EQ(sent, 0);
  EXPECT_TRUE(WaitUntil([&] { return sim.Device().FirmwareComplete(); }, 10s * kTimeScale));
  EXPECT_TRUE(sim.Device().FirmwareCheckOk() && sim.Device().FirmwareImage() == file);
  std::set<std::string> message_threads;
  for (const AppMessage& m : m_app.Messages()) message_threads.insert(m.thread);
  const std::set<std::string> recv{"kestal-recv"};
  EXPECT_EQ(message_threads, recv);
  StopAndCheck();
  const std::vector<std::string> called = frame_threads.Copy();
  EXPECT_EQ(std::set<std::string>(called.begin(), called.end()),
            recv);  // no frame callback runs after Stop
}
std::string LinkName(const ::testing::TestParamInfo<SimLink>& link) {
  return link.param == SimLink::Network ? "Tcp" : "Mailbox";
}
INSTANTIATE_TEST_SUITE_P(OverEitherLink, LargeFirmware,
                         ::testing::Values(SimLink::Network, SimLink::Storage), LinkName);
