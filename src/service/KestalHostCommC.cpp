// The C interface: each function forwards to the service singleton. The C callbacks have C
// types of their own, so the service is given small forwarding functions that call them.
#include "kestal/kestal_c.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "kestal/KestalHostCommService.h"
#include "service/KestalHostCommServiceImpl.h"

namespace {

// One registered C callback. The setters store the user data before the function, as the
// class does, and the service calls the forwarder only while a function is registered.
template <typename Fn>
struct CallbackSlot {
  std::atomic<Fn> fn{nullptr};
  std::atomic<void*> user_data{nullptr};

  // True when a function is now registered.
  bool Set(Fn callback, void* data) {
    user_data = data;
    fn = callback;
    return callback != nullptr;
  }
};

CallbackSlot<kestal_event_fn> g_event;
CallbackSlot<kestal_message_fn> g_message;
CallbackSlot<kestal_state_fn> g_scanner_state;
CallbackSlot<kestal_state_fn> g_arm_state;
CallbackSlot<kestal_text_fn> g_status_line;

void ForwardEvent(HostCommDeviceEvent event, const char* text, void*) {
  if (kestal_event_fn fn = g_event.fn) fn(static_cast<int>(event), text, g_event.user_data);
}
void ForwardMessage(unsigned short type, unsigned char* data, unsigned int len, void*) {
  if (kestal_message_fn fn = g_message.fn) fn(type, data, len, g_message.user_data);
}
void ForwardScannerState(unsigned short state, void*) {
  if (kestal_state_fn fn = g_scanner_state.fn) fn(state, g_scanner_state.user_data);
}
void ForwardArmState(unsigned short state, void*) {
  if (kestal_state_fn fn = g_arm_state.fn) fn(state, g_arm_state.user_data);
}
void ForwardStatusLine(const char* text, void*) {
  if (kestal_text_fn fn = g_status_line.fn) fn(text, g_status_line.user_data);
}

KestalHostCommService& Service() { return KestalHostCommService::GetInstance(); }

constexpr size_t kMaxHostLength = 255;  // the longest DNS name
constexpr size_t kMaxPathLength = 4096;

}  // namespace

extern "C" {

int kestal_start(void) { return Service().Start(); }

int kestal_stop(void) { return Service().Stop(); }

int kestal_set_comm_type(int comm_type) {
  if (comm_type < KESTAL_COMM_STORAGE || comm_type > KESTAL_COMM_NETWORK_ALT) return -1;
  Service().SetCommType(static_cast<HostCommDeviceType>(comm_type));
  return 0;
}

int kestal_set_network_endpoint(int comm_type, const char* host, unsigned short port) {
  if (comm_type != KESTAL_COMM_NETWORK && comm_type != KESTAL_COMM_NETWORK_ALT) return -1;
  if (!host) return -1;
  const size_t length = strnlen(host, kMaxHostLength + 1);
  if (length > kMaxHostLength) return -1;
  return KestalHostCommService::Impl::Of(Service()).SetDeviceEndpoint(
      comm_type == KESTAL_COMM_NETWORK_ALT, std::string(host, length), port);
}

int kestal_set_storage_device(const char* path) {
  const size_t length = path ? strnlen(path, kMaxPathLength + 1) : 0;
  if (length > kMaxPathLength) return -1;
  // One setting changed under the settings' lock: an endpoint set meanwhile from another thread
  // stays.
  std::vector<std::string> paths;
  if (length > 0) paths.emplace_back(path, length);
  return KestalHostCommService::Impl::Of(Service()).SetStoragePaths(std::move(paths));
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

// The service only reads what these point to; its signatures predate const.
int kestal_send(unsigned short type, const unsigned char* data, unsigned int len) {
  return Service().SendHostCommMsg(type, const_cast<unsigned char*>(data), len);
}

int kestal_update_firmware(unsigned short firmware_type, const unsigned char* data,
                           unsigned int len) {
  return Service().SendUpdateFirmware(firmware_type, const_cast<unsigned char*>(data), len);
}

unsigned short kestal_next_seq_no(void) { return Service().GetMsgSeqNo(); }

void kestal_print_volume_run_info(void) { Service().PrintVolumeRunInfo(); }

}  // extern "C"
