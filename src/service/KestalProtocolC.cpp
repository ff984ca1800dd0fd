// The protocol catalogue's decoders and names for applications (kestal_protocol.h), the default
// endpoints, whether the link is up, and the library's version. The names and the checks of the
// installed header's constants come from the catalogue's rows; the decoding is the protocol
// layer's, converted to the C structs here. Each decoder checks the length before it reads and
// reads through the library's own little-endian loads, so no input can make it read past `len`. A
// refusal leaves its reason for kestal_last_error on the calling thread, and nowhere else.
#include "kestal/kestal_protocol.h"

#include <cstring>
#include <string>

#include "common/LittleEndian.h"
#include "common/ProtocolCatalogue.h"
#include "protocol/HostCommMsg.h"
#include "protocol/HostCommProtocolImpl.h"
#include "protocol/OrderAck.h"
#include "service/CallRefusal.h"
#include "service/KestalHostCommServiceImpl.h"

// The installed header's constants are written by hand, in C89: each must be the catalogue's.
#define KESTAL_CHECK_MSG(name, value, c_name) \
  static_assert(KESTAL_MSG_##c_name == (value) && name == (value), "KESTAL_MSG_" #c_name);
#define KESTAL_CHECK_ORDER(name, value, c_name, line) \
  static_assert(KESTAL_ORDER_##c_name == (value) && name == (value), "KESTAL_ORDER_" #c_name);
#define KESTAL_CHECK_STATE(value, c_name, text) \
  static_assert(KESTAL_STATE_##c_name == (value), "KESTAL_STATE_" #c_name);
KESTAL_CATALOGUE_MSG_TYPES(KESTAL_CHECK_MSG)
KESTAL_CATALOGUE_ORDER_TYPES(KESTAL_CHECK_ORDER)
KESTAL_CATALOGUE_STATES(KESTAL_CHECK_STATE)
#undef KESTAL_CHECK_MSG
#undef KESTAL_CHECK_ORDER
#undef KESTAL_CHECK_STATE
static_assert(KESTAL_IMAGE_HEADER_LEN == kestal::catalogue::kImageHeaderLength, "image header");
static_assert(KESTAL_COMM_NETWORK == static_cast<int>(HostCommTypeNetwork), "comm types");
// A request's results are the C interface's.
static_assert(kRequestOk == KESTAL_OK && kRequestInvalid == KESTAL_E_INVALID &&
                  kRequestTimeout == KESTAL_E_TIMEOUT &&
                  kRequestNotConnected == KESTAL_E_NOT_CONNECTED &&
                  kRequestSendFailed == KESTAL_E_SEND_FAILED && kRequestStopped == KESTAL_E_STOPPED,
              "request results");

namespace {

unsigned int BigEndian(const unsigned char* bytes, unsigned int count) {
  unsigned int value = 0;
  for (unsigned int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

// The reply of `ack` when it holds at least `needed` bytes, else null.
const unsigned char* Reply(const kestal_order_ack* ack, unsigned int needed) {
  return ack && ack->reply && ack->reply_len >= needed ? ack->reply : nullptr;
}

// Refuses decoding `what`: a null argument, or `len` bytes where its layout needs `needed`.
int Refuse(const char* what, bool null_argument, unsigned int len, unsigned int needed) {
  return kestal::RefuseDecoding(
      std::string(what) + (null_argument ? std::string(": a null argument")
                                         : ": " + std::to_string(len) + " bytes, fewer than its " +
                                               std::to_string(needed)));
}

// The same for a reply decoder, whose bytes are the reply of `ack`.
int RefuseReply(const char* what, const kestal_order_ack* ack, const void* out,
                unsigned int needed) {
  return Refuse(what, !ack || !out, ack && ack->reply ? ack->reply_len : 0, needed);
}

}  // namespace

extern "C" {

const char* kestal_state_name(unsigned int state) {
#define KESTAL_STATE_ROW(value, c_name, text) text,
  static const char* const kNames[] = {KESTAL_CATALOGUE_STATES(KESTAL_STATE_ROW)};
#undef KESTAL_STATE_ROW
  return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : kNames[KESTAL_STATE_NO_STATUS];
}

const char* kestal_msg_name(int type) {
  switch (type) {
#define KESTAL_MSG_ROW(name, value, c_name) \
  case value: return #c_name;
    KESTAL_CATALOGUE_MSG_TYPES(KESTAL_MSG_ROW)
#undef KESTAL_MSG_ROW
    default: return "";
  }
}

const char* kestal_order_name(int sub_type) {
  switch (sub_type) {
#define KESTAL_ORDER_ROW(name, value, c_name, line) \
  case value: return #c_name;
    KESTAL_CATALOGUE_ORDER_TYPES(KESTAL_ORDER_ROW)
#undef KESTAL_ORDER_ROW
    default: return "";
  }
}

int kestal_default_endpoint(int comm_type, char* host, unsigned int host_len,
                            unsigned short* port) {
  using namespace kestal::catalogue;
  const bool alt = comm_type == KESTAL_COMM_NETWORK_ALT;
  const char* address = alt ? kDeviceHostType3 : kDeviceHostType1;
  const size_t length = std::strlen(address);
  if ((comm_type != KESTAL_COMM_NETWORK && !alt) || !host || !port || host_len <= length)
    return kestal::RefuseCall("default endpoint: comm type " + std::to_string(comm_type) +
                              " is not a network comm type (1 or 2), or no room for its " +
                              std::to_string(length) + "-byte address");
  std::memcpy(host, address, length + 1);
  *port = alt ? kDevicePortType3 : kDevicePortType1;
  return KESTAL_OK;
}

int kestal_decode_order_ack(const unsigned char* data, unsigned int len, kestal_order_ack* out) {
  OrderAck ack;
  if (!out || DecodeOrderAck(data, len, &ack) != 0)
    return Refuse("decode order ACK", !data || !out, len, OrderLayout::kAckReplyData);
  out->seq_no = ack.seq_no;
  out->sub_type = ack.sub_type;
  out->code = ack.code;
  out->reply_len = ack.reply_len;
  out->reply = ack.reply;
  return KESTAL_OK;
}

int kestal_view_ack(const kestal_ack* ack, kestal_order_ack* out) {
  if (!ack || !out) return Refuse("view ACK", true, 0, 0);
  out->seq_no = ack->seq_no;
  out->sub_type = ack->sub_type;
  out->code = ack->code;
  out->reply_len = ack->reply_len;
  out->reply = ack->reply;
  return KESTAL_OK;
}

int kestal_decode_fpga_temp(const kestal_order_ack* ack, double* celsius) {
  const unsigned char* reply = Reply(ack, 4);
  if (!reply || !celsius) return RefuseReply("decode FPGA temperature", ack, celsius, 4);
  *celsius = HostCommMsg::FpgaTempCelsius(kestal::LoadU32(reply));
  return KESTAL_OK;
}

int kestal_decode_static_info(const kestal_order_ack* ack, kestal_static_info* out) {
  const unsigned char* reply = Reply(ack, 12);
  if (!reply || !out) return RefuseReply("decode static info", ack, out, 12);
  unsigned int* versions[] = {out->app_version, out->fpga_version};
  for (int i = 0; i < 2; ++i) {
    const unsigned char* v = reply + 6 * i;
    versions[i][0] = v[0];
    versions[i][1] = v[1];
    versions[i][2] = kestal::LoadU16(v + 2);
    versions[i][3] = kestal::LoadU16(v + 4);
  }
  return KESTAL_OK;
}

// Reply offsets are the ACK's payload offsets less the 10-byte ACK header.
int kestal_decode_sensor_map(const kestal_order_ack* ack, kestal_sensor_map* out) {
  const unsigned char* reply = Reply(ack, 128);
  if (!reply || !out) return RefuseReply("decode sensor map", ack, out, 128);
  out->roi_height = BigEndian(reply + 1, 2);
  out->start_row = BigEndian(reply + 3, 2);
  out->flip = reply[40];
  out->exposure = BigEndian(reply + 42, 3);
  out->gain = reply[103];
  out->temperature = BigEndian(reply + 126, 2);
  return KESTAL_OK;
}

int kestal_decode_controller_status(const unsigned char* data, unsigned int len,
                                    kestal_controller_status* out) {
  using L = ControllerStatusLayout;
  if (!data || !out || len < L::kFpgaTemp + 4)
    return Refuse("decode controller status", !data || !out, len, L::kFpgaTemp + 4);
  out->scanner_state = kestal::LoadU32(data + L::kScannerState);
  out->fpga_bytes = kestal::LoadU32(data + L::kFpgaBytes);
  out->fpga_fps = kestal::LoadU32(data + L::kFpgaFps);
  out->arm_state = kestal::LoadU32(data + L::kArmState);
  out->arm_fps = kestal::LoadU32(data + L::kArmFps);
  out->host_send_bytes = kestal::LoadU32(data + L::kHostSendBytes);
  out->host_recv_bytes = kestal::LoadU32(data + L::kHostRecvBytes);
  out->fpga_temp_celsius = HostCommMsg::FpgaTempCelsius(kestal::LoadU32(data + L::kFpgaTemp));
  return KESTAL_OK;
}

int kestal_decode_image_header(const unsigned char* data, unsigned int len,
                               kestal_image_header* out) {
  ImageHeader header;
  if (!out || DecodeImageHeader(data, len, &header) != 0)
    return Refuse("decode image header", !data || !out, len, KESTAL_IMAGE_HEADER_LEN);
  out->number = header.number;
  out->kind = header.kind;
  out->width = header.width;
  out->height = header.height;
  out->image_size = header.image_size;
  return KESTAL_OK;
}

const char* kestal_version(void) { return KESTAL_VERSION_STRING; }

}  // extern "C"
