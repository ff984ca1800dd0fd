// The mailbox volume on the device's disk: two one-way channels ("volume types"), each a ring
// of 32-byte summary records and a ring of message data.
//
//   type 0, host to device: summary 0x000000-0x020000, data 0x040000-0x240000
//   type 1, device to host: summary 0x020000-0x040000, data 0x240000-0x3200000
//
// Each area runs from its start up to, not including, its end; the four fill the disk.
#pragma once

#include <cstdint>

constexpr uint32_t kStorageDeviceSize = 0x3200000;  // 52428800 bytes: identifies the disk
constexpr uint32_t kStorageBlockSize = 512;
constexpr int kVolumeTypeHostToDevice = 0;
constexpr int kVolumeTypeDeviceToHost = 1;
constexpr int kVolumeTypeCount = 2;

struct VolumeArea {
  uint32_t summary_start;
  uint32_t summary_end;
  uint32_t data_start;
  uint32_t data_end;

  uint32_t SummarySize() const { return summary_end - summary_start; }
  uint32_t DataSize() const { return data_end - data_start; }
};

constexpr VolumeArea kVolumeAreas[kVolumeTypeCount] = {
    {0x000000, 0x020000, 0x040000, 0x240000},
    {0x020000, 0x040000, 0x240000, 0x3200000},
};

// One side's position in one volume type. For the type a side writes: the next slot, data
// address and sequence number to write, and the newest record found when repositioning. For
// the type it reads: the next slot and number expected, and the last record consumed.
struct VolumeRunInfo {
  uint32_t summary_addr = 0;
  uint32_t data_addr = 0;
  uint64_t seq_no = 0;
  uint32_t last_summary_addr = 0;
  uint64_t last_seq_no = 0;
};

// Data are placed and written in whole blocks.
constexpr uint32_t RoundUpToBlock(uint32_t n) {
  return (n + (kStorageBlockSize - 1)) & ~(kStorageBlockSize - 1);
}
