#include "transport/storage/StorageDiskLink.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "common/Log.h"
#include "transport/storage/ReportsAfterUnlock.h"
#include "transport/storage/VolumeArea.h"

namespace {

using kestal::HostCommStatusStorageCommError;
using kestal::HostCommStatusStorageConnectError;

constexpr int64_t kGiB = int64_t{1} << 30;

}  // namespace

thread_local std::vector<ReportsAfterUnlock::Held>* ReportsAfterUnlock::t_held = nullptr;

StorageDiskLink::StorageDiskLink(const StatusReportFn& report_status,
                                 const FailureReportFn& report_failure)
    : m_report_status(report_status),
      m_report_failure(report_failure),
      m_device_path(BlockDevice::SearchPattern()) {}

StorageDiskLink::~StorageDiskLink() { Close(); }

std::string StorageDiskLink::Close() {
  kestal::WriterLock lock(m_device_mutex);
  m_device.Close();
  m_disk = nullptr;
  return m_device_path;
}

void StorageDiskLink::AttachStorage(BlockStorage* storage, std::string name) {
  kestal::WriterLock lock(m_device_mutex);
  if (m_disk == m_attached) m_disk = nullptr;
  m_attached = storage;
  m_attached_name = std::move(name);
}

bool StorageDiskLink::IsOpen() const {
  kestal::ReaderLock lock(m_device_mutex);
  return m_disk != nullptr;
}

std::string StorageDiskLink::DevicePath() const {
  kestal::ReaderLock lock(m_device_mutex);
  return m_device_path;
}

// Block I/O

void StorageDiskLink::ErrorReport(StorageError kind) const {
  unsigned int status = HostCommStatusStorageCommError;
  const char* message = "";
  switch (kind) {
    case StorageError::OpenFailed:
      status = HostCommStatusStorageConnectError;
      message = "Open device error";
      break;
    case StorageError::DeviceNull:
      status = HostCommStatusStorageConnectError;
      message = "Device is null";
      break;
    case StorageError::ReadFailed: message = "Storage read error"; break;
    case StorageError::WriteFailed: message = "Storage write error"; break;
    case StorageError::WriteCrossBlock:
      message = "Storage write address is not from block address";
      break;
  }
  KLOG_DEBUG_AS("HostCommViaStorage::ErrorReport", "%s", message);
  if (kind == StorageError::DeviceNull)
    ReportFailureTo(m_report_failure, "no disk is open");
  else if (status == HostCommStatusStorageCommError)
    ReportFailureTo(m_report_failure, std::string(message) + " on " + DevicePath());
  if (!ReportsAfterUnlock::Hold(m_report_status, status, message))
    ReportStatusTo(m_report_status, status, message);
}

int StorageDiskLink::OpenStorageDevice(const std::vector<std::string>& paths) {
  {
    // Taken by the first open and kept until the link goes: a link that never opens holds none.
    kestal::MutexLock staging_lock(m_staging_mutex);
    if (!m_staging.Data()) m_staging.Allocate(kStagingSize);
  }
  kestal::WriterLock lock(m_device_mutex);
  m_device.Close();
  m_disk = nullptr;
  if (m_attached) {
    m_disk = m_attached;
    m_device_path = m_attached_name;
    KLOG_DEBUG_AS("HostCommViaStorage::OpenStorageDevice", "Found disk:%s", m_device_path.c_str());
    return 0;
  }
  std::vector<std::string> candidates = paths.empty() ? BlockDevice::DefaultCandidates() : paths;
  if (candidates.size() > BlockDevice::kMaxCandidates)
    candidates.resize(BlockDevice::kMaxCandidates);
  for (const std::string& name : candidates) {
    // A disk that cannot be looked at is passed over without a word.
    const int64_t size = BlockDevice::ProbeSize(name);
    if (size < 0) continue;
    KLOG_DEBUG_AS("HostCommViaStorage::OpenStorageDevice",
                  "Check Disk:%s, size: %lldBytes/ %lldGBytes", name.c_str(),
                  static_cast<long long>(size), static_cast<long long>(size / kGiB));
    if (size != kStorageDeviceSize) continue;
    if (m_device.Open(name) < 0) continue;
    m_disk = &m_device;
    m_device_path = name;
    KLOG_DEBUG_AS("HostCommViaStorage::OpenStorageDevice", "Found disk:%s", name.c_str());
    return 0;
  }
  lock.Unlock();
  ReportFailureTo(m_report_failure, "no disk of " + std::to_string(kStorageDeviceSize) +
                                        " bytes among " + std::to_string(candidates.size()) +
                                        " candidates");
  ErrorReport(StorageError::OpenFailed);
  return -1;
}

void StorageDiskLink::LogWriteListing(const uint8_t* data, uint32_t length) const {
  if (!kestal::Log::Enabled(kestal::LogLevel::Debug)) return;
  // Eight bytes a line; the last line shows only the bytes there are.
  for (uint32_t offset = 0; offset < length; offset += 8) {
    const uint32_t n = length - offset < 8 ? length - offset : 8;
    char bytes[8 * 3 + 1];
    int used = 0;
    for (uint32_t i = 0; i < n; ++i)
      used +=
          std::snprintf(bytes + used, sizeof bytes - used, i ? " %02x" : "%02x", data[offset + i]);
    bytes[used] = '\0';
    KLOG_DEBUG_AS("HostCommViaStorage::LogWriteListing", "Index:%02x, data:%s", offset, bytes);
  }
}

int StorageDiskLink::WriteStorageDevice(uint32_t address, const uint8_t* data, uint32_t length) {
  StorageError error = StorageError::WriteFailed;
  {
    kestal::ReaderLock device_lock(m_device_mutex);
    if (!m_disk) return -1;
    KLOG_DEBUG_AS("HostCommViaStorage::WriteStorageDevice", "WriteStorageDevice, addr:%x, data:%d",
                  address, static_cast<int>(length));
    LogWriteListing(data, length);
    // Nothing to write: a block-aligned write would otherwise clear a whole block, and at an
    // area's end that block belongs to the next area.
    if (length == 0) return 0;
    kestal::MutexLock staging_lock(m_staging_mutex);
    if (!m_staging.Data()) {
      error = StorageError::WriteFailed;
    } else if (address % kStorageBlockSize != 0) {
      if (WriteInsideBlock(address, data, length, &error) == 0) return 0;
    } else {
      if (WriteWholeBlocks(address, data, length) == 0) return 0;
      error = StorageError::WriteFailed;
    }
  }
  ErrorReport(error);
  return -1;
}

// Inside a block: read, modify, write back that one block. Under the device and staging locks.
int StorageDiskLink::WriteInsideBlock(uint32_t address, const uint8_t* data, uint32_t length,
                                      StorageError* error) {
  const uint32_t block_addr = address & ~(kStorageBlockSize - 1);
  const uint32_t offset_in_block = address - block_addr;
  uint8_t* staging = m_staging.Data();
  if (static_cast<uint64_t>(offset_in_block) + length > kStorageBlockSize) {
    *error = StorageError::WriteCrossBlock;
    return -1;
  }
  if (m_disk->Read(block_addr, staging, kStorageBlockSize) < 0) {
    *error = StorageError::ReadFailed;
    return -1;
  }
  std::memcpy(staging + offset_in_block, data, length);
  if (m_disk->Write(block_addr, staging, kStorageBlockSize) == 0) return 0;
  *error = StorageError::WriteFailed;
  return -1;
}

// On a boundary: whole blocks, never read first; the bytes behind the data in the last block are
// cleared. Under the device and staging locks.
int StorageDiskLink::WriteWholeBlocks(uint32_t address, const uint8_t* data, uint32_t length) {
  uint8_t* staging = m_staging.Data();
  uint32_t done = 0;
  while (done < length) {
    const uint32_t n = length - done < kStagingSize ? length - done : kStagingSize;
    const uint32_t padded = RoundUpToBlock(n);
    std::memcpy(staging, data + done, n);
    std::memset(staging + n, 0, padded - n);
    if (m_disk->Write(static_cast<uint64_t>(address) + done, staging, padded) < 0) return -1;
    done += n;
  }
  return 0;
}

int StorageDiskLink::ReadStorageDevice(uint32_t address, uint8_t* buffer, uint32_t length) {
  StorageError error = StorageError::ReadFailed;
  {
    kestal::ReaderLock device_lock(m_device_mutex);
    if (!m_disk) {
      error = StorageError::DeviceNull;
    } else if (m_disk->Read(address, buffer, length) == 0) {
      return 0;
    } else {
      error = StorageError::ReadFailed;
    }
  }
  ErrorReport(error);
  return -1;
}

int StorageDiskLink::Read(uint64_t offset, uint8_t* buffer, uint32_t length) {
  return offset > UINT32_MAX ? -1
                             : ReadStorageDevice(static_cast<uint32_t>(offset), buffer, length);
}

int StorageDiskLink::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
  return offset > UINT32_MAX ? -1 : WriteStorageDevice(static_cast<uint32_t>(offset), data, length);
}
