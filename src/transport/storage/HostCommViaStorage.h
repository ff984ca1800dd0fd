// Storage transport: the device presents a disk of exactly 52428800 bytes, and the host reads
// and writes it block by block as a mailbox (see VolumeArea.h). It owns the disk link
// (StorageDiskLink: finding, opening and closing the disk, block transfers, their reports) and
// the mailbox (StorageMailbox: the volume types' records and rings, the dump), and runs the
// receive worker.
//
// Threads:
//  - StartLoopRecv / StopLoopRecv: the service's thread (under its mutex),
//    never concurrently with each other. StartLoopRecv opens the disk, repositions both types
//    and starts the receive worker; StopLoopRecv joins the worker before it closes the disk.
//  - SendOrder: any thread; the mailbox's send lock (type 0's mutex) serialises messages.
//  - the receive worker: polls type 1 every millisecond (ReadMsg, under type 1's mutex) and
//    hands each message to the plan's `deliver` (HostCommTransportPlan) where it lies in the
//    reader's buffer.
//  - PrintVolumeRunInfo: any thread; it only reads.
// No status is reported while a lock is held: the report function may call back into the
// transport.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "common/StatusReport.h"
#include "diag/LinkHealth.h"
#include "transport/HostCommTransport.h"
#include "transport/storage/StorageDiskLink.h"
#include "transport/storage/StorageMailbox.h"

class HostCommViaStorage final : public HostCommTransport {
 public:
  static constexpr uint32_t kMaxMsgLen = StorageMailbox::kMaxMsgLen;

  // Allocates no buffer: the disk link's and the mailbox's come with the first start.
  // `config.report_status` receives the connection states (StorageConnected, StorageConnectError,
  // StorageCommError); it is called on the thread whose operation connected or failed
  // (StartLoopRecv, the receive worker, SendOrder, PrintVolumeRunInfo), after the transport has
  // released its locks.
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
  bool IsConnected() const override { return m_disk.IsOpen(); }
  // The host-to-device data ring.
  uint32_t UnreadLimit() const override { return kVolumeAreas[kVolumeTypeHostToDevice].DataSize(); }
  // Writes the summary areas of both types to "volume<UTC+8 time>_<type>.txt". Without an open
  // disk (the network link in use) it logs its line and reports "Device is null".
  void PrintVolumeRunInfo() override { m_mailbox.PrintVolumeRunInfo(); }

  // The parts, for tests and tools that drive them one step at a time (no worker running).
  StorageDiskLink& Disk() { return m_disk; }
  StorageMailbox& Mailbox() { return m_mailbox; }

 private:
  void LoopRecv();

  LinkHealth m_own_health;
  const StatusReportFn m_report_status;
  const FailureReportFn m_report_failure;
  MessageFn m_deliver;  // the plan's, written by StartLoopRecv while no worker runs
  // Where the transport counts; it must remain live while the worker runs.
  LinkHealth* const m_health;
  std::atomic<bool> m_stop{false};

  StorageDiskLink m_disk{m_report_status, m_report_failure};
  StorageMailbox m_mailbox{m_disk, *m_health};

  std::thread m_recv_thread;
};
