// The mailbox volume on the storage transport's disk (see VolumeArea.h): the host writes volume
// type 0 (host to device, WriteMsg) and reads volume type 1 (device to host, ReadMsg, through the
// MailboxReader). It keeps each type's positions (VolumeRunInfo) in memory; RepositionVolume
// derives them again from the disk after each open, and PrintVolumeRunInfo dumps both summary
// areas to files.
//
// Threads: each volume type has its mutex, which guards its positions: type 0's is the send lock
// (WriteMsg from any thread), type 1's the receive lock (ReadMsg on the transport's receive
// worker). PrintVolumeRunInfo takes no lock beyond reading the positions: it may run on any
// thread. Status reports raised under either lock are made after its release
// (ReportsAfterUnlock). The disk link, and the health and capture given to it, must remain live
// as long as the mailbox (the capture: while the receive worker runs).
#pragma once

#include <cstdint>
#include <functional>

#include "common/Mutex.h"
#include "diag/LinkCapture.h"
#include "diag/LinkHealth.h"
#include "transport/storage/AlignedBuffer.h"
#include "transport/storage/MailboxReader.h"
#include "transport/storage/StorageDiskLink.h"
#include "transport/storage/SummaryRecord.h"
#include "transport/storage/VolumeArea.h"

class StorageMailbox {
 public:
  // One received message: its type and payload, valid during the call.
  using MessageFn = std::function<void(uint16_t type, const uint8_t* data, uint32_t len)>;
  static constexpr uint32_t kMaxMsgLen = 65536;  // largest message sent or received

  // Allocates nothing: the buffers come with the first RepositionVolume.
  StorageMailbox(StorageDiskLink& disk, LinkHealth& health);
  StorageMailbox(const StorageMailbox&) = delete;
  StorageMailbox& operator=(const StorageMailbox&) = delete;

  // What captures the messages written and read (null: nothing); set while no worker runs.
  void SetCapture(LinkCapture* capture) { m_capture = capture; }

  // Writes one message into a volume type: its data, then its record. 0 when it is on the disk.
  int WriteMsg(int volume_type, uint16_t msg_type, const uint8_t* data, uint32_t length);
  // One receive pass over type 1 (under the receive lock), handing each message to `deliver`;
  // negative when the disk failed. A record whose message is longer than kMaxMsgLen is skipped.
  int ReadMsg(const MessageFn& deliver);
  // One piece of data into or out of a ring area, continuing at the area's start when it
  // passes the area's end. `end_address` gets where the next piece would begin.
  int ShmWrite(uint32_t address, const uint8_t* data, uint32_t length, uint32_t area_start,
               uint32_t area_end, uint32_t* end_address);
  int ShmRead(uint32_t address, uint8_t* buffer, uint32_t length, uint32_t area_start,
              uint32_t area_end, uint32_t* end_address);
  // Finds the newest record of a type and continues after it; writes the init message into
  // a type without a valid first record. The first call takes the mailbox's buffers.
  int RepositionVolume(int volume_type);
  VolumeRunInfo RunInfo(int volume_type) const;
  void SetRunInfo(int volume_type, const VolumeRunInfo& info);
  static const VolumeArea& Area(int volume_type) { return kVolumeAreas[volume_type]; }
  // Writes the summary areas of both types to "volume<UTC+8 time>_<type>.txt". Without an open
  // disk it logs its line, reports "Device is null" and writes nothing.
  void PrintVolumeRunInfo();

 private:
  // Writes the reader's (and repositioning's) log lines and counts in the health.
  class RecvReporter : public MailboxReader::Reporter {
   public:
    explicit RecvReporter(LinkHealth& health) : m_health(health) {}
    void Report(MailboxReader::Event event, const MailboxReader::Values& values) override;

   private:
    void ReportPass(MailboxReader::Event event, const MailboxReader::Values& values);
    void ReportScan(MailboxReader::Event event, const MailboxReader::Values& values);
    LinkHealth& m_health;
  };
  // Hands each message the reader delivers to the pass's `deliver`.
  class RecvSink : public MailboxReader::Sink {
   public:
    explicit RecvSink(StorageMailbox& owner) : m_owner(owner) {}
    uint32_t MaxLength() const override { return kMaxMsgLen; }
    int Deliver(uint16_t msg_type, const uint8_t* data, uint32_t length) override;
    void SetDeliver(const MessageFn* deliver) { m_deliver = deliver; }

   private:
    StorageMailbox& m_owner;
    const MessageFn* m_deliver = nullptr;  // the pass's (under the receive lock)
  };

  void Reserve();
  int WriteMsgLocked(int volume_type, uint16_t msg_type, const uint8_t* data, uint32_t length);
  int WriteRecordLocked(int volume_type, VolumeRunInfo* info, uint16_t msg_type,
                        const uint8_t* data, uint32_t length);
  int RepositionSendLocked();
  void DumpVolume(int volume_type, const uint8_t* summary) const;

  StorageDiskLink& m_disk;
  LinkHealth& m_health;
  LinkCapture* m_capture = nullptr;

  // Per volume type, its mutex (type 0: the send lock; type 1: the receive lock) guards its
  // positions: type 0's here, with the buffer that repositioning reads its summary area into;
  // type 1's in the reader.
  // The lock is chosen by volume type at run time, which the thread-safety analysis cannot
  // follow: what it guards is not annotated.
  mutable kestal::Mutex m_volume_mutex[kVolumeTypeCount];
  VolumeRunInfo m_send_run_info;
  AlignedBuffer m_scan_buffer;

  RecvReporter m_recv_reporter{m_health};
  RecvSink m_recv_sink{*this};
  MailboxReader m_reader;
};
