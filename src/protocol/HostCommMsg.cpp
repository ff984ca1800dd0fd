#include "protocol/HostCommMsg.h"

#include <cstring>

#include "common/LittleEndian.h"
#include "common/ByteSum.h"

using namespace kestal;

uint32_t HostCommMsg::BuildHeartBeat(uint8_t* out, uint16_t seq_no) {
  std::memset(out, 0, OrderLayout::kHeaderLength);
  StoreU16(out + OrderLayout::kSeqNo, seq_no);
  StoreU16(out + OrderLayout::kSubMsgType, HeartBeat);
  StoreU32(out + OrderLayout::kParamLen, 0);
  return OrderLayout::kHeaderLength;
}

std::vector<uint8_t> HostCommMsg::BuildOrder(uint16_t seq_no, uint16_t sub_type,
                                             const std::vector<uint8_t>& params) {
  return BuildOrder(seq_no, sub_type, params.data(), static_cast<uint32_t>(params.size()));
}

std::vector<uint8_t> HostCommMsg::BuildOrder(uint16_t seq_no, uint16_t sub_type,
                                             const uint8_t* params, uint32_t params_len) {
  std::vector<uint8_t> order(OrderLayout::kHeaderLength + params_len);
  BuildOrder(order.data(), seq_no, sub_type, params, params_len);
  return order;
}

uint32_t HostCommMsg::BuildOrder(uint8_t* out, uint16_t seq_no, uint16_t sub_type,
                                 const uint8_t* params, uint32_t params_len) {
  StoreU16(out + OrderLayout::kSeqNo, seq_no);
  StoreU16(out + OrderLayout::kSubMsgType, sub_type);
  StoreU32(out + OrderLayout::kParamLen, params_len);
  if (params_len > 0) std::memcpy(out + OrderLayout::kParams, params, params_len);
  return OrderLayout::kHeaderLength + params_len;
}

uint32_t HostCommMsg::BuildCommTypeOrder(uint8_t* out, uint16_t seq_no, uint32_t comm_type) {
  StoreU16(out + OrderLayout::kSeqNo, seq_no);
  StoreU16(out + OrderLayout::kSubMsgType, SetCommType);
  StoreU32(out + OrderLayout::kParamLen, 4);
  StoreU32(out + OrderLayout::kParams, comm_type);
  return OrderLayout::kHeaderLength + 4;
}

void HostCommMsg::BuildFirmwareChunkHeader(uint8_t* out, uint16_t seq_no, uint16_t type,
                                           uint32_t file_len, uint32_t check, uint32_t chunk_offset,
                                           uint32_t chunk_len) {
  StoreU16(out + FirmwareChunkLayout::kSeqNo, seq_no);
  StoreU16(out + FirmwareChunkLayout::kType, type);
  StoreU32(out + FirmwareChunkLayout::kFileLen, file_len);
  StoreU32(out + FirmwareChunkLayout::kCheck, check);
  StoreU32(out + FirmwareChunkLayout::kTotalLen, file_len);
  StoreU32(out + FirmwareChunkLayout::kChunkOffset, chunk_offset);
  StoreU32(out + FirmwareChunkLayout::kChunkLen, chunk_len);
}

uint32_t HostCommMsg::FirmwareCheck(const uint8_t* data, uint32_t len) {
  // The same additive byte sum as the frame checksum.
  return kestal::ByteSum(data, len);
}
