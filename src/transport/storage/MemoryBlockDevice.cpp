#include "transport/storage/MemoryBlockDevice.h"

#include <cstring>

MemoryBlockDevice::MemoryBlockDevice(uint64_t size) : m_bytes(static_cast<std::size_t>(size)) {}

bool MemoryBlockDevice::InRange(uint64_t offset, uint32_t length) const {
  return offset % kSectorSize == 0 && length % kSectorSize == 0 && offset <= m_bytes.size() &&
         length <= m_bytes.size() - offset;
}

int MemoryBlockDevice::Read(uint64_t offset, uint8_t* buffer, uint32_t length) {
  if (m_fail_reads || !InRange(offset, length)) return -1;
  if (length == 0) return 0;
  kestal::MutexLock lock(m_mutex);
  std::memcpy(buffer, m_bytes.data() + offset, length);
  return 0;
}

int MemoryBlockDevice::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
  if (m_fail_writes || !InRange(offset, length)) return -1;
  if (length == 0) return 0;
  kestal::MutexLock lock(m_mutex);
  std::memcpy(m_bytes.data() + offset, data, length);
  return 0;
}
