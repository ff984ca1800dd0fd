#include "ServiceFixture.h"

#include "common/Clock.h"
#include "protocol/HostCommMsg.h"

using namespace std::chrono_literals;

void ServiceFixture::TearDown() {
  if (m_started) m_service.Stop();
  m_started = false;
  kestal::SetWallClockMs(nullptr);
}

void ServiceFixture::StartAgainst(SimRig& sim) {
  sim.PointService();
  ASSERT_EQ(m_service.Start(), 0);
  m_started = true;
  ASSERT_TRUE(m_app.WaitForEvent(ConnectedOk, 1, 5000ms)) << "no connection to the simulator";
}

SimRig& ServiceFixture::StartSim(SimLink link, const SimDeviceOptions& options) {
  m_sim = std::make_unique<SimRig>(link, options);
  EXPECT_EQ(m_sim->Start(), 0);
  if (!HasFailure()) StartAgainst(*m_sim);
  return *m_sim;
}

void ServiceFixture::StopAndCheck() {
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(m_service.Stop(), 0);
  m_started = false;
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 1000ms);
  EXPECT_FALSE(m_impl.WorkersRunning());
}

uint16_t ServiceFixture::SendOrder(uint16_t sub_type, const std::vector<uint8_t>& params) {
  const uint16_t seq = m_service.GetMsgSeqNo();
  std::vector<uint8_t> order = HostCommMsg::BuildOrder(seq, sub_type, params);
  EXPECT_EQ(m_service.SendHostCommMsg(Order, order.data(), static_cast<unsigned>(order.size())), 0);
  return seq;
}
