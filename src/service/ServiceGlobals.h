// Process-wide objects of the service, for the service itself and for the tools and tests that
// reach into it. Lower layers get what they need through their configuration instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kestal/KestalHostCommService.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceLifecycle.h"

// The service, set by its constructor; null while the library loads.
extern KestalHostCommService* g_host_comm_service;
// Library-wide message sequence counter; NextMsgSeqNo increments it and returns the new value.
extern std::atomic<uint16_t> g_msg_seq_no;

inline uint16_t NextMsgSeqNo() {
  return static_cast<uint16_t>(g_msg_seq_no.fetch_add(1, std::memory_order_relaxed) + 1);
}

// Reports a status through the service when it exists.
inline void ReportServiceStatus(unsigned int status, const char* text) {
  if (KestalHostCommService* service = g_host_comm_service) service->ReportStatus(status, text);
}

// Internal access to the service's parts, for the library's tests and tools.
class KestalHostCommServiceAccess {
 public:
  static HostCommProtocolImpl& Engine() { return *KestalHostCommService::GetInstance().m_host_comm_protocol; }
  static ArmCommViaNetwork& ArmComm() { return *KestalHostCommService::GetInstance().m_arm_comm; }
  static bool NeedReconnect() { return KestalHostCommService::GetInstance().m_need_reconnect.load(); }
  // Device address of comm type 1 (or 3 with `alt`); 0, or -1 for an address that cannot be
  // one. Never waits for the start/stop lock. For the C interface, tools and tests.
  static int SetNetworkEndpoint(bool alt, const std::string& host, uint32_t port) {
    return Engine().SetDeviceEndpoint(alt, host, port);
  }
  static bool WorkersRunning() { return KestalHostCommService::GetInstance().m_lifecycle->WorkersRunning(); }
};
