// The service over the storage link against the simulated device: a disk missing at start is found
// when it appears, orders, status and image frames cross the mailbox, and a lost disk is reported,
// tried again and restored. Start binds the arm link's fixed port.
#include <filesystem>

#include "ServiceFixture.h"
#include "protocol/HostCommMsg.h"

using namespace std::chrono;

using StorageService = ServiceFixture;

TEST_F(StorageService, MissingDiskIsFoundTrafficCrossesAndALostDiskIsTriedUntilItIsBack) {
  m_sim = std::make_unique<SimRig>(SimLink::Storage);  // status every second, frames while scanning
  // `count` more tries about 2.3 s apart (a second's wait and the stop sequence), the last one
  // failed.
  auto tries = [&](int count) {
    const int before = m_log.Count("Reconnect device");
    auto last = steady_clock::now();
    for (int i = 1; i <= count; ++i) {
      ASSERT_TRUE(m_log.WaitFor("Reconnect device", 8000ms, before + i));
      const auto gap = duration_cast<milliseconds>(steady_clock::now() - last).count();
      EXPECT_TRUE(i == 1 || (gap >= 2000 && gap <= 8000))
          << "try " << i << " after " << gap << " ms";
      last = steady_clock::now();
    }
    ASSERT_TRUE(m_log.WaitFor("Open device error", 5000ms, m_log.Count("Open device error") + 1));
  };
  std::filesystem::remove(m_sim->ImagePath());
  m_sim->PointService();
  EXPECT_EQ(m_service.Start(), -1);
  m_started = true;
  EXPECT_GE(m_app.CountEvents(NotConnected), 1);
  tries(1);
  EXPECT_EQ(m_app.CountEvents(ConnectedOk), 0);
  ASSERT_EQ(m_sim->Start(), 0);  // the disk appears between two tries
  ASSERT_TRUE(m_app.WaitForEvent(ConnectedOk, 1, 8000ms));
  const int tries_before = m_log.Count("Reconnect device");

  ASSERT_TRUE(m_log.WaitFor("Recv order to heart beat", 3000ms));
  EXPECT_TRUE(m_app.WaitForMessage(Order, AckOf(SendOrder(GetDeviceStaticInfo)), 3000ms));
  SendOrder(StartScan);
  ASSERT_TRUE(m_app.WaitForMessages(OriginalImagePiece, 5, 5000ms));
  EXPECT_TRUE(m_app.WaitForMessage(Order, AckOf(SendOrder(StopScan)), 3000ms));
  const std::vector<AppMessage> frames =
      m_app.Messages(OriginalImagePiece);  // whole, from the first, in order
  for (uint32_t i = 0; i < frames.size(); ++i)
    EXPECT_EQ(frames[i].payload, m_sim->Device().ExpectedFrame(i + 1, OriginalImagePiece))
        << "frame " << i + 1;
  EXPECT_TRUE(m_app.WaitForMessages(ControllerStatus, 1, 3000ms));
  EXPECT_EQ(m_log.Count("Reconnect device"), tries_before);  // none while connected

  // The disk goes away just after a heartbeat, so the host's next transfer is the receive
  // worker's read, which finds the disk's blocks gone.
  ASSERT_TRUE(m_log.WaitFor("Recv order to heart beat", 3000ms,
                            m_log.Count("Recv order to heart beat") + 1));
  m_sim->Stop();
  std::filesystem::resize_file(m_sim->ImagePath(), 0);
  EXPECT_TRUE(m_log.WaitFor("Storage read error", 3000ms));
  EXPECT_TRUE(m_app.WaitForEvent(CommError, 1, 3000ms));
  tries(2);
  const int connected = m_app.CountEvents(ConnectedOk),
            beats = m_log.Count("Recv order to heart beat");
  ASSERT_EQ(m_sim->Start(), 0);  // back, empty, as a freshly started device presents it
  ASSERT_TRUE(m_app.WaitForEvent(ConnectedOk, connected + 1, 8000ms));
  EXPECT_TRUE(m_log.WaitFor("Recv order to heart beat", 3000ms, beats + 1));  // a round trip again
  StopAndCheck();
}
