// Process-wide objects of the service, for the service itself and for the tools and tests that
// reach into it. Lower layers get what they need through their configuration instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "kestal/KestalHostCommService.h"
#include "protocol/HostCommProtocolImpl.h"

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
  // Device address of comm type 1 (or 3 with `alt`), under the service's start/stop lock so
  // that no start reads it half written. For the C interface, tools and tests.
  static void SetNetworkEndpoint(bool alt, const std::string& host, uint32_t port) {
    auto& s = KestalHostCommService::GetInstance();
    std::lock_guard<std::mutex> lock(s.m_mutex);
    HostCommProtocolImpl& engine = *s.m_host_comm_protocol;
    (alt ? engine.m_comm_dev_via_network.m_device_ip_type3 : engine.m_comm_dev_via_network.m_device_ip_type1) = host;
    (alt ? engine.m_device_port_type3 : engine.m_device_port_type1) = port;
  }
  static bool WorkersRunning() {
    auto& s = KestalHostCommService::GetInstance();
    return s.m_reconnect_thread.joinable() || s.m_log_report_thread.joinable();
  }
};
