#include "transport/network/HostCommViaNetwork.h"

#include "transport/network/FrameCodec.h"

HostCommViaNetwork::HostCommViaNetwork() { m_recv_msg_queue.Init(m_buffer_count); }
HostCommViaNetwork::~HostCommViaNetwork() { m_recv_msg_queue.Deinit(); }

int HostCommViaNetwork::StartLoopRecv() { return -1; }
int HostCommViaNetwork::StopLoopRecv() { m_stop = true; return 0; }
int HostCommViaNetwork::SendOrder(uint16_t, const uint8_t*, uint32_t) { return -1; }

int32_t HostCommViaNetwork::BuildMsg(const uint8_t* data, uint32_t available) {
  return FrameCodec::Check(data, available, available);
}
