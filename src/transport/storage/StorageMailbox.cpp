#include "transport/storage/StorageMailbox.h"

#include <cstdio>
#include <vector>

#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "transport/network/FrameCodec.h"
#include "transport/storage/ReportsAfterUnlock.h"

namespace {

// A capture shows a disk session as if it had crossed the network: each message as a frame.
void CaptureAsFrame(LinkCapture* capture, bool to_device, uint16_t type, const uint8_t* data,
                    uint32_t len) {
  if (!capture || !capture->Active() || len > FrameCodec::kMaxPayloadLength) return;
  std::vector<uint8_t> frame(len + FrameCodec::kFrameOverhead);
  FrameCodec::Encode(type, data, len, frame.data(), static_cast<uint32_t>(frame.size()));
  capture->Record(to_device, frame.data(), static_cast<uint32_t>(frame.size()));
}

// The reader's and repositioning's lines carry the names of the operations that wrote them before.
constexpr const char* kReadMsg = "HostCommViaStorage::ReadMsg";
constexpr const char* kShmRead = "HostCommViaStorage::ShmRead";
constexpr const char* kResync = "HostCommViaStorage::ResynchroniseRecv";
constexpr const char* kReposition = "HostCommViaStorage::RepositionVolumeLocked";
constexpr uint32_t kSlot = SummaryRecord::kSize;
// The dump files carry the wall-clock time of UTC+8 whatever the host's time zone.
constexpr int64_t kDumpZoneOffsetS = 8 * 3600;

unsigned long long Ull(uint64_t v) { return static_cast<unsigned long long>(v); }

const uint8_t kZeroBlock[kStorageBlockSize] = {};

struct CivilTime {
  int year, month, day, hour, minute, second;
};

// Breaks seconds since 1970 down as UTC without the C runtime's time functions, which differ
// between platforms.
CivilTime ToCivil(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return {
      static_cast<int>(year),       static_cast<int>(month),           static_cast<int>(day),
      static_cast<int>(rem / 3600), static_cast<int>(rem % 3600 / 60), static_cast<int>(rem % 60)};
}

}  // namespace

StorageMailbox::StorageMailbox(StorageDiskLink& disk, LinkHealth& health)
    : m_disk(disk),
      m_health(health),
      m_reader(disk, m_recv_reporter, [this](VolumeRunInfo* positions) {
        // Called under the receive lock, from the reader's repositioning.
        return WriteRecordLocked(kVolumeTypeDeviceToHost, positions, 0, kZeroBlock,
                                 kStorageBlockSize);
      }) {}

// Taken by the first repositioning (the first start) and kept until the mailbox goes: a transport
// that never opens a disk holds no buffer.
void StorageMailbox::Reserve() {
  {
    kestal::MutexLock lock(m_volume_mutex[kVolumeTypeHostToDevice]);
    if (!m_scan_buffer.Data())
      m_scan_buffer.Allocate(kVolumeAreas[kVolumeTypeHostToDevice].SummarySize());
  }
  kestal::MutexLock lock(m_volume_mutex[kVolumeTypeDeviceToHost]);
  m_reader.Reserve();
}

// ---------------------------------------------------------------------------------------
// Ring areas

int StorageMailbox::ShmWrite(uint32_t address, const uint8_t* data, uint32_t length,
                             uint32_t area_start, uint32_t area_end, uint32_t* end_address) {
  *end_address = address;
  // Positions come from the disk: one outside the area would make the wrap arithmetic run
  // past the area.
  if (address < area_start || address > area_end || length > area_end - area_start) {
    KLOG_DEBUG_AS("HostCommViaStorage::ShmWrite", "ShmWrite address:%x, len:%d outside area %x/%x",
                  address, static_cast<int>(length), area_start, area_end);
    return -1;
  }
  int r;
  uint32_t end;
  if (static_cast<uint64_t>(address) + length <= area_end) {
    r = m_disk.WriteStorageDevice(address, data, length);
    end = address + length == area_end ? area_start : address + length;
  } else {
    const uint32_t first = area_end - address;
    r = m_disk.WriteStorageDevice(address, data, first);
    if (r == 0) r = m_disk.WriteStorageDevice(area_start, data + first, length - first);
    end = area_start + (length - first);
  }
  if (r < 0) return r;
  *end_address = end;
  return 0;
}

int StorageMailbox::ShmRead(uint32_t address, uint8_t* buffer, uint32_t length, uint32_t area_start,
                            uint32_t area_end, uint32_t* end_address) {
  *end_address = address;
  if (address < area_start || address > area_end || length > area_end - area_start) {
    KLOG_DEBUG_AS("HostCommViaStorage::ShmRead", "ShmRead address:%x, len:%d outside area %x/%x",
                  address, static_cast<int>(length), area_start, area_end);
    return -1;
  }
  uint32_t end;
  if (static_cast<uint64_t>(address) + length <= area_end) {
    if (int r = m_disk.ReadStorageDevice(address, buffer, length); r < 0) {
      KLOG_DEBUG_AS("HostCommViaStorage::ShmRead", "ReadStorageDevice FAILED 0");
      return r;
    }
    end = address + length == area_end ? area_start : address + length;
  } else {
    const uint32_t first = area_end - address;
    if (int r = m_disk.ReadStorageDevice(address, buffer, first); r < 0) {
      KLOG_DEBUG_AS("HostCommViaStorage::ShmRead", "ReadStorageDevice FAILED 1");
      return r;
    }
    if (int r = m_disk.ReadStorageDevice(area_start, buffer + first, length - first); r < 0) {
      KLOG_DEBUG_AS("HostCommViaStorage::ShmRead", "ReadStorageDevice FAILED 2");
      return r;
    }
    end = area_start + (length - first);
  }
  *end_address = end;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Messages

VolumeRunInfo StorageMailbox::RunInfo(int volume_type) const {
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  return volume_type == kVolumeTypeDeviceToHost ? m_reader.Positions() : m_send_run_info;
}

void StorageMailbox::SetRunInfo(int volume_type, const VolumeRunInfo& info) {
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  if (volume_type == kVolumeTypeDeviceToHost)
    m_reader.SetPositions(info);
  else
    m_send_run_info = info;
}

int StorageMailbox::WriteMsg(int volume_type, uint16_t msg_type, const uint8_t* data,
                             uint32_t length) {
  ReportsAfterUnlock reports;
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  return WriteMsgLocked(volume_type, msg_type, data, length);
}

int StorageMailbox::WriteMsgLocked(int volume_type, uint16_t msg_type, const uint8_t* data,
                                   uint32_t length) {
  if (volume_type != kVolumeTypeDeviceToHost)
    return WriteRecordLocked(volume_type, &m_send_run_info, msg_type, data, length);
  // Type 1 is the reader's: a message written into it moves the reader's positions on too.
  VolumeRunInfo info = m_reader.Positions();
  const int r = WriteRecordLocked(volume_type, &info, msg_type, data, length);
  if (r == 0) m_reader.SetPositions(info);
  return r;
}

int StorageMailbox::WriteRecordLocked(int volume_type, VolumeRunInfo* info, uint16_t msg_type,
                                      const uint8_t* data, uint32_t length) {
  const VolumeArea& area = kVolumeAreas[volume_type];
  KLOG_DEBUG_AS("HostCommViaStorage::WriteMsgLocked",
                "Write message, seq_no:%llu, data_addr:0x%x, summary_addr:0x%x, data_len:%d",
                Ull(info->seq_no), info->data_addr, info->summary_addr, static_cast<int>(length));
  SummaryRecord record;
  record.seq_no = info->seq_no;
  record.start = info->data_addr;
  record.data_len = length;
  record.msg_type = msg_type;
  uint8_t bytes[kSlot];
  record.Encode(bytes);

  // The data reach the disk before the record that describes them, so a reader that finds a
  // valid record finds its data complete.
  uint32_t data_end_addr;
  int r = ShmWrite(info->data_addr, data, length, area.data_start, area.data_end, &data_end_addr);
  if (r < 0) return r;
  uint32_t next_slot;
  r = ShmWrite(info->summary_addr, bytes, kSlot, area.summary_start, area.summary_end, &next_slot);
  if (r < 0) return r;

  info->data_addr = RoundUpToBlock(data_end_addr);
  info->summary_addr = next_slot;
  ++info->seq_no;
  if (volume_type != kVolumeTypeHostToDevice) return 0;
  LinkHealth::Add(m_health.frames_out);
  LinkHealth::Add(m_health.bytes_out, length);
  CaptureAsFrame(m_capture, true, msg_type, data, length);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Receiving

int StorageMailbox::ReadMsg(const MessageFn& deliver) {
  ReportsAfterUnlock reports;
  kestal::MutexLock lock(m_volume_mutex[kVolumeTypeDeviceToHost]);
  m_recv_sink.SetDeliver(&deliver);
  return m_reader.ReadPass(m_recv_sink);
}

// The message goes on where it lies in the reader's buffer; the owner's `deliver` never waits for
// the application, so the pass goes on right after.
int StorageMailbox::RecvSink::Deliver(uint16_t msg_type, const uint8_t* data, uint32_t length) {
  CaptureAsFrame(m_owner.m_capture, false, msg_type, data, length);
  LinkHealth& health = m_owner.m_health;
  LinkHealth::Add(health.frames_in);
  LinkHealth::Add(health.bytes_in, length);
  if (length != 0 && m_deliver && *m_deliver) (*m_deliver)(msg_type, data, length);
  return 0;
}

void StorageMailbox::RecvReporter::Report(MailboxReader::Event event,
                                          const MailboxReader::Values& values) {
  if (event >= MailboxReader::Event::kScanBufferMissing)
    ReportScan(event, values);
  else
    ReportPass(event, values);
}

void StorageMailbox::RecvReporter::ReportPass(MailboxReader::Event event,
                                              const MailboxReader::Values& v) {
  using E = MailboxReader::Event;
  const auto d = [&](int i) { return static_cast<int>(v[i]); };
  const auto x = [&](int i) { return static_cast<uint32_t>(v[i]); };
  LinkHealth& health = m_health;
  switch (event) {
    case E::kPassBuffersMissing: KLOG_DEBUG_AS(kReadMsg, "Malloc summary_buf error"); break;
    case E::kRingOutsideArea:
      KLOG_DEBUG_AS(kShmRead, "ShmRead address:%x, len:%d outside area %x/%x", x(0), d(1), x(2),
                    x(3));
      break;
    case E::kRingReadFailed: KLOG_DEBUG_AS(kShmRead, "ReadStorageDevice FAILED %d", d(0)); break;
    case E::kResynchronise: LinkHealth::Add(health.resyncs); break;
    case E::kLastRecordInvalid: KLOG_DEBUG_AS(kReadMsg, "Check summary summary Error"); break;
    case E::kSeqMismatch:
      KLOG_DEBUG_AS(kReadMsg, "Check summary seq Number:%d/%d Error", d(0), d(1));
      break;
    case E::kNextSlotOutside:
      KLOG_DEBUG_AS(kReadMsg, "Check summary addr:%x/%x Error", x(0), x(1));
      break;
    case E::kDamagedSkipped:
      KLOG_DEBUG_AS(kReadMsg, "Skip damaged record, seq_no:%llu, summary_addr:%x", Ull(v[0]), x(1));
      LinkHealth::Add(health.records_skipped);
      break;
    case E::kMessageTooLong: KLOG_DEBUG_AS(kReadMsg, "Check summary msg len:%d Error", d(0)); break;
    case E::kDataStartOutside:
      KLOG_DEBUG_AS(kReadMsg, "Check summary data start:%x Error", x(0));
      break;
    case E::kPassFull: KLOG_DEBUG_AS(kReadMsg, "DATA READ SIZE 3:%u/%u", x(0), x(1)); break;
    case E::kMessageSkipped:
      KLOG_DEBUG_AS(kReadMsg, "Skip message, seq_no:%llu, data_start:%x, data_len:%u", Ull(v[0]),
                    x(1), x(2));
      LinkHealth::Add(health.records_skipped);
      break;
    case E::kSequenceGap:
      KLOG_DEBUG_AS(kReadMsg, "Sequence gap, seq_no:%llu, expected:%llu", Ull(v[0]), Ull(v[1]));
      break;
    case E::kSinkFull:
      KLOG_DEBUG_AS(kReadMsg, "Check recv msg queue full, seq_no:%d/%d/%d", d(0), d(1), d(2));
      break;
    case E::kResumed:
      KLOG_DEBUG_AS(kResync, "Resume at the oldest intact record, seq_no:%llu, newest:%llu",
                    Ull(v[0]), Ull(v[1]));
      break;
    default: break;
  }
}

void StorageMailbox::RecvReporter::ReportScan(MailboxReader::Event event,
                                              const MailboxReader::Values& v) {
  using E = MailboxReader::Event;
  const auto x = [&](int i) { return static_cast<uint32_t>(v[i]); };
  switch (event) {
    case E::kScanBufferMissing: KLOG_DEBUG_AS(kReposition, "Malloc summary_buf error"); break;
    case E::kScanReadFailed: KLOG_DEBUG_AS(kReposition, "RepositionVolume error"); break;
    case E::kScanBounds:
      KLOG_DEBUG_AS(
          kReposition,
          "RepositionVolume, summary_start:%x, summary_end:%x, data_start:%x, data_end:%x", x(0),
          x(1), x(2), x(3));
      break;
    case E::kScanNewest:
      KLOG_DEBUG_AS(
          kReposition,
          "RepositionVolume, offset:%d/%d, summary seq_no:%llu, data_start:%x, data_len:%d",
          static_cast<int>(v[0]), static_cast<int>(v[1]), Ull(v[2]), x(3), static_cast<int>(v[4]));
      break;
    case E::kScanDataAddr:
      KLOG_DEBUG_AS(kReposition,
                    "RepositionVolume, DATA ADDR:%x, data_start_addr:%x, data_end_addr:%x", x(0),
                    x(1), x(2));
      break;
    case E::kScanDataAddrReset:
      KLOG_DEBUG_AS(kReposition, "RepositionVolume, data_addr = data_start_addr");
      break;
    case E::kScanPositions:
      KLOG_DEBUG_AS(kReposition, "RepositionVolume, seq_no:%llu, summary_addr:%x, data_addr:%x",
                    Ull(v[0]), x(1), x(2));
      break;
    case E::kInitWriteFailed:
      KLOG_DEBUG_AS(kReposition, "RepositionVolume write init message error");
      break;
    default: break;
  }
}

// ---------------------------------------------------------------------------------------
// Repositioning

int StorageMailbox::RepositionVolume(int volume_type) {
  Reserve();
  ReportsAfterUnlock reports;
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  return volume_type == kVolumeTypeDeviceToHost ? m_reader.Reposition() : RepositionSendLocked();
}

int StorageMailbox::RepositionSendLocked() {
  const VolumeArea& area = kVolumeAreas[kVolumeTypeHostToDevice];
  uint8_t* summary = m_scan_buffer.Data();
  if (!summary) {
    m_recv_reporter.Report(MailboxReader::Event::kScanBufferMissing, {});
    return -1;
  }
  uint32_t end_addr;
  if (ShmRead(area.summary_start, summary, area.SummarySize(), area.summary_start, area.summary_end,
              &end_addr) < 0) {
    m_recv_reporter.Report(MailboxReader::Event::kScanReadFailed, {});
    return -1;
  }
  if (MailboxReader::Locate(area, summary, m_recv_reporter, &m_send_run_info) !=
      MailboxReader::kVolumeEmpty)
    return 0;
  // No valid first record: start the type with the init message, number 0.
  if (WriteRecordLocked(kVolumeTypeHostToDevice, &m_send_run_info, 0, kZeroBlock,
                        kStorageBlockSize) < 0) {
    m_recv_reporter.Report(MailboxReader::Event::kInitWriteFailed, {});
    return -1;
  }
  m_send_run_info.last_summary_addr = area.summary_start;
  m_send_run_info.last_seq_no = 0;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Dump

void StorageMailbox::PrintVolumeRunInfo() {
  for (int type = 0; type < kVolumeTypeCount; ++type) {
    const VolumeArea& area = kVolumeAreas[type];
    AlignedBuffer summary;
    const bool have_buffer = summary.Allocate(area.SummarySize());
    const VolumeRunInfo info = RunInfo(type);
    KLOG_DEBUG_AS(
        "HostCommViaStorage::PrintVolumeRunInfo",
        "PrintVolumeRunInfo, type:%d, summary_address:%x/%x, data_address:%x, seq_no:%x/%x", type,
        info.summary_addr, info.last_summary_addr, info.data_addr,
        static_cast<uint32_t>(info.seq_no), static_cast<uint32_t>(info.last_seq_no));
    if (!have_buffer) {
      KLOG_DEBUG_AS("HostCommViaStorage::PrintVolumeRunInfo", "Malloc summary_buf error");
      return;
    }
    // A read like any other of the transport: without an open disk (the storage link stopped, or
    // the network link in use) it reports "Device is null", and nothing is dumped.
    if (m_disk.ReadStorageDevice(area.summary_start, summary.Data(), area.SummarySize()) < 0) {
      KLOG_DEBUG_AS("HostCommViaStorage::PrintVolumeRunInfo", "ShmRead Volume error");
      return;
    }
    DumpVolume(type, summary.Data());
  }
}

// One line per slot into "volume<UTC+8 time>_<type>.txt".
void StorageMailbox::DumpVolume(int volume_type, const uint8_t* summary) const {
  const uint32_t size = kVolumeAreas[volume_type].SummarySize();
  const CivilTime t = ToCivil(static_cast<int64_t>(kestal::NowMs() / 1000) + kDumpZoneOffsetS);
  char name[256];
  std::snprintf(name, sizeof name, "volume%04d%02d%02d_%02d%02d%02d_%d.txt", t.year, t.month, t.day,
                t.hour, t.minute, t.second, volume_type);
  FILE* file = std::fopen(name, "wb");
  for (uint32_t offset = 0; offset < size; offset += kSlot) {
    const uint8_t* slot = summary + offset;
    using R = SummaryRecord;
    char line[256];
    const int n = std::snprintf(
        line, sizeof line,
        "0x%08x: tag[%08x], seq_no[%08x/%08x], start[%08x], msg[%08x/%04x], crc[%04x]\r\n", offset,
        kestal::LoadU32(slot + R::kTagOffset), kestal::LoadU32(slot + R::kSeqNoOffset),
        kestal::LoadU32(slot + R::kSeqNoInvOffset), kestal::LoadU32(slot + R::kStartOffset),
        static_cast<uint32_t>(kestal::LoadU16(slot + R::kMsgTypeOffset)),
        kestal::LoadU32(slot + R::kDataLenOffset),
        static_cast<uint32_t>(kestal::LoadU16(slot + R::kCrcOffset)));
    if (file && n > 0) std::fwrite(line, 1, static_cast<std::size_t>(n), file);
  }
  if (file) std::fclose(file);
}
