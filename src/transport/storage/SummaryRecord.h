// The 32-byte record that describes one message in a summary ring (little-endian, no gaps):
//   0 tag (0x234973A1) | 4 seq_no (u64) | 12 seq_no_inv (~seq_no) | 20 start (u32 disk address)
//   24 data_len (u32) | 28 msg_type (u16) | 30 crc (XOR of bytes 0-29, high byte 0)
// Zeros or stale bytes in a slot simply fail IsValid.
#pragma once

#include <cstdint>

// Plain data (the decoded fields) with the record's codec.
struct SummaryRecord {
  static constexpr uint32_t kSize = 32;
  static constexpr uint32_t kTag = 0x234973A1;
  // Field offsets.
  static constexpr uint32_t kTagOffset = 0;
  static constexpr uint32_t kSeqNoOffset = 4;
  static constexpr uint32_t kSeqNoInvOffset = 12;
  static constexpr uint32_t kStartOffset = 20;
  static constexpr uint32_t kDataLenOffset = 24;
  static constexpr uint32_t kMsgTypeOffset = 28;
  static constexpr uint32_t kCrcOffset = 30;

  uint64_t seq_no = 0;
  uint32_t start = 0;
  uint32_t data_len = 0;
  uint16_t msg_type = 0;

  // Writes the whole record, tag, complement and check included.
  void Encode(uint8_t out[kSize]) const;
  // Reads the fields; says nothing about validity.
  static SummaryRecord Decode(const uint8_t in[kSize]);
  // Tag, complement and check all right.
  static bool IsValid(const uint8_t in[kSize]);
  // XOR of bytes 0 to 29.
  static uint16_t Crc(const uint8_t in[kSize]);
};
