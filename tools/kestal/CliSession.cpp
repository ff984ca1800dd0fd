#include "CliSession.h"

#include "CliErrors.h"
#include "TextCodePage.h"
#include "service/ServiceCalls.h"

CliSession::CliSession(const CliOptions& options, std::unique_ptr<ServiceImpl> own)
    : m_options(options),
      m_own(std::move(own)),
      m_service(m_own ? *m_own : ServiceImpl::Of(KestalHostCommService::GetInstance())) {
  if (m_own) {
    // Two services cannot both bind the arm link's port: only the process-wide one relays.
    HostCommSettings settings = m_own->Settings();
    settings.arm_local_port = 0;
    m_own->SetSettings(settings);
  }
}

CliSession::~CliSession() {
  Disconnect();
  m_own.reset();  // while the queues its callbacks filled still exist
}

std::pair<std::string, uint32_t> CliSession::NetworkAddress(const ServiceImpl& service,
                                                            const CliOptions& options, bool alt) {
  const HostCommSettings settings = service.Settings();
  return {options.host.empty() ? (alt ? settings.device_ip_type3 : settings.device_ip_type1)
                               : options.host,
          options.port ? options.port
                       : (alt ? settings.device_port_type3 : settings.device_port_type1)};
}

std::string CliSession::Endpoint() const {
  if (m_options.transport == "storage")
    return m_options.disk.empty() ? "storage device" : m_options.disk;
  const auto [host, port] =
      NetworkAddress(m_service, m_options, m_options.transport == "network-alt");
  return host + ":" + std::to_string(port);
}

int CliSession::ApplySettings(const CliOptions& options, std::string& error) {
  return ApplySettings(ServiceImpl::Of(KestalHostCommService::GetInstance()), options, error);
}

int CliSession::ApplySettings(ServiceImpl& service, const CliOptions& options, std::string& error) {
  // The overrides are the service's own settings; they apply from its next start on.
  HostCommSettings settings = service.Settings();
  const bool alt = options.transport == "network-alt";
  if (options.transport == "storage") {
    if (!options.disk.empty()) settings.storage_paths = {options.disk};
  } else {
    const auto [host, port] = NetworkAddress(service, options, alt);
    (alt ? settings.device_ip_type3 : settings.device_ip_type1) = host;
    (alt ? settings.device_port_type3 : settings.device_port_type1) = port;
  }
  settings.capture_path = options.capture;
  if (service.SetSettings(settings) == 0) return 0;
  const auto [host, port] = NetworkAddress(service, options, alt);
  error = "not a device address: '" + host + "' port " + std::to_string(port);
  return -1;
}

int CliSession::Connect(std::string& error) {
  HostCommDeviceType type;
  if (m_options.transport == "network" || m_options.transport == "network-alt") {
    type = m_options.transport == "network-alt" ? HostCommDeviceNetworkAlt : HostCommDeviceNetwork;
  } else if (m_options.transport == "storage") {
    type = HostCommDeviceStorage;
  } else {
    error = "unknown transport '" + m_options.transport + "' (network, network-alt or storage)";
    return -1;
  }
  if (ApplySettings(m_service, m_options, error) != 0) return -1;
  m_service.SetDeviceEventCallBack(&CliSession::OnEvent, this);
  m_service.SetRecvHostCommMsgCallBack(&CliSession::OnRecv, this);
  m_service.SetLogCallBack(&CliSession::OnLog, this);
  m_service.SetScanerStatusCallBack(&CliSession::OnScannerState, this);
  m_service.SetArmStatusCallBack(&CliSession::OnArmState, this);
  m_service.SetCommType(type);

  int started = m_service.Start();
  m_started = true;
  std::unique_lock<std::mutex> lock(m_mutex);
  // A start that failed (arm link port taken, no storage device) is reported at once.
  bool ok = started >= 0 &&
            m_signal.wait_for(lock, std::chrono::milliseconds(m_options.connect_timeout_ms),
                              [this] { return m_connected; });
  if (ok) return 0;
  const int connect_errors = m_connect_errors;
  lock.unlock();
  // The library's words for its last failure ("connect 127.0.0.1:9: connection refused").
  char reason[256] = "";
  kestal::calls::LastError(m_service, reason, sizeof reason);
  if (started < 0 && type == HostCommDeviceStorage)
    error = "no storage device found (" + Endpoint() + "): " + DiskError(reason);
  else if (started < 0)
    error = *reason ? std::string("the library could not start: ") + reason
                    : "the library could not start (is UDP port 26000 of the arm link in use?)";
  else if (connect_errors > 0)
    error = *reason ? reason : "cannot connect to " + Endpoint();
  else
    error = "timed out connecting to " + Endpoint();
  Disconnect();
  return -1;
}

std::string CliSession::DiskError(const std::string& library_reason) const {
  // The library looks at each candidate disk and names none of them; for the one disk that --disk
  // names, the system tells why it cannot be opened.
  if (!m_options.disk.empty()) {
    const std::string reason = OpenError(m_options.disk);
    if (!reason.empty()) return reason;
  }
  return library_reason.empty() ? "no disk of 52428800 bytes" : library_reason;
}

void CliSession::Disconnect() {
  if (!m_started) return;
  m_started = false;
  m_service.Stop();
  m_service.SetDeviceEventCallBack(nullptr, nullptr);
  m_service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
  m_service.SetLogCallBack(nullptr, nullptr);
  m_service.SetScanerStatusCallBack(nullptr, nullptr);
  m_service.SetArmStatusCallBack(nullptr, nullptr);
}

void CliSession::OnEvent(HostCommDeviceEvent event, const char* text, void* user) {
  auto* self = static_cast<CliSession*>(user);
  if (self->m_event_tap) self->m_event_tap(event, text);
  std::lock_guard<std::mutex> lock(self->m_mutex);
  if (event == ConnectedOk) self->m_connected = true;
  if (event == NotConnected || event == ConnectedError) self->m_connected = false;
  if (event == ConnectedError) ++self->m_connect_errors;
  self->m_events.push_back(std::string("event: ") + text);
  self->m_signal.notify_all();
}

void CliSession::OnLog(const char* line, void* user) {
  auto* self = static_cast<CliSession*>(user);
  std::lock_guard<std::mutex> lock(self->m_mutex);
  self->m_events.push_back("status: " + Gbk936ToUtf8(line));
  self->m_signal.notify_all();
}

void CliSession::OnScannerState(unsigned short state, void* user) {
  static_cast<CliSession*>(user)->m_scanner_state = state;
}

void CliSession::OnArmState(unsigned short state, void* user) {
  static_cast<CliSession*>(user)->m_arm_state = state;
}

void CliSession::OnRecv(unsigned short type, unsigned char* data, unsigned int len, void* user) {
  auto* self = static_cast<CliSession*>(user);
  if (self->m_tap && self->m_tap(type, data, len)) return;
  std::lock_guard<std::mutex> lock(self->m_mutex);
  // Bounded: a command that does not read messages must not grow memory without end.
  if (self->m_messages.size() >= 4096) self->m_messages.pop_front();
  self->m_messages.push_back({type, std::vector<uint8_t>(data, data + len)});
  self->m_signal.notify_all();
}

bool CliSession::WaitMessage(const std::function<bool(const CliMessage&)>& pred,
                             std::chrono::milliseconds timeout, CliMessage& out) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    while (!m_messages.empty()) {
      CliMessage m = std::move(m_messages.front());
      m_messages.pop_front();
      if (pred(m)) {
        out = std::move(m);
        return true;
      }
    }
    if (m_signal.wait_until(lock, deadline) == std::cv_status::timeout && m_messages.empty())
      return false;
  }
}

std::vector<std::string> CliSession::TakeEvents() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> out;
  out.swap(m_events);
  return out;
}

std::vector<CliMessage> CliSession::TakeMessages() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<CliMessage> out(m_messages.begin(), m_messages.end());
  m_messages.clear();
  return out;
}
