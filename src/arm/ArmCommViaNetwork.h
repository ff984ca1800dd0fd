// Arm link: relays arm messages between the device and the arm companion process over
// loopback UDP. PLACEHOLDER: the full link replaces this file; the interface below is what
// the service and the engine rely on.
#pragma once

#include <atomic>
#include <cstdint>

class HostCommProtocolImpl;

class ArmCommViaNetwork {
 public:
  ArmCommViaNetwork();
  ~ArmCommViaNetwork();

  int StartLoopRecv();
  int StopLoopRecv();
  // Queues one device arm message for the companion; 0 or -1.
  int SendOrder(const uint8_t* data, uint32_t len);

  std::atomic<HostCommProtocolImpl*> m_protocol{nullptr};
};
