// Decoding of what the device sends that more than the dispatcher reads: the order ACK, which
// requests wait for, and the image frame header, whose number and size every frame carries.
// Plain structs and functions of the protocol layer; the C interface's kestal_decode_* wrap them.
// Every decoder checks the length first and never reads past it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

// Results of a request (HostCommProtocolImpl::Request), the C interface's KESTAL_* codes.
constexpr int kRequestOk = 0;
constexpr int kRequestInvalid = -1;
constexpr int kRequestTimeout = -2;
constexpr int kRequestNotConnected = -3;
constexpr int kRequestSendFailed = -4;
constexpr int kRequestStopped = -5;

// An order ACK: seq_no, sub type, code, then the reply.
struct OrderAck {
  uint16_t seq_no;
  uint16_t sub_type;
  uint16_t code;
  uint32_t reply_len;    // reply bytes that arrived, at most what the ACK announced
  const uint8_t* reply;  // points into the decoded bytes
};
// 0, or -1 (nothing written) for a null argument or fewer than the ACK's 10 header bytes.
int DecodeOrderAck(const uint8_t* data, uint32_t len, OrderAck* out);

// The fields of an image frame's 80-byte header that the library reads.
struct ImageHeader {
  uint32_t number;  // the device's frame counter
  uint16_t kind;
  uint32_t width;
  uint32_t height;
  uint32_t image_size;  // bytes of image data behind the header
};
// 0, or -1 (nothing written) for a null argument or fewer than 80 bytes.
int DecodeImageHeader(const uint8_t* data, uint32_t len, ImageHeader* out);

// Where a request's ACK goes: `fill` copies the decoded ACK into `target`. It runs on the thread
// that reads the link, while the waiting thread sleeps.
struct AckSink {
  void* target;
  void (*fill)(void* target, const OrderAck& ack);
};

// A sink for a struct with the fields seq_no, sub_type, code, truncated, reply_len and an array
// reply (the C interface's ACK): the reply as far as it arrived, cut to what the array holds.
template <typename Ack>
AckSink AckSinkFor(Ack* ack) {
  return {ack, [](void* target, const OrderAck& view) {
            Ack* out = static_cast<Ack*>(target);
            constexpr uint32_t kRoom = sizeof out->reply;
            out->seq_no = view.seq_no;
            out->sub_type = view.sub_type;
            out->code = view.code;
            out->truncated = view.reply_len > kRoom;
            out->reply_len = std::min(view.reply_len, kRoom);
            std::memcpy(out->reply, view.reply, out->reply_len);
          }};
}
