// The storage transport's disk: finds the device's disk of exactly 52428800 bytes (or takes an
// attached storage), opens and closes it, and transfers bytes at byte addresses in whole blocks.
// Every failure is written to the log and reported (ErrorReport): a debug line, the reason to
// `report_failure` and a status (StorageConnectError, StorageCommError) to `report_status`. As a
// BlockStorage it is the disk the mailbox reads and writes, with those reports.
//
// Threads: any thread may transfer. Every transfer holds the device lock shared, and opening or
// closing the disk holds it exclusively, so the disk is never closed under a transfer; writes take
// turns on the aligned staging buffer. No status is reported while a lock of the link is held, and
// a report raised inside a mailbox section waits for its end (ReportsAfterUnlock). The report
// functions, and an attached storage while attached, must remain live as long as the link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "common/StatusReport.h"
#include "transport/storage/AlignedBuffer.h"
#include "transport/storage/BlockDevice.h"
#include "transport/storage/BlockStorage.h"

class StorageDiskLink final : public BlockStorage {
 public:
  // The failures that ErrorReport turns into a debug line and a status report.
  enum class StorageError {
    OpenFailed,       // "Open device error", StorageConnectError
    DeviceNull,       // "Device is null", StorageConnectError
    ReadFailed,       // "Storage read error", StorageCommError
    WriteFailed,      // "Storage write error", StorageCommError
    WriteCrossBlock,  // "Storage write address is not from block address", StorageCommError
  };

  // Allocates nothing: the staging buffer comes with the first open.
  StorageDiskLink(const StatusReportFn& report_status, const FailureReportFn& report_failure);
  ~StorageDiskLink() override;
  StorageDiskLink(const StorageDiskLink&) = delete;
  StorageDiskLink& operator=(const StorageDiskLink&) = delete;

  // Opens the first of `paths` (at most 16 tried) of the device's size; empty: discovery. 0, or -1
  // after reporting StorageConnectError.
  int OpenStorageDevice(const std::vector<std::string>& paths = {});
  // Closes the disk (nothing when none is open); gives the path it had, for the log.
  std::string Close();
  bool IsOpen() const;
  // The disk in use, or the search pattern while none has been found.
  std::string DevicePath() const;
  // Uses `storage` (named `name` in the log) in place of a disk found by discovery; nullptr
  // restores discovery. For tests and fuzzing. Call while the transport is stopped.
  void AttachStorage(BlockStorage* storage, std::string name = "memory");

  // Block I/O by byte address. A write starting inside a block stays inside it (read, modify,
  // write); a write at a block boundary writes whole blocks, the last one zero-padded. A
  // zero-length write touches nothing.
  int WriteStorageDevice(uint32_t address, const uint8_t* data, uint32_t length);
  int ReadStorageDevice(uint32_t address, uint8_t* buffer, uint32_t length);
  void ErrorReport(StorageError kind) const;

  // BlockStorage: the transfers above, refused past 4 GiB.
  int Read(uint64_t offset, uint8_t* buffer, uint32_t length) override;
  int Write(uint64_t offset, const uint8_t* data, uint32_t length) override;

 private:
  static constexpr uint32_t kStagingSize = 0x10000;

  // The block write's two ways: inside one block, or whole blocks from a boundary.
  int WriteInsideBlock(uint32_t address, const uint8_t* data, uint32_t length, StorageError* error)
      REQUIRES_SHARED(m_device_mutex) REQUIRES(m_staging_mutex);
  int WriteWholeBlocks(uint32_t address, const uint8_t* data, uint32_t length)
      REQUIRES_SHARED(m_device_mutex) REQUIRES(m_staging_mutex);
  void LogWriteListing(const uint8_t* data, uint32_t length) const;

  const StatusReportFn& m_report_status;
  const FailureReportFn& m_report_failure;

  // m_device_mutex: shared for transfers, exclusive for open and close. m_disk is the open storage
  // (m_device or the attached one), nullptr while closed.
  mutable kestal::SharedMutex m_device_mutex;
  BlockDevice m_device GUARDED_BY(m_device_mutex);
  BlockStorage* m_disk GUARDED_BY(m_device_mutex) = nullptr;
  BlockStorage* m_attached GUARDED_BY(m_device_mutex) = nullptr;
  std::string m_attached_name GUARDED_BY(m_device_mutex);
  std::string m_device_path GUARDED_BY(m_device_mutex);

  // Aligned copy of what WriteStorageDevice puts on the disk; both volume types write through it.
  kestal::Mutex m_staging_mutex;
  AlignedBuffer m_staging GUARDED_BY(m_staging_mutex);
};
