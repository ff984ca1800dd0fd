// Storage transport: the device presents a disk of exactly 52428800 bytes, and the host reads
// and writes it block by block as a mailbox (see VolumeArea.h). The host writes volume type 0
// (host to device) and reads volume type 1 (device to host).
//
// Threads:
//  - StartLoopRecv / StopLoopRecv: the service's thread (under its mutex),
//    never concurrently with each other. StartLoopRecv opens the disk, repositions both types
//    and starts the receive worker; StopLoopRecv joins the worker before it closes the disk.
//  - SendOrder: any thread; the send lock (type 0's mutex) serialises messages.
//  - the receive worker: polls type 1 every millisecond (ReadMsg, under type 1's mutex) and
//    hands each message to the plan's `deliver` (HostCommTransportPlan) where it lies in the
//    reader's buffer.
//  - PrintVolumeRunInfo: any thread; it only reads.
// Every transfer holds the device lock shared, and opening or closing the disk holds it
// exclusively, so the disk is never closed under a transfer. No status is reported while a lock
// is held: the report function may call back into the transport.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/Mutex.h"
#include "common/StatusReport.h"
#include "diag/LinkCapture.h"
#include "diag/LinkHealth.h"
#include "transport/HostCommTransport.h"
#include "transport/storage/AlignedBuffer.h"
#include "transport/storage/BlockDevice.h"
#include "transport/storage/BlockStorage.h"
#include "transport/storage/MailboxReader.h"
#include "transport/storage/SummaryRecord.h"
#include "transport/storage/VolumeArea.h"

class HostCommViaStorage final : public HostCommTransport {
 public:
  static constexpr uint32_t kMaxMsgLen = 65536;  // largest message sent or received
  static constexpr uint32_t kDataBufferSize = MailboxReader::kDataBufferSize;  // one receive pass
  static constexpr uint32_t kSummaryWindowSize =
      MailboxReader::kSummaryWindowSize;  // summary bytes per pass

  // The failures that ErrorReport turns into a debug line and a status report.
  enum class StorageError {
    OpenFailed,       // "Open device error", StorageConnectError
    DeviceNull,       // "Device is null", StorageConnectError
    ReadFailed,       // "Storage read error", StorageCommError
    WriteFailed,      // "Storage write error", StorageCommError
    WriteCrossBlock,  // "Storage write address is not from block address", StorageCommError
  };

  // Allocates no buffer (see ReserveBuffers). `config.report_status` receives the connection states
  // (StorageConnected, StorageConnectError, StorageCommError); it is called on the thread whose
  // operation connected or failed (StartLoopRecv, the receive worker, SendOrder,
  // PrintVolumeRunInfo), after the transport has released its locks. `config.deliver` gets each
  // received message on the receive worker.
  explicit HostCommViaStorage(HostCommTransportConfig config = {});
  ~HostCommViaStorage() override;
  HostCommViaStorage(const HostCommViaStorage&) = delete;
  HostCommViaStorage& operator=(const HostCommViaStorage&) = delete;

  // Opens the disk (the first of `plan.disks` of the device's size, or discovery), repositions
  // both volume types (writing an init message into an empty one), reports StorageConnected and
  // starts the receive worker, which hands each message to `plan.deliver`. 0, or -1 after
  // reporting StorageConnectError.
  int StartLoopRecv(const HostCommTransportPlan& plan) override;
  // Stops and joins the receive worker, closes the disk. Takes at least 400 ms; always 0.
  int StopLoopRecv() override;
  // Writes one message (at most 65536 bytes) into type 0. 0 when it is on the disk. It never
  // waits for room: the ring has room for every message written at once.
  int SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                const SendWait& wait = SendWait()) override;
  bool IsConnected() const override;
  // The host-to-device data ring.
  uint32_t UnreadLimit() const override { return kVolumeAreas[kVolumeTypeHostToDevice].DataSize(); }
  // Writes the summary areas of both types to "volume<UTC+8 time>_<type>.txt". Without an open
  // disk (the network link in use) it only logs its line and reports nothing.
  void PrintVolumeRunInfo() override;

  // The disk in use, or the search pattern while none has been found.
  std::string DevicePath() const;
  // Uses `storage` (named `name` in the log) in place of a disk found by discovery; nullptr
  // restores discovery. For tests and fuzzing; the storage must remain live while attached. Call
  // while stopped.
  void AttachStorage(BlockStorage* storage, std::string name = "memory");

  // Block I/O on the disk by byte address. A write starting inside a block stays inside it
  // (read, modify, write); a write at a block boundary writes whole blocks, the last one
  // zero-padded. A zero-length write touches nothing.
  // Opens the first of `paths` (at most 16 tried) of the device's size; empty: discovery. The
  // first open takes the transfer buffers.
  int OpenStorageDevice(const std::vector<std::string>& paths = {});
  int WriteStorageDevice(uint32_t address, const uint8_t* data, uint32_t length);
  int ReadStorageDevice(uint32_t address, uint8_t* buffer, uint32_t length);
  void ErrorReport(StorageError kind) const;

  // Mailbox operations. SendOrder and the receive worker use them; the tests and tools may
  // drive them one step at a time (no worker running).
  int WriteMsg(int volume_type, uint16_t msg_type, const uint8_t* data, uint32_t length);
  // One receive pass over type 1 (the reader's, under the receive lock), handing each message to
  // `deliver`; negative when the disk failed (the worker then ends). A record whose message is
  // longer than kMaxMsgLen is skipped.
  int ReadMsg(const MessageFn& deliver);
  // One piece of data into or out of a ring area, continuing at the area's start when it
  // passes the area's end. `end_address` gets where the next piece would begin.
  int ShmWrite(uint32_t address, const uint8_t* data, uint32_t length, uint32_t area_start,
               uint32_t area_end, uint32_t* end_address);
  int ShmRead(uint32_t address, uint8_t* buffer, uint32_t length, uint32_t area_start,
              uint32_t area_end, uint32_t* end_address);
  // Finds the newest record of a type and continues after it; writes the init message into
  // a type without a valid first record.
  int RepositionVolume(int volume_type);
  VolumeRunInfo RunInfo(int volume_type) const;
  void SetRunInfo(int volume_type, const VolumeRunInfo& info);
  static const VolumeArea& Area(int volume_type) { return kVolumeAreas[volume_type]; }

 private:
  static constexpr uint32_t kStagingSize = 0x10000;

  // The disk as the reader sees it: the transport's transfers, with their reports.
  class DiskView : public BlockStorage {
   public:
    explicit DiskView(HostCommViaStorage& owner) : m_owner(owner) {}
    int Read(uint64_t offset, uint8_t* buffer, uint32_t length) override;
    int Write(uint64_t offset, const uint8_t* data, uint32_t length) override;

   private:
    HostCommViaStorage& m_owner;
  };
  // Writes the reader's (and repositioning's) log lines and counts in m_health.
  class RecvReporter : public MailboxReader::Reporter {
   public:
    explicit RecvReporter(HostCommViaStorage& owner) : m_owner(owner) {}
    void Report(MailboxReader::Event event, const MailboxReader::Values& values) override;

   private:
    void ReportPass(MailboxReader::Event event, const MailboxReader::Values& values);
    void ReportScan(MailboxReader::Event event, const MailboxReader::Values& values);
    HostCommViaStorage& m_owner;
  };
  // Hands each message the reader delivers to the owner's `deliver`.
  class RecvSink : public MailboxReader::Sink {
   public:
    explicit RecvSink(HostCommViaStorage& owner) : m_owner(owner) {}
    uint32_t MaxLength() const override;
    int Deliver(uint16_t msg_type, const uint8_t* data, uint32_t length) override;
    void SetDeliver(const MessageFn* deliver) { m_deliver = deliver; }

   private:
    HostCommViaStorage& m_owner;
    const MessageFn* m_deliver = nullptr;  // the pass's (under the receive lock)
  };

  void LoopRecv();
  void ReserveBuffers();
  int WriteMsgLocked(int volume_type, uint16_t msg_type, const uint8_t* data, uint32_t length);
  int WriteRecordLocked(int volume_type, VolumeRunInfo* info, uint16_t msg_type,
                        const uint8_t* data, uint32_t length);
  int RepositionSendLocked();
  // The block write's two ways: inside one block, or whole blocks from a boundary.
  int WriteInsideBlock(uint32_t address, const uint8_t* data, uint32_t length, StorageError* error)
      REQUIRES_SHARED(m_device_mutex) REQUIRES(m_staging_mutex);
  int WriteWholeBlocks(uint32_t address, const uint8_t* data, uint32_t length)
      REQUIRES_SHARED(m_device_mutex) REQUIRES(m_staging_mutex);
  void LogWriteListing(const uint8_t* data, uint32_t length) const;
  void DumpVolume(int volume_type, const uint8_t* summary) const;

  LinkHealth m_own_health;
  const StatusReportFn m_report_status;
  const FailureReportFn m_report_failure;
  MessageFn m_deliver;  // the plan's, written by StartLoopRecv while no worker runs
  // Where the transport counts, and what captures the messages it writes and reads (null: nothing,
  // the plan's); both must remain live while the worker runs.
  LinkHealth* const m_health;
  LinkCapture* m_capture = nullptr;
  std::atomic<bool> m_stop{false};

  // The disk. m_device_mutex: shared for transfers, exclusive for open and close. m_disk is the
  // open storage (m_device or the attached one), nullptr while closed.
  mutable kestal::SharedMutex m_device_mutex;
  BlockDevice m_device GUARDED_BY(m_device_mutex);
  BlockStorage* m_disk GUARDED_BY(m_device_mutex) = nullptr;
  BlockStorage* m_attached GUARDED_BY(m_device_mutex) = nullptr;
  std::string m_attached_name GUARDED_BY(m_device_mutex);
  std::string m_device_path GUARDED_BY(m_device_mutex);

  // Per volume type, its mutex (type 0: the send lock; type 1: the receive lock) guards its
  // positions: type 0's here, with the buffer that repositioning reads its summary area into;
  // type 1's in the reader.
  // The lock is chosen by volume type at run time, which the thread-safety analysis cannot
  // follow: what it guards is not annotated.
  mutable kestal::Mutex m_volume_mutex[kVolumeTypeCount];
  VolumeRunInfo m_send_run_info;
  AlignedBuffer m_scan_buffer;

  DiskView m_disk_view{*this};
  RecvReporter m_recv_reporter{*this};
  RecvSink m_recv_sink{*this};
  MailboxReader m_reader;

  // Aligned copy of what WriteStorageDevice puts on the disk; both types write through it.
  kestal::Mutex m_staging_mutex;
  AlignedBuffer m_staging GUARDED_BY(m_staging_mutex);

  std::thread m_recv_thread;
};
