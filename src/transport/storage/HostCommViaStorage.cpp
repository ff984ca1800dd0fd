#include "transport/storage/HostCommViaStorage.h"

HostCommViaStorage::HostCommViaStorage() { m_recv_msg_queue.Init(128); }
HostCommViaStorage::~HostCommViaStorage() { m_recv_msg_queue.Deinit(); }

int HostCommViaStorage::StartLoopRecv() { return -1; }
int HostCommViaStorage::StopLoopRecv() { m_stop = true; return 0; }
int HostCommViaStorage::SendOrder(uint16_t, const uint8_t*, uint32_t) { return -1; }
void HostCommViaStorage::PrintVolumeRunInfo() {}
