#include "transport/storage/SummaryRecord.h"

#include "common/LittleEndian.h"

uint16_t SummaryRecord::Crc(const uint8_t in[kSize]) {
  uint8_t x = 0;
  for (uint32_t i = 0; i < kCrcOffset; ++i) x ^= in[i];
  return x;
}

void SummaryRecord::Encode(uint8_t out[kSize]) const {
  kestal::StoreU32(out + kTagOffset, kTag);
  kestal::StoreU64(out + kSeqNoOffset, seq_no);
  kestal::StoreU64(out + kSeqNoInvOffset, ~seq_no);
  kestal::StoreU32(out + kStartOffset, start);
  kestal::StoreU32(out + kDataLenOffset, data_len);
  kestal::StoreU16(out + kMsgTypeOffset, msg_type);
  kestal::StoreU16(out + kCrcOffset, Crc(out));
}

SummaryRecord SummaryRecord::Decode(const uint8_t in[kSize]) {
  SummaryRecord r;
  r.seq_no = kestal::LoadU64(in + kSeqNoOffset);
  r.start = kestal::LoadU32(in + kStartOffset);
  r.data_len = kestal::LoadU32(in + kDataLenOffset);
  r.msg_type = kestal::LoadU16(in + kMsgTypeOffset);
  return r;
}

bool SummaryRecord::IsValid(const uint8_t in[kSize]) {
  return kestal::LoadU32(in + kTagOffset) == kTag &&
         kestal::LoadU64(in + kSeqNoInvOffset) == ~kestal::LoadU64(in + kSeqNoOffset) &&
         kestal::LoadU16(in + kCrcOffset) == Crc(in);
}
