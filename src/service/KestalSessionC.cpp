// The C interface's sessions: each kestal_session is a service object of its own beside the
// process-wide one. A handle is never freed: a closed one stays recognisable (its service is gone),
// so a late call with it is refused instead of touching freed memory. The service itself goes
// once nothing uses it any more: not a call in progress on another thread, and not a callback
// that its stop gave up and that has not returned yet.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Mutex.h"
#include "kestal/kestal_c.h"
#include "service/CallRefusal.h"
#include "service/KestalHostCommServiceImpl.h"
#include "service/ServiceCalls.h"

using Service = KestalHostCommService::Impl;
namespace calls = kestal::calls;

struct kestal_session {
  kestal::Mutex mutex;
  std::shared_ptr<Service> service GUARDED_BY(mutex);  // null once closed
  std::vector<std::string> claims GUARDED_BY(mutex);   // what its running start owns
};

namespace {

// Every handle ever opened, the resources running sessions own, and the services closed while
// still in use. Made once and never destroyed (workers may outlive the process's static objects).
struct Sessions {
  kestal::Mutex mutex;
  std::vector<std::unique_ptr<kestal_session>> handles GUARDED_BY(mutex);
  std::map<std::string, kestal_session*> claims GUARDED_BY(mutex);  // "arm 26001", "disk /x"
  std::vector<std::shared_ptr<Service>> closing GUARDED_BY(mutex);
};

Sessions& All() {
  static Sessions* const sessions = new Sessions();
  return *sessions;
}

// The service of `s`, or null (with the reason noted for the calling thread) for a handle that
// is null, not one of ours, or closed.
std::shared_ptr<Service> Find(kestal_session* s, const char* function) {
  Sessions& all = All();
  {
    kestal::MutexLock lock(all.mutex);
    const bool ours = s && std::any_of(all.handles.begin(), all.handles.end(),
                                       [&](const auto& handle) { return handle.get() == s; });
    if (ours) {
      kestal::MutexLock handle_lock(s->mutex);
      if (s->service) return s->service;
    }
  }
  kestal::RefuseDecoding(std::string(function) +
                         (s ? ": the session is closed or was never opened" : ": no session"));
  return nullptr;
}

// Runs `fn` on the session's service, its lines going to the session's log file.
template <typename Fn>
int With(kestal_session* s, const char* function, Fn fn) {
  const std::shared_ptr<Service> service = Find(s, function);
  if (!service) return KESTAL_E_INVALID;
  kestal::Log::Scope log_scope(service->LogFile());
  return fn(*service);
}

// Registers one of the session's callbacks with `set`, the service's setter.
template <typename Fn>
int SetOn(kestal_session* s, const char* function, void (Service::*set)(Fn, void*), Fn callback,
          void* user_data) {
  return With(s, function, [&](Service& service) {
    (service.*set)(callback, user_data);
    return 0;
  });
}

// Destroys the closed services that nothing uses any more; the others wait for a later sweep.
void SweepClosing() {
  std::vector<std::shared_ptr<Service>> done;
  {
    Sessions& all = All();
    kestal::MutexLock lock(all.mutex);
    auto idle = [](const std::shared_ptr<Service>& s) { return s.use_count() == 1 && s->Quiet(); };
    auto it = std::partition(all.closing.begin(), all.closing.end(),
                             [&](const auto& s) { return !idle(s); });
    std::move(it, all.closing.end(), std::back_inserter(done));
    all.closing.erase(it, all.closing.end());
  }
  done.clear();  // outside the lock: a service's destructor joins its workers
}

// What a start of `service` would own alone: its arm port and its disk.
std::vector<std::string> ClaimsOf(Service& service) {
  const HostCommSettings settings = service.Settings();
  std::vector<std::string> claims;
  if (settings.arm_local_port != 0)
    claims.push_back("arm port " + std::to_string(settings.arm_local_port));
  for (const std::string& disk : settings.storage_paths) claims.push_back("disk " + disk);
  return claims;
}

// Claims what `s` owns for its start: 0, or a refusal naming what another session owns.
int Claim(kestal_session* s, Service& service) {
  const std::vector<std::string> wanted = ClaimsOf(service);
  Sessions& all = All();
  kestal::MutexLock lock(all.mutex);
  for (const std::string& claim : wanted) {
    auto it = all.claims.find(claim);
    if (it != all.claims.end() && it->second != s)
      return calls::Refuse(service, "start: another session owns the " + claim);
  }
  kestal::MutexLock handle_lock(s->mutex);
  for (const std::string& claim : wanted) all.claims[claim] = s;
  s->claims = wanted;
  return 0;
}

void Release(kestal_session* s) {
  Sessions& all = All();
  kestal::MutexLock lock(all.mutex);
  kestal::MutexLock handle_lock(s->mutex);
  for (const std::string& claim : s->claims) {
    auto it = all.claims.find(claim);
    if (it != all.claims.end() && it->second == s) all.claims.erase(it);
  }
  s->claims.clear();
}

// The config as the first sessions had it, up to and with `log_path`: the least a caller passes.
constexpr std::size_t kFirstConfigSize = offsetof(kestal_session_config, resume_scan);

// 1 for the process's first session, 2 for its second, ...: the number in its default log file.
int NextSessionNo() {
  static std::atomic<int> opened{0};
  return ++opened;
}

int Configure(Service& service, const kestal_session_config& c) {
  if (int r = calls::SetCommType(service, c.comm_type)) return r;
  if ((c.host || c.port) && c.comm_type != KESTAL_COMM_STORAGE) {
    const bool alt = c.comm_type == KESTAL_COMM_NETWORK_ALT;
    const HostCommSettings settings = service.Settings();
    const std::string host = c.host ? c.host
                             : alt  ? settings.device_ip_type3
                                    : settings.device_ip_type1;
    const uint32_t port = c.port ? c.port
                          : alt  ? settings.device_port_type3
                                 : settings.device_port_type1;
    if (int r = calls::SetNetworkEndpoint(service, c.comm_type, host.c_str(),
                                          static_cast<unsigned short>(port)))
      return r;
  }
  if (c.disk)
    if (int r = calls::SetStorageDevice(service, c.disk)) return r;
  HostCommSettings settings = service.Settings();
  settings.arm_local_port = c.arm_port;
  if (c.arm_peer_port) settings.arm_peer_port = c.arm_peer_port;
  settings.resume_scan = c.resume_scan != 0;
  return service.SetSettings(settings) == 0 ? 0 : calls::Refuse(service, "open: bad settings");
}

}  // namespace

extern "C" {

int kestal_session_open(const kestal_session_config* config, kestal_session** out) {
  if (!config || !out)
    return kestal::RefuseDecoding("session open: no config, or nowhere to put the session");
  if (config->size < kFirstConfigSize)
    return kestal::RefuseDecoding("session open: config size " + std::to_string(config->size) +
                                  " is smaller than the " + std::to_string(kFirstConfigSize) +
                                  " bytes of the first session config");
  // Fields past the caller's `size` (a program built against an older header) count as 0.
  kestal_session_config c{};
  std::memcpy(&c, config, std::min<std::size_t>(config->size, sizeof c));
  SweepClosing();
  auto service = std::make_shared<Service>();
  service->SetLogFile(c.log_path ? c.log_path : kestal::Log::NumberedFileName(NextSessionNo()));
  if (int r = Configure(*service, c)) {
    char reason[512];
    calls::LastError(*service, reason, sizeof reason);
    kestal::RefuseDecoding(std::string("session open: ") + reason);
    return r;
  }
  auto handle = std::make_unique<kestal_session>();
  {
    kestal::MutexLock handle_lock(handle->mutex);
    handle->service = std::move(service);
  }
  *out = handle.get();
  Sessions& all = All();
  kestal::MutexLock lock(all.mutex);
  all.handles.push_back(std::move(handle));
  return KESTAL_OK;
}

void kestal_session_close(kestal_session* s) {
  if (!s) return;
  std::shared_ptr<Service> service = Find(s, "session close");
  if (!service) return;
  if (service->InOwnCallback()) {
    calls::Refuse(*service, "session close: called from one of the session's own callbacks");
    return;
  }
  {
    kestal::MutexLock handle_lock(s->mutex);
    if (s->service != service) return;  // another thread closed it meanwhile
    s->service.reset();
  }
  if (service->WorkersRunning()) service->Stop();
  Release(s);
  {
    Sessions& all = All();
    kestal::MutexLock lock(all.mutex);
    all.closing.push_back(std::move(service));
  }
  SweepClosing();
}

int kestal_session_start(kestal_session* s) {
  return With(s, "session start", [&](Service& service) {
    if (int r = Claim(s, service)) return r;
    const int r = calls::Start(service);
    if (r != KESTAL_OK) Release(s);
    return r;
  });
}

int kestal_session_stop(kestal_session* s) {
  return With(s, "session stop", [&](Service& service) {
    const int r = calls::Stop(service);
    if (r == KESTAL_OK) Release(s);
    return r;
  });
}

int kestal_session_set_frame_callback(kestal_session* s, kestal_frame_fn callback,
                                      void* user_data) {
  return SetOn(s, "session frame callback", &Service::SetFrameFn, callback, user_data);
}

int kestal_session_set_event_callback(kestal_session* s, kestal_event_fn callback,
                                      void* user_data) {
  return SetOn(s, "session event callback", &Service::SetEventFn, callback, user_data);
}

int kestal_session_set_event_detail_callback(kestal_session* s, kestal_event_detail_fn callback,
                                             void* user_data) {
  return SetOn(s, "session event detail callback", &Service::SetEventDetailFn, callback, user_data);
}

int kestal_session_set_message_callback(kestal_session* s, kestal_message_fn callback,
                                        void* user_data) {
  return SetOn(s, "session message callback", &Service::SetMessageFn, callback, user_data);
}

int kestal_session_set_scanner_state_callback(kestal_session* s, kestal_state_fn callback,
                                              void* user_data) {
  return SetOn(s, "session scanner state callback", &Service::SetScanerStatusCallBack, callback,
               user_data);
}

int kestal_session_set_arm_state_callback(kestal_session* s, kestal_state_fn callback,
                                          void* user_data) {
  return SetOn(s, "session arm state callback", &Service::SetArmStatusCallBack, callback,
               user_data);
}

int kestal_session_set_status_line_utf8_callback(kestal_session* s, kestal_text_fn callback,
                                                 void* user_data) {
  return SetOn(s, "session status line callback", &Service::SetStatusLineUtf8Fn, callback,
               user_data);
}

int kestal_session_send(kestal_session* s, unsigned short type, const unsigned char* data,
                        unsigned int len) {
  return With(s, "session send",
              [&](Service& service) { return calls::Send(service, type, data, len); });
}

int kestal_session_update_firmware(kestal_session* s, unsigned short firmware_type,
                                   const unsigned char* data, unsigned int len) {
  return With(s, "session firmware update", [&](Service& service) {
    return calls::UpdateFirmware(service, firmware_type, data, len);
  });
}

int kestal_session_request(kestal_session* s, unsigned short sub_type, const unsigned char* params,
                           unsigned int params_len, unsigned int timeout_ms, kestal_ack* ack) {
  return With(s, "session request", [&](Service& service) {
    return calls::Request(service, sub_type, params, params_len, timeout_ms, ack);
  });
}

int kestal_session_get_health(kestal_session* s, kestal_health* out) {
  return With(s, "session health",
              [&](Service& service) { return calls::GetHealth(service, out); });
}

int kestal_session_last_error(kestal_session* s, char* buf, unsigned int len) {
  const std::shared_ptr<Service> service = Find(s, "session last error");
  // A refused handle: the reason of that refusal, as kestal_last_error gives it.
  return service ? calls::LastError(*service, buf, len) : kestal_last_error(buf, len);
}

int kestal_session_is_connected(kestal_session* s) {
  return With(s, "session is connected",
              [&](Service& service) { return calls::IsConnected(service); }) == 1
             ? 1
             : 0;
}

int kestal_session_wait_connected(kestal_session* s, unsigned int timeout_ms) {
  const int r = With(s, "session wait connected",
                     [&](Service& service) { return calls::WaitConnected(service, timeout_ms); });
  return r == 1 ? 1 : 0;
}

unsigned short kestal_session_next_seq_no(kestal_session* s) {
  const std::shared_ptr<Service> service = Find(s, "session sequence number");
  return service ? service->GetMsgSeqNo() : 0;
}

void kestal_session_print_volume_run_info(kestal_session* s) {
  With(s, "session volume run info", [](Service& service) {
    service.PrintVolumeRunInfo();
    return 0;
  });
}

const char* kestal_error_name(int code) {
  switch (code) {
    case KESTAL_OK: return "KESTAL_OK";
    case KESTAL_E_INVALID: return "KESTAL_E_INVALID";
    case KESTAL_E_TIMEOUT: return "KESTAL_E_TIMEOUT";
    case KESTAL_E_NOT_CONNECTED: return "KESTAL_E_NOT_CONNECTED";
    case KESTAL_E_SEND_FAILED: return "KESTAL_E_SEND_FAILED";
    case KESTAL_E_STOPPED: return "KESTAL_E_STOPPED";
    case KESTAL_E_IN_CALLBACK: return "KESTAL_E_IN_CALLBACK";
    default: return "";
  }
}

}  // extern "C"
