// The protocol catalogue's decoders and names for applications (kestal_protocol.h), and the
// library's version. Each decoder checks the length before it reads and reads through the
// library's own little-endian loads, so no input can make it read past `len`. A refusal leaves its
// reason for kestal_last_error on the calling thread, and nowhere else.
#include "kestal/kestal_protocol.h"

#include <string>

#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "service/CallRefusal.h"

namespace {

// Payload offsets of an order ACK: seq_no, sub type, code, reply length, reply data.
constexpr unsigned int kAckCode = 4;
constexpr unsigned int kAckReplyLen = 6;

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
  static const char* const kNames[] = {"working normally",
                                       "device not found",
                                       "open failed",
                                       "I/O error",
                                       "device inserted",
                                       "device removed",
                                       "device communication timeout",
                                       "no status"};
  return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : kNames[KESTAL_STATE_NO_STATUS];
}

int kestal_decode_order_ack(const unsigned char* data, unsigned int len, kestal_order_ack* out) {
  if (!data || !out || len < OrderLayout::kAckReplyData)
    return Refuse("decode order ACK", !data || !out, len, OrderLayout::kAckReplyData);
  out->seq_no = kestal::LoadU16(data + OrderLayout::kSeqNo);
  out->sub_type = kestal::LoadU16(data + OrderLayout::kSubMsgType);
  out->code = kestal::LoadU16(data + kAckCode);
  const unsigned int announced = kestal::LoadU32(data + kAckReplyLen);
  const unsigned int arrived = len - OrderLayout::kAckReplyData;
  out->reply_len = announced < arrived ? announced : arrived;
  out->reply = data + OrderLayout::kAckReplyData;
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
  if (!data || !out || len < KESTAL_IMAGE_HEADER_LEN)
    return Refuse("decode image header", !data || !out, len, KESTAL_IMAGE_HEADER_LEN);
  out->number = kestal::LoadU32(data);
  out->kind = kestal::LoadU16(data + 4);
  out->width = kestal::LoadU32(data + 8);
  out->height = kestal::LoadU32(data + 12);
  out->image_size = kestal::LoadU32(data + ImagePieceLayout::kHeaderImageSize);
  return KESTAL_OK;
}

const char* kestal_version(void) { return KESTAL_VERSION_STRING; }

}  // extern "C"
