// A disk held in memory: the storage of the tests, the fuzzer and an in-process simulated device.
// Its transfers behave as a disk's (whole sectors, nothing past the end), and it can be told to
// fail them, as a disk that goes away does.
//
// Threads: Read and Write from any thread (one lock serialises transfers); Data() and the
// failure switches are for the owner while no transfer it cares about runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/Mutex.h"
#include "transport/storage/BlockStorage.h"

class MemoryBlockDevice : public BlockStorage {
 public:
  static constexpr uint32_t kSectorSize = 512;

  // `size` zero bytes (a whole number of sectors).
  explicit MemoryBlockDevice(uint64_t size);

  int Read(uint64_t offset, uint8_t* buffer, uint32_t length) override;
  int Write(uint64_t offset, const uint8_t* data, uint32_t length) override;

  // While set, every read (write) fails and transfers nothing.
  void FailReads(bool fail) { m_fail_reads = fail; }
  void FailWrites(bool fail) { m_fail_writes = fail; }

  // The disk's bytes, for setting up and checking what a test expects.
  uint8_t* Data() { return m_bytes.data(); }
  const uint8_t* Data() const { return m_bytes.data(); }
  uint64_t Size() const { return m_bytes.size(); }

 private:
  // Whole sectors inside the disk.
  bool InRange(uint64_t offset, uint32_t length) const;

  std::vector<uint8_t> m_bytes;
  kestal::Mutex m_mutex;  // one transfer at a time over the bytes
  std::atomic<bool> m_fail_reads{false};
  std::atomic<bool> m_fail_writes{false};
};
