#include "service/ServiceCalls.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "common/CallbackGate.h"
#include "diag/LinkHealth.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/CallRefusal.h"

namespace {

using kestal::calls::Service;

constexpr size_t kMaxHostLength = 255;  // the longest DNS name
constexpr size_t kMaxPathLength = 4096;
constexpr unsigned int kMaxRequestParams = 65000;

// What kestal_last_error gives on the calling thread: the service's last failure, or the thread's
// own when its last kestal_request failed or a call of its was refused since (noted with the
// service it concerns, or a decoder's, kept here).
enum class OwnFailure { None, Noted, Decoding };
struct OwnFailureNote {
  OwnFailure kind = OwnFailure::None;
  const Service* service = nullptr;  // for Noted
  std::string decoding_refusal;      // for Decoding
};
thread_local OwnFailureNote t_own_failure;

void NoteOwn(const Service& service, bool failed) {
  t_own_failure.kind = failed ? OwnFailure::Noted : OwnFailure::None;
  t_own_failure.service = &service;
}

// Start and Stop refuse a call from inside a callback (they would wait for its return): the
// C interface names that refusal, and kestal_last_error gives the calling thread its reason.
int LifecycleResult(const Service& service, int result) {
  if (result >= 0 || !service.InOwnCallback()) return result;
  NoteOwn(service, true);  // Start and Stop noted the reason
  return KESTAL_E_IN_CALLBACK;
}

}  // namespace

namespace kestal {

int RefuseDecoding(const std::string& reason) {
  t_own_failure.kind = OwnFailure::Decoding;
  t_own_failure.decoding_refusal = reason;
  return KESTAL_E_INVALID;
}

namespace calls {

int Refuse(Service& service, const std::string& reason) {
  NoteOwn(service, true);
  service.NoteFailure(reason, false);  // the caller's mistake, not the next event's cause
  return KESTAL_E_INVALID;
}

int Start(Service& service) { return LifecycleResult(service, service.Start()); }

int Stop(Service& service) { return LifecycleResult(service, service.Stop()); }

int SetCommType(Service& service, int comm_type) {
  if (comm_type < KESTAL_COMM_STORAGE || comm_type > KESTAL_COMM_NETWORK_ALT)
    return Refuse(service, "comm type " + std::to_string(comm_type) +
                               " is none of 0 (storage), 1 and 2 (network)");
  service.SetCommType(static_cast<HostCommDeviceType>(comm_type));
  return 0;
}

int SetNetworkEndpoint(Service& service, int comm_type, const char* host, unsigned short port) {
  if (comm_type != KESTAL_COMM_NETWORK && comm_type != KESTAL_COMM_NETWORK_ALT)
    return Refuse(service, "device endpoint: comm type " + std::to_string(comm_type) +
                               " is not a network comm type (1 or 2)");
  if (!host) return Refuse(service, "device endpoint: no host");
  const size_t length = strnlen(host, kMaxHostLength + 1);
  if (length > kMaxHostLength)
    return Refuse(service,
                  "device endpoint: host longer than " + std::to_string(kMaxHostLength) + " bytes");
  const std::string name(host, length);
  if (service.SetDeviceEndpoint(comm_type == KESTAL_COMM_NETWORK_ALT, name, port) == 0) return 0;
  return Refuse(service, port == 0 ? std::string("device endpoint: port 0")
                                   : "device endpoint: host \"" + name +
                                         "\" is neither an address nor a well-formed name");
}

int SetStorageDevice(Service& service, const char* path) {
  const size_t length = path ? strnlen(path, kMaxPathLength + 1) : 0;
  if (length > kMaxPathLength)
    return Refuse(service,
                  "storage device: path longer than " + std::to_string(kMaxPathLength) + " bytes");
  // One setting changed under the settings' lock: an endpoint set meanwhile from another thread
  // stays.
  std::vector<std::string> paths;
  if (length > 0) paths.emplace_back(path, length);
  if (service.SetStoragePaths(std::move(paths)) == 0) return 0;
  return Refuse(service, "storage device: more paths than the discovery tries");
}

int Request(Service& service, unsigned short sub_type, const unsigned char* params,
            unsigned int params_len, unsigned int timeout_ms, kestal_ack* ack) {
  if (!ack || (!params && params_len > 0) || params_len > kMaxRequestParams)
    return Refuse(service, "request " + std::to_string(sub_type) +
                               ": no ACK to fill, or parameters missing or over " +
                               std::to_string(kMaxRequestParams) + " bytes");
  const int r = service.Engine().Request(sub_type, params, params_len, timeout_ms, AckSinkFor(ack));
  NoteOwn(service, r != KESTAL_OK);
  return r;
}

int LastError(Service& service, char* buf, unsigned int len) {
  if (!buf && len > 0)
    return Refuse(service, "last error: no buffer for its " + std::to_string(len) + " bytes");
  const OwnFailureNote& own = t_own_failure;
  const std::string reason = own.kind == OwnFailure::Decoding ? own.decoding_refusal
                             : own.kind == OwnFailure::Noted && own.service == &service
                                 ? service.ThreadFailure()
                                 : service.LastFailure();
  if (len > 0) {
    const size_t n = reason.size() < len ? reason.size() : len - 1;
    std::memcpy(buf, reason.data(), n);
    buf[n] = '\0';
  }
  return static_cast<int>(reason.size());
}

int GetHealth(Service& service, kestal_health* out) {
  if (!out) return Refuse(service, "health: no kestal_health to fill");
  // kestal_health lists the first counters as LinkHealth declares them; it keeps its size for
  // programs built against it, and the counters added since are in the log's health line.
  uint64_t values[LinkHealth::kCounters];
  static_assert(sizeof(kestal_health) <= sizeof values, "every field is filled");
  service.Engine().Health().CopyTo(values);
  std::memcpy(out, values, sizeof(kestal_health));
  return KESTAL_OK;
}

// The service only reads what these point to; its signatures predate const.
int Send(Service& service, unsigned short type, const unsigned char* data, unsigned int len) {
  if (!data && len > 0)
    return Refuse(service, "send type " + std::to_string(type) + ": no data for its " +
                               std::to_string(len) + " bytes");
  return service.SendHostCommMsg(type, const_cast<unsigned char*>(data), len);
}

int UpdateFirmware(Service& service, unsigned short type, const unsigned char* data,
                   unsigned int len) {
  if (!data && len > 0)
    return Refuse(service, "firmware update: no data for its " + std::to_string(len) + " bytes");
  return service.SendUpdateFirmware(type, const_cast<unsigned char*>(data), len);
}

// The link is up while the transport holds it and the last status report was not a loss: the
// service sets its reconnect flag on every report of a loss (before the event is delivered) and
// clears it on "Connected OK", which the transport reports once it holds the link.
int IsConnected(Service& service) {
  return !service.NeedReconnect() && service.Engine().IsConnected() ? 1 : 0;
}

int WaitConnected(Service& service, unsigned int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (IsConnected(service)) return 1;
    // A stop (or a close from another thread) ends the wait: a stopped service never connects.
    if (service.Stopped() || std::chrono::steady_clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace calls
}  // namespace kestal
