// What the mailbox reads and writes: a disk addressed by byte offset, transferred in whole
// sectors. BlockDevice is a real disk or an image file; MemoryBlockDevice holds the disk's
// bytes in memory (tests, fuzzing, the simulator's in-process disk).
//
// Implementations let Read and Write be called from several threads at once: every transfer
// carries its own offset and shares no position.
#pragma once

#include <cstdint>

class BlockStorage {
 public:
  virtual ~BlockStorage() = default;

  // Transfers exactly `length` bytes at byte `offset`; 0, or -1 when the transfer failed or came
  // up short (past the end of the disk). Offsets and lengths are whole 512-byte sectors.
  virtual int Read(uint64_t offset, uint8_t* buffer, uint32_t length) = 0;
  virtual int Write(uint64_t offset, const uint8_t* data, uint32_t length) = 0;
};
