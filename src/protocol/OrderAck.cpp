#include "protocol/OrderAck.h"

#include "common/LittleEndian.h"
#include "common/ProtocolCatalogue.h"

using namespace kestal::catalogue;

int DecodeOrderAck(const uint8_t* data, uint32_t len, OrderAck* out) {
  if (!data || !out || len < kAckReply) return -1;
  out->seq_no = kestal::LoadU16(data + kAckSeqNo);
  out->sub_type = kestal::LoadU16(data + kAckSubType);
  out->code = kestal::LoadU16(data + kAckCode);
  const uint32_t announced = kestal::LoadU32(data + kAckReplyLen);
  out->reply_len = std::min(announced, len - kAckReply);
  out->reply = data + kAckReply;
  return 0;
}

int DecodeImageHeader(const uint8_t* data, uint32_t len, ImageHeader* out) {
  if (!data || !out || len < kImageHeaderLength) return -1;
  out->number = kestal::LoadU32(data + kImageNumber);
  out->kind = kestal::LoadU16(data + kImageKind);
  out->width = kestal::LoadU32(data + kImageWidth);
  out->height = kestal::LoadU32(data + kImageHeight);
  out->image_size = kestal::LoadU32(data + kImageSize);
  return 0;
}
