// Storage transport: the device's 50 MiB disk as a mailbox. PLACEHOLDER: the full transport
// replaces this file; the interface below is what the protocol engine relies on.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/WorkFlowBufferQueue.h"

class HostCommViaStorage {
 public:
  HostCommViaStorage();
  ~HostCommViaStorage();

  int StartLoopRecv();
  int StopLoopRecv();
  int SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length);
  void PrintVolumeRunInfo();

  // Received messages for the engine: bytes_used = payload length, msg_type = message type.
  WorkFlowBufferQueue m_recv_msg_queue;
  std::atomic<bool> m_stop{false};
};
