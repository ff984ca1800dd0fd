// One raw disk (or a disk image file) opened for positioned block transfers.
//
// The platform half lives in BlockDevicePosix.cpp / BlockDeviceWin32.cpp. Open and Close are
// called by the owner while no transfer runs (the owner serialises them); Read and Write may
// be called from several threads at once, since every transfer carries its own offset and no
// file position is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/storage/BlockStorage.h"

class BlockDevice : public BlockStorage {
 public:
  // Discovery looks at no more than this many disks.
  static constexpr std::size_t kMaxCandidates = 16;
  // Buffers handed to Read and Write should start on this boundary; unaligned ones are
  // staged through an aligned copy, which costs an allocation.
  static constexpr std::size_t kBufferAlignment = 4096;

  BlockDevice() = default;
  ~BlockDevice() override;
  BlockDevice(const BlockDevice&) = delete;
  BlockDevice& operator=(const BlockDevice&) = delete;

  // The host's disks in discovery order, at most kMaxCandidates of them.
  static std::vector<std::string> DefaultCandidates();
  // What the device path shows while no disk has been found.
  static std::string SearchPattern();
  // Length in bytes of the named disk or image file, or -1 when it does not exist or its
  // length cannot be had. Where the platform allows it, no disk is opened for this.
  static int64_t ProbeSize(const std::string& path);

  // Opens the disk for reading and writing, bypassing the OS cache where the platform and the
  // file system allow it, so that what the other side writes is seen. 0 or -1.
  int Open(const std::string& path);
  void Close();
  bool IsOpen() const { return m_handle != kInvalidHandle; }

  // Transfers exactly `length` bytes at byte `offset`; 0, or -1 when the transfer failed or
  // came up short (a read past the end of the disk). Offsets and lengths are whole sectors.
  int Read(uint64_t offset, uint8_t* buffer, uint32_t length) override;
  int Write(uint64_t offset, const uint8_t* data, uint32_t length) override;

 private:
  static constexpr intptr_t kInvalidHandle = -1;

  intptr_t m_handle = kInvalidHandle;  // file descriptor or HANDLE
  bool m_unbuffered = false;           // opened with the OS cache bypassed
};
