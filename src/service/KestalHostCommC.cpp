// The C interface's global functions: the process-wide service. Each forwards to the operation
// of ServiceCalls.h (the same as a session's twin) or to the service's own setter; the service
// holds the C callbacks beside the class's (see AppCallback).
#include "kestal/kestal_c.h"

#include <string>

#include "kestal/KestalHostCommService.h"
#include "service/CallRefusal.h"
#include "service/KestalHostCommServiceImpl.h"
#include "service/ServiceCalls.h"

namespace {

KestalHostCommService& Service() { return KestalHostCommService::GetInstance(); }
KestalHostCommService::Impl& ServiceImpl() { return KestalHostCommService::Impl::Of(Service()); }

}  // namespace

namespace calls = kestal::calls;

int kestal::RefuseCall(const std::string& reason) { return calls::Refuse(ServiceImpl(), reason); }

extern "C" {

int kestal_start(void) { return calls::Start(ServiceImpl()); }

int kestal_stop(void) { return calls::Stop(ServiceImpl()); }

int kestal_set_comm_type(int comm_type) { return calls::SetCommType(ServiceImpl(), comm_type); }

int kestal_set_network_endpoint(int comm_type, const char* host, unsigned short port) {
  return calls::SetNetworkEndpoint(ServiceImpl(), comm_type, host, port);
}

int kestal_set_storage_device(const char* path) {
  return calls::SetStorageDevice(ServiceImpl(), path);
}

void kestal_set_event_callback(kestal_event_fn callback, void* user_data) {
  ServiceImpl().SetEventFn(callback, user_data);
}

void kestal_set_message_callback(kestal_message_fn callback, void* user_data) {
  ServiceImpl().SetMessageFn(callback, user_data);
}

void kestal_set_scanner_state_callback(kestal_state_fn callback, void* user_data) {
  ServiceImpl().SetScanerStatusCallBack(callback, user_data);
}

void kestal_set_arm_state_callback(kestal_state_fn callback, void* user_data) {
  ServiceImpl().SetArmStatusCallBack(callback, user_data);
}

void kestal_set_status_line_callback(kestal_text_fn callback, void* user_data) {
  ServiceImpl().SetLogCallBack(callback, user_data);
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
  return calls::Request(ServiceImpl(), sub_type, params, params_len, timeout_ms, ack);
}

int kestal_last_error(char* buf, unsigned int len) {
  return calls::LastError(ServiceImpl(), buf, len);
}

int kestal_get_health(kestal_health* out) { return calls::GetHealth(ServiceImpl(), out); }

int kestal_send(unsigned short type, const unsigned char* data, unsigned int len) {
  return calls::Send(ServiceImpl(), type, data, len);
}

int kestal_update_firmware(unsigned short firmware_type, const unsigned char* data,
                           unsigned int len) {
  return calls::UpdateFirmware(ServiceImpl(), firmware_type, data, len);
}

int kestal_is_connected(void) { return calls::IsConnected(ServiceImpl()); }

int kestal_wait_connected(unsigned int timeout_ms) {
  return calls::WaitConnected(ServiceImpl(), timeout_ms);
}

unsigned short kestal_next_seq_no(void) { return Service().GetMsgSeqNo(); }

void kestal_print_volume_run_info(void) { Service().PrintVolumeRunInfo(); }

}  // extern "C"
