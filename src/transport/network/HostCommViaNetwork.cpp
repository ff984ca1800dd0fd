#include "transport/network/HostCommViaNetwork.h"

#include <asio.hpp>

#include <cctype>
#include <chrono>
#include <thread>
#include <utility>

#include "common/Clock.h"
#include "transport/network/FrameCodec.h"

namespace {

constexpr int kStopMinimumMs = 900;  // a stop never takes less

}  // namespace

HostCommViaNetwork::HostCommViaNetwork(HostCommTransportConfig config)
    : m_report_status(std::move(config.report_status)),
      m_report_failure(std::move(config.report_failure)),
      m_health(config.health ? config.health : &m_own_health),
      m_connection(m_stop, *m_health, m_report_status, m_report_failure, [this] {
        m_send_chain.Restart();
        m_receiver.Restart();
      }) {}

HostCommViaNetwork::~HostCommViaNetwork() {
  if (m_connection.WorkersRunning() || m_receiver.ParserRunning()) StopLoopRecv();
}

int32_t HostCommViaNetwork::BuildMsg(const uint8_t* data, uint32_t available) {
  return FrameCodec::Check(data, available, available);
}

int32_t HostCommViaNetwork::BuildMsg(const uint8_t* data, uint32_t available, uint32_t readable) {
  return FrameCodec::Check(data, available, readable);
}

bool HostCommTransport::IsValidHost(const std::string& host) {
  constexpr size_t kMaxName = 253, kMaxLabel = 63;
  asio::error_code ec;
  // Windows' parser also takes a bracketed "[::1]", which names no host on any system.
  if (host.find(':') != std::string::npos)
    return host.find_first_of("[] ") == std::string::npos &&
           (asio::ip::make_address_v6(host, ec), !ec);
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    // Four decimal parts of at most 255, as inet_pton reads them (Windows' parser would also take
    // "1.2.3").
    unsigned parts = 0;
    for (size_t at = 0; at <= host.size(); ++parts) {
      size_t dot = host.find('.', at);
      if (dot == std::string::npos) dot = host.size();
      if (dot == at || dot - at > 3 || std::stoi(host.substr(at, dot - at)) > 255) return false;
      at = dot + 1;
    }
    return parts == 4;
  }
  if (host.empty() || host.size() > kMaxName) return false;
  const size_t end =
      host.back() == '.' ? host.size() - 1 : host.size();  // a fully qualified name's root dot
  for (size_t begin = 0; begin <= end;) {
    size_t dot = host.find('.', begin);
    if (dot == std::string::npos || dot > end) dot = end;
    const size_t n = dot - begin;
    if (n == 0 || n > kMaxLabel || host[begin] == '-' || host[dot - 1] == '-') return false;
    for (size_t i = begin; i < dot; ++i)
      if (!std::isalnum(static_cast<unsigned char>(host[i])) && host[i] != '-') return false;
    begin = dot + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Start and stop

int HostCommViaNetwork::StartLoopRecv(const HostCommTransportPlan& plan) {
  // Workers of an earlier start never run beside the new ones.
  if (m_connection.WorkersRunning() || m_receiver.ParserRunning()) StopLoopRecv();
  m_stop = false;
  m_send_chain.Prepare(plan.capture);
  m_receiver.Prepare(plan.capture, plan.deliver);
  m_connection.StartIo(plan.endpoint, plan.capture);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  m_connection.StartConnecting();
  m_send_chain.Start();
  m_receiver.Start();
  return 0;
}

// The workers are joined as soon as they end; the stop still takes at least 900 ms in all, the
// pace that a reconnect following at once relies on.
int HostCommViaNetwork::StopLoopRecv() {
  const auto done = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopMinimumMs);
  m_stop = true;
  m_connection.NotifyStop();
  m_receiver.NotifyStop();
  m_connection.CloseForStop();
  m_connection.JoinWorkers();
  m_receiver.JoinParser();
  m_connection.RunLeftHandlers();
  m_send_chain.Stopped();
  kestal::SleepUntil(done);
  return 0;
}
