// The exported service end to end: a fixture that captures the log and the application's callbacks,
// starts the service against a simulated device and stops it after the test, whatever its outcome.
// Start binds the arm link's fixed UDP port, so files that use it are *_fixedports_test.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "AppCallbacks.h"
#include "LogCapture.h"
#include "SimSupport.h"
#include "TestWait.h"
#include "service/KestalHostCommServiceImpl.h"

class ServiceFixture : public ::testing::Test {
 protected:
  void TearDown() override;

  // Points the service at `sim`, starts it and waits for "Connected OK" (fatal on failure).
  void StartAgainst(SimRig& sim);
  // Starts a simulator of the test's own (m_sim, stopped only after the service) and the service
  // against it.
  SimRig& StartSim(SimLink link, const SimDeviceOptions& options = SimDeviceOptions());
  // Stops the service (if a test started it) and checks that the stop ended every worker and took
  // its minimum second.
  void StopAndCheck();
  // Sends an order through the exported interface; returns its sequence number.
  uint16_t SendOrder(uint16_t sub_type, const std::vector<uint8_t>& params = {});

  KestalHostCommService& m_service = KestalHostCommService::GetInstance();
  KestalHostCommService::Impl& m_impl =
      KestalHostCommService::Impl::Of(m_service);  // what the service holds
  LogCapture m_log;
  AppCallbacks m_app;
  bool m_started = false;
  std::unique_ptr<SimRig> m_sim;
};
