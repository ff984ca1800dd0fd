// The service over TCP against the simulator on 127.0.0.1 (ephemeral port), and a large firmware
// file over the mailbox as well; Start binds the arm link's fixed port.
#include <algorithm>

#include "NetworkTestFrames.h"
#include "ServiceFixture.h"
#include "arm/UdpSocket.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "protocol/HostCommMsg.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using NetworkE2E = ServiceFixture;

// After the comm type, heartbeats flow; image frames in four pieces arrive whole; arm messages
// cross both ways.
TEST_F(NetworkE2E, HeartbeatsImagesAndArmMessagesCrossIntact) {
  UdpSocket companion;  // the arm companion
  ASSERT_TRUE(companion.Open() == 0 &&
              companion.Bind(UdpSocket::Endpoint("127.0.0.1", 27000)) == 0);
  SimDeviceOptions options = QuietDevice();
  options.image_size = 200000;
  SimRig sim(SimLink::Network, options);
  ASSERT_EQ(sim.Start(), 0);
  StartAgainst(sim);
  SendOrder(StartScan);
  ASSERT_TRUE(m_app.WaitForMessages(OriginalImagePiece, 3, 3s));
  ASSERT_TRUE(m_app.WaitForMessage(Order, AckOf(SendOrder(StopScan)), 3s));
  EXPECT_EQ(m_app.Messages(OriginalImagePiece).size(), sim.Device().FramesSent());
  for (const AppMessage& m : m_app.Messages(OriginalImagePiece))
    EXPECT_TRUE(m.payload == sim.Device().ExpectedFrame(kestal::LoadU32(m.payload.data()), m.type));
  const Bytes file = Payload(100, 3);
  ASSERT_EQ(companion.SendTo(file.data(), 5, UdpSocket::Endpoint("127.0.0.1", 26000)), 5);
  ASSERT_TRUE(sim.Device().WaitForHostMessages(ArmMsg, 1, 3000));
  EXPECT_EQ(sim.Device().HostArmMessages()[0].payload,
            Concat({Bytes(file.begin(), file.begin() + 5), Bytes(59)}));
  ASSERT_EQ(sim.Device().SendArmMsg(file.data(), 100), 0);
  uint8_t got[2048];
  ASSERT_EQ(companion.RecvFrom(got, sizeof got, nullptr, 3000), 100);
  EXPECT_TRUE(std::equal(got, got + 100, file.begin()) && m_app.Messages(ArmMsg).empty());
  // The comm type, start and stop scan, 2 heartbeats.
  EXPECT_TRUE(sim.Device().WaitForHostMessages(Order, 5, 3000));
  EXPECT_EQ(sim.Server().CrcErrors() + sim.Server().SkippedBytes() + sim.Server().OversizeErrors(),
            0u);
  StopAndCheck();
}

// A firmware file three times the send queue and 24 mailbox rings reaches the device whole over
// either link, also when the device stalls a while, and its progress comes back as ACKs. Without
// debug lines: the mailbox would list every byte it writes.
class LargeFirmware : public ServiceFixture, public ::testing::WithParamInterface<SimLink> {};
TEST_P(LargeFirmware, CrossesWhole) {
  SimDeviceOptions options = QuietDevice();
  options.keep_host_messages = false;
  SimRig sim(GetParam(), options);
  ASSERT_EQ(sim.Start(), 0);
  StartAgainst(sim);
  Bytes file(48u << 20);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
  if (GetParam() == SimLink::Network) sim.Server().StallReading(1500);
  kestal::Log::SetLevel(kestal::LogLevel::Error);
  EXPECT_EQ(m_service.SendUpdateFirmware(1, file.data(), static_cast<unsigned>(file.size())), 0);
  kestal::Log::SetLevel(kestal::LogLevel::Debug);
  ASSERT_TRUE(WaitUntil([&] { return sim.Device().FirmwareComplete(); }, 10s * kTimeScale));
  EXPECT_TRUE(sim.Device().FirmwareCheckOk() && sim.Device().FirmwareImage() == file);
  auto done = [](const Bytes& p) { return p.size() >= 8 && p[6] == 100; };  // progress 100 %
  EXPECT_TRUE(m_app.WaitForMessage(UpdateFirmware, done, 5s));
  StopAndCheck();
}
std::string LinkName(const ::testing::TestParamInfo<SimLink>& link) {
  return link.param == SimLink::Network ? "Tcp" : "Mailbox";
}
INSTANTIATE_TEST_SUITE_P(OverEitherLink, LargeFirmware,
                         ::testing::Values(SimLink::Network, SimLink::Storage), LinkName);
