// The C interface: each function forwards to the service singleton. The C callbacks have C
// types of their own, so the service is given small forwarding functions that call them.
#include "kestal/kestal_c.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "common/CallbackGate.h"
#include "common/CallbackSlot.h"
#include "diag/LinkHealth.h"
#include "kestal/KestalHostCommService.h"
#include "kestal/kestal_protocol.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/CallRefusal.h"
#include "service/KestalHostCommServiceImpl.h"

namespace {

using kestal::CallbackSlot;

CallbackSlot<kestal_event_fn> g_event;
CallbackSlot<kestal_message_fn> g_message;
CallbackSlot<kestal_state_fn> g_scanner_state;
CallbackSlot<kestal_state_fn> g_arm_state;
CallbackSlot<kestal_text_fn> g_status_line;
CallbackSlot<kestal_text_fn> g_status_line_utf8;
CallbackSlot<kestal_event_detail_fn> g_event_detail;
CallbackSlot<kestal_frame_fn> g_frame;

void ForwardEvent(HostCommDeviceEvent event, const char* text, void*) {
  if (kestal_event_fn fn = g_event.Function())
    fn(static_cast<int>(event), text, g_event.UserData());
}
void ForwardMessage(unsigned short type, unsigned char* data, unsigned int len, void*) {
  if (kestal_message_fn fn = g_message.Function()) fn(type, data, len, g_message.UserData());
}
void ForwardScannerState(unsigned short state, void*) {
  if (kestal_state_fn fn = g_scanner_state.Function()) fn(state, g_scanner_state.UserData());
}
void ForwardArmState(unsigned short state, void*) {
  if (kestal_state_fn fn = g_arm_state.Function()) fn(state, g_arm_state.UserData());
}
void ForwardStatusLine(const char* text, void*) {
  if (kestal_text_fn fn = g_status_line.Function()) fn(text, g_status_line.UserData());
}

void ForwardStatusLineUtf8(const char* text, void*) {
  if (kestal_text_fn fn = g_status_line_utf8.Function()) fn(text, g_status_line_utf8.UserData());
}
void ForwardEventDetail(HostCommDeviceEvent event, const char* text, const char* detail, void*) {
  if (kestal_event_detail_fn fn = g_event_detail.Function())
    fn(static_cast<int>(event), text, detail, g_event_detail.UserData());
}
void ForwardFrame(const ImageFrame& in, void*) {
  kestal_frame_fn fn = g_frame.Function();
  if (!fn) return;
  kestal_frame frame{};
  frame.kind = in.kind;
  kestal_image_header header;
  if (in.kind != KESTAL_MSG_Y_IMAGE &&
      kestal_decode_image_header(in.data, in.header_len, &header) == KESTAL_OK) {
    frame.number = header.number;
    frame.width = header.width;
    frame.height = header.height;
  }
  frame.header = in.data;
  frame.header_len = in.header_len;
  frame.pixels = in.data + in.header_len;
  frame.pixels_len = in.image_len;
  frame.host_time_ns = in.host_time_ns;
  frame.utc_time_ns = in.utc_time_ns;
  fn(&frame, g_frame.UserData());
}

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
  Service().SetDeviceEventCallBack(g_event.Set(callback, user_data) ? &ForwardEvent : nullptr,
                                   nullptr);
}

void kestal_set_message_callback(kestal_message_fn callback, void* user_data) {
  Service().SetRecvHostCommMsgCallBack(
      g_message.Set(callback, user_data) ? &ForwardMessage : nullptr, nullptr);
}

void kestal_set_scanner_state_callback(kestal_state_fn callback, void* user_data) {
  Service().SetScanerStatusCallBack(
      g_scanner_state.Set(callback, user_data) ? &ForwardScannerState : nullptr, nullptr);
}

void kestal_set_arm_state_callback(kestal_state_fn callback, void* user_data) {
  Service().SetArmStatusCallBack(g_arm_state.Set(callback, user_data) ? &ForwardArmState : nullptr,
                                 nullptr);
}

void kestal_set_status_line_callback(kestal_text_fn callback, void* user_data) {
  Service().SetLogCallBack(g_status_line.Set(callback, user_data) ? &ForwardStatusLine : nullptr,
                           nullptr);
}

void kestal_set_status_line_utf8_callback(kestal_text_fn callback, void* user_data) {
  ServiceImpl().SetStatusLineUtf8CallBack(
      g_status_line_utf8.Set(callback, user_data) ? &ForwardStatusLineUtf8 : nullptr, nullptr);
}

void kestal_set_event_detail_callback(kestal_event_detail_fn callback, void* user_data) {
  ServiceImpl().SetEventDetailCallBack(
      g_event_detail.Set(callback, user_data) ? &ForwardEventDetail : nullptr, nullptr);
}

void kestal_set_frame_callback(kestal_frame_fn callback, void* user_data) {
  ServiceImpl().SetFrameCallBack(g_frame.Set(callback, user_data) ? &ForwardFrame : nullptr,
                                 nullptr);
}

int kestal_request(unsigned short sub_type, const unsigned char* params, unsigned int params_len,
                   unsigned int timeout_ms, kestal_ack* ack) {
  if (!ack || (!params && params_len > 0) || params_len > kMaxRequestParams)
    return RefuseCall("request " + std::to_string(sub_type) +
                      ": no ACK to fill, or parameters missing or over " +
                      std::to_string(kMaxRequestParams) + " bytes");
  const int r = ServiceImpl().Engine().Request(sub_type, params, params_len, timeout_ms, ack);
  t_own_failure = r != KESTAL_OK ? OwnFailure::Noted : OwnFailure::None;
  return r;
}

int kestal_last_error(char* buf, unsigned int len) {
  if (!buf && len > 0)
    return RefuseCall("last error: no buffer for its " + std::to_string(len) + " bytes");
  const std::string reason = t_own_failure == OwnFailure::Noted
                                 ? KestalHostCommService::Impl::ThreadFailure()
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
