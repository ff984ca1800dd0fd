// The C interface: each function checks its arguments and forwards to the process-wide service's
// implementation, which holds the C callbacks beside the class's (see AppCallback).
#include "kestal/kestal_c.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "common/CallbackGate.h"
#include "diag/LinkHealth.h"
#include "kestal/KestalHostCommService.h"
#include "kestal/kestal_protocol.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/CallRefusal.h"
#include "service/KestalHostCommServiceImpl.h"

namespace {

KestalHostCommService& Service() { return KestalHostCommService::GetInstance(); }
KestalHostCommService::Impl& ServiceImpl() { return KestalHostCommService::Impl::Of(Service()); }

constexpr size_t kMaxHostLength = 255;  // the longest DNS name
constexpr size_t kMaxPathLength = 4096;
constexpr unsigned int kMaxRequestParams = 65000;
// What kestal_last_error gives on the calling thread: the library's last failure, or the thread's
// own when its last kestal_request failed or a call of its was refused since (noted with the
// service, or a decoder's, kept here).
enum class OwnFailure { None, Noted, Decoding };
thread_local OwnFailure t_own_failure = OwnFailure::None;
thread_local std::string t_decoding_refusal;

}  // namespace

int kestal::RefuseCall(const std::string& reason) {
  t_own_failure = OwnFailure::Noted;
  ServiceImpl().NoteFailure(reason, false);  // the caller's mistake, not the next event's cause
  return KESTAL_E_INVALID;
}

int kestal::RefuseDecoding(const std::string& reason) {
  t_own_failure = OwnFailure::Decoding;
  t_decoding_refusal = reason;
  return KESTAL_E_INVALID;
}

using kestal::RefuseCall;

namespace {

// Start and Stop refuse a call from inside a callback (they would wait for its return): the
// C interface names that refusal, and kestal_last_error gives the calling thread its reason.
int LifecycleResult(int result) {
  if (result >= 0 || !kestal::CallbackGate::InCallback()) return result;
  t_own_failure = OwnFailure::Noted;  // Start and Stop noted the reason
  return KESTAL_E_IN_CALLBACK;
}

}  // namespace

extern "C" {

int kestal_start(void) { return LifecycleResult(Service().Start()); }

int kestal_stop(void) { return LifecycleResult(Service().Stop()); }

int kestal_set_comm_type(int comm_type) {
  if (comm_type < KESTAL_COMM_STORAGE || comm_type > KESTAL_COMM_NETWORK_ALT)
    return RefuseCall("comm type " + std::to_string(comm_type) +
                      " is none of 0 (storage), 1 and 2 (network)");
  Service().SetCommType(static_cast<HostCommDeviceType>(comm_type));
  return 0;
}

int kestal_set_network_endpoint(int comm_type, const char* host, unsigned short port) {
  if (comm_type != KESTAL_COMM_NETWORK && comm_type != KESTAL_COMM_NETWORK_ALT)
    return RefuseCall("device endpoint: comm type " + std::to_string(comm_type) +
                      " is not a network comm type (1 or 2)");
  if (!host) return RefuseCall("device endpoint: no host");
  const size_t length = strnlen(host, kMaxHostLength + 1);
  if (length > kMaxHostLength)
    return RefuseCall("device endpoint: host longer than " + std::to_string(kMaxHostLength) +
                      " bytes");
  const std::string name(host, length);
  if (KestalHostCommService::Impl::Of(Service()).SetDeviceEndpoint(
          comm_type == KESTAL_COMM_NETWORK_ALT, name, port) == 0)
    return 0;
  return RefuseCall(port == 0 ? std::string("device endpoint: port 0")
                              : "device endpoint: host \"" + name +
                                    "\" is neither an address nor a well-formed name");
}

int kestal_set_storage_device(const char* path) {
  const size_t length = path ? strnlen(path, kMaxPathLength + 1) : 0;
  if (length > kMaxPathLength)
    return RefuseCall("storage device: path longer than " + std::to_string(kMaxPathLength) +
                      " bytes");
  // One setting changed under the settings' lock: an endpoint set meanwhile from another thread
  // stays.
  std::vector<std::string> paths;
  if (length > 0) paths.emplace_back(path, length);
  if (KestalHostCommService::Impl::Of(Service()).SetStoragePaths(std::move(paths)) == 0) return 0;
  return RefuseCall("storage device: more paths than the discovery tries");
}

void kestal_set_event_callback(kestal_event_fn callback, void* user_data) {
  ServiceImpl().SetEventFn(callback, user_data);
}

void kestal_set_message_callback(kestal_message_fn callback, void* user_data) {
  ServiceImpl().SetMessageFn(callback, user_data);
}

void kestal_set_scanner_state_callback(kestal_state_fn callback, void* user_data) {
  Service().SetScanerStatusCallBack(callback, user_data);
}

void kestal_set_arm_state_callback(kestal_state_fn callback, void* user_data) {
  Service().SetArmStatusCallBack(callback, user_data);
}

void kestal_set_status_line_callback(kestal_text_fn callback, void* user_data) {
  Service().SetLogCallBack(callback, user_data);
}

void kestal_set_status_line_utf8_callback(kestal_text_fn callback, void* user_data) {
  ServiceImpl().SetStatusLineUtf8Fn(callback, user_data);
}

void kestal_set_event_detail_callback(kestal_event_detail_fn callback, void* user_data) {
  ServiceImpl().SetEventDetailFn(callback, user_data);
}

void kestal_set_frame_callback(kestal_frame_fn callback, void* user_data) {
  ServiceImpl().SetFrameFn(callback, user_data);
}

int kestal_request(unsigned short sub_type, const unsigned char* params, unsigned int params_len,
                   unsigned int timeout_ms, kestal_ack* ack) {
  if (!ack || (!params && params_len > 0) || params_len > kMaxRequestParams)
    return RefuseCall("request " + std::to_string(sub_type) +
                      ": no ACK to fill, or parameters missing or over " +
                      std::to_string(kMaxRequestParams) + " bytes");
  const int r = ServiceImpl().Engine().Request(sub_type, params, params_len, timeout_ms, AckSinkFor(ack));
  t_own_failure = r != KESTAL_OK ? OwnFailure::Noted : OwnFailure::None;
  return r;
}

int kestal_last_error(char* buf, unsigned int len) {
  if (!buf && len > 0)
    return RefuseCall("last error: no buffer for its " + std::to_string(len) + " bytes");
  const std::string reason = t_own_failure == OwnFailure::Noted      ? ServiceImpl().ThreadFailure()
                             : t_own_failure == OwnFailure::Decoding ? t_decoding_refusal
                                                                     : ServiceImpl().LastFailure();
  if (len > 0) {
    const size_t n = reason.size() < len ? reason.size() : len - 1;
    std::memcpy(buf, reason.data(), n);
    buf[n] = '\0';
  }
  return static_cast<int>(reason.size());
}

int kestal_get_health(kestal_health* out) {
  if (!out) return RefuseCall("health: no kestal_health to fill");
  // kestal_health lists the first counters as LinkHealth declares them; it keeps its size for
  // programs built against it, and the counters added since are in the log's health line.
  uint64_t values[LinkHealth::kCounters];
  static_assert(sizeof(kestal_health) <= sizeof values, "every field is filled");
  ServiceImpl().Engine().Health().CopyTo(values);
  std::memcpy(out, values, sizeof(kestal_health));
  return KESTAL_OK;
}

// The service only reads what these point to; its signatures predate const.
int kestal_send(unsigned short type, const unsigned char* data, unsigned int len) {
  if (!data && len > 0)
    return RefuseCall("send type " + std::to_string(type) + ": no data for its " +
                      std::to_string(len) + " bytes");
  return Service().SendHostCommMsg(type, const_cast<unsigned char*>(data), len);
}

int kestal_update_firmware(unsigned short firmware_type, const unsigned char* data,
                           unsigned int len) {
  if (!data && len > 0)
    return RefuseCall("firmware update: no data for its " + std::to_string(len) + " bytes");
  return Service().SendUpdateFirmware(firmware_type, const_cast<unsigned char*>(data), len);
}

unsigned short kestal_next_seq_no(void) { return Service().GetMsgSeqNo(); }

void kestal_print_volume_run_info(void) { Service().PrintVolumeRunInfo(); }

}  // extern "C"
