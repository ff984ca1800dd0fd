// TCP transport (the library is always the client). PLACEHOLDER: the full transport replaces
// this file; the interface below is what the protocol engine relies on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/WorkFlowBufferQueue.h"

class HostCommViaNetwork {
 public:
  HostCommViaNetwork();
  ~HostCommViaNetwork();

  int StartLoopRecv();
  int StopLoopRecv();
  int SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length);
  // Validates a candidate frame (see FrameCodec::Check).
  static int32_t BuildMsg(const uint8_t* data, uint32_t available);

  // Complete frames for the engine: bytes_used = L + 16, the frame from offset 0.
  WorkFlowBufferQueue m_recv_msg_queue;
  uint32_t m_buffer_count = 256;
  std::atomic<bool> m_stop{false};
  bool m_is_server = true;
  std::string m_device_ip_type1 = "192.168.66.1";
  std::string m_device_ip_type3 = "192.168.60.1";
  std::string m_remote_ip = m_device_ip_type3;
  uint32_t m_remote_port = 28992;
};
