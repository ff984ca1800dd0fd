#include "transport/storage/HostCommViaStorage.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "common/CallbackGate.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "common/ThreadName.h"
#include "common/StatusReport.h"
#include "transport/network/FrameCodec.h"
#include "transport/storage/MailboxReader.h"

namespace {

using kestal::HostCommStatusStorageCommError;
using kestal::HostCommStatusStorageConnected;
using kestal::HostCommStatusStorageConnectError;

// A capture shows a disk session as if it had crossed the network: each message as a frame.
void CaptureAsFrame(LinkCapture* capture, bool to_device, uint16_t type, const uint8_t* data,
                    uint32_t len) {
  if (!capture || !capture->Active() || len > FrameCodec::kMaxPayloadLength) return;
  std::vector<uint8_t> frame(len + FrameCodec::kFrameOverhead);
  FrameCodec::Encode(type, data, len, frame.data(), static_cast<uint32_t>(frame.size()));
  capture->Record(to_device, frame.data(), static_cast<uint32_t>(frame.size()));
}

constexpr const char* kRecvWorker = "HostCommViaStorage::StartLoopRecv.RecvWorker";
// The reader's and repositioning's lines carry the names of the operations that wrote them before.
constexpr const char* kReadMsg = "HostCommViaStorage::ReadMsg";
constexpr const char* kShmRead = "HostCommViaStorage::ShmRead";
constexpr const char* kResync = "HostCommViaStorage::ResynchroniseRecv";
constexpr const char* kReposition = "HostCommViaStorage::RepositionVolumeLocked";
constexpr int64_t kGiB = int64_t{1} << 30;
constexpr uint32_t kSlot = SummaryRecord::kSize;
constexpr int kStopWaitMs = 200;
constexpr int kPollIntervalMs = 1;
constexpr auto kBusyPollInterval = std::chrono::microseconds(100);
constexpr auto kBusyPollSpell = std::chrono::milliseconds(50);
// The dump files carry the wall-clock time of UTC+8 whatever the host's time zone.
constexpr int64_t kDumpZoneOffsetS = 8 * 3600;

const uint8_t kZeroBlock[kStorageBlockSize] = {};
static_assert(HostCommTransportPlan::kMaxDisks == BlockDevice::kMaxCandidates,
              "a plan names no more disks than discovery tries");

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

unsigned long long Ull(uint64_t v) { return static_cast<unsigned long long>(v); }

// Holds the status reports raised while this thread holds a volume lock and makes them when the
// section ends: the owner's function runs the application's callback, which may call back into
// the transport and take that lock. Declared before the section's lock, so it reports after the
// lock is released; a nested section leaves its reports to the outermost one.
class ReportsAfterUnlock {
 public:
  ReportsAfterUnlock() : m_outer(t_held == nullptr) {
    if (m_outer) t_held = &m_reports;
  }
  // A report may end a worker whose callback a stop gave up (CallbackGate::GivenUp).
  ~ReportsAfterUnlock() noexcept(false) {
    if (!m_outer) return;
    t_held = nullptr;
    for (const Held& r : m_reports) ReportStatusTo(*r.report, r.status, r.text);
  }
  ReportsAfterUnlock(const ReportsAfterUnlock&) = delete;
  ReportsAfterUnlock& operator=(const ReportsAfterUnlock&) = delete;

  // False when this thread is in no such section: report now.
  static bool Hold(const StatusReportFn& report, unsigned int status, const char* text) {
    if (!t_held) return false;
    t_held->push_back({&report, status, text});
    return true;
  }

 private:
  struct Held {
    const StatusReportFn* report;
    unsigned int status;
    const char* text;
  };
  static thread_local std::vector<Held>* t_held;
  const bool m_outer;
  std::vector<Held> m_reports;
};

thread_local std::vector<ReportsAfterUnlock::Held>* ReportsAfterUnlock::t_held = nullptr;

}  // namespace

HostCommViaStorage::HostCommViaStorage(HostCommTransportConfig config)
    : m_report_status(std::move(config.report_status)),
      m_report_failure(std::move(config.report_failure)),
      m_health(config.health ? config.health : &m_own_health),
      m_device_path(BlockDevice::SearchPattern()),
      m_reader(m_disk_view, m_recv_reporter, [this](VolumeRunInfo* positions) {
        // Called under the receive lock, from the reader's repositioning.
        return WriteRecordLocked(kVolumeTypeDeviceToHost, positions, 0, kZeroBlock,
                                 kStorageBlockSize);
      }) {}

// Taken by the first open (the first start) and kept until the transport goes: a transport that
// never opens a disk holds no buffer.
void HostCommViaStorage::ReserveBuffers() {
  {
    kestal::MutexLock lock(m_volume_mutex[kVolumeTypeHostToDevice]);
    if (!m_scan_buffer.Data())
      m_scan_buffer.Allocate(kVolumeAreas[kVolumeTypeHostToDevice].SummarySize());
  }
  {
    kestal::MutexLock lock(m_volume_mutex[kVolumeTypeDeviceToHost]);
    m_reader.Reserve();
  }
  kestal::MutexLock lock(m_staging_mutex);
  if (!m_staging.Data()) m_staging.Allocate(kStagingSize);
}

HostCommViaStorage::~HostCommViaStorage() {
  m_stop = true;
  kestal::CallbackGate::JoinWorker(m_recv_thread);
  {
    kestal::WriterLock lock(m_device_mutex);
    m_device.Close();
    m_disk = nullptr;
  }
}

void HostCommViaStorage::AttachStorage(BlockStorage* storage, std::string name) {
  kestal::WriterLock lock(m_device_mutex);
  if (m_disk == m_attached) m_disk = nullptr;
  m_attached = storage;
  m_attached_name = std::move(name);
}

bool HostCommViaStorage::IsConnected() const {
  kestal::ReaderLock lock(m_device_mutex);
  return m_disk != nullptr;
}

std::string HostCommViaStorage::DevicePath() const {
  kestal::ReaderLock lock(m_device_mutex);
  return m_device_path;
}

// ---------------------------------------------------------------------------------------
// Block I/O

void HostCommViaStorage::ErrorReport(StorageError kind) const {
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
  KLOG_DEBUG("%s", message);
  if (kind == StorageError::DeviceNull)
    ReportFailureTo(m_report_failure, "no disk is open");
  else if (status == HostCommStatusStorageCommError)
    ReportFailureTo(m_report_failure, std::string(message) + " on " + DevicePath());
  if (!ReportsAfterUnlock::Hold(m_report_status, status, message))
    ReportStatusTo(m_report_status, status, message);
}

int HostCommViaStorage::OpenStorageDevice(const std::vector<std::string>& paths) {
  ReserveBuffers();
  kestal::WriterLock lock(m_device_mutex);
  m_device.Close();
  m_disk = nullptr;
  if (m_attached) {
    m_disk = m_attached;
    m_device_path = m_attached_name;
    KLOG_DEBUG("Found disk:%s", m_device_path.c_str());
    return 0;
  }
  std::vector<std::string> candidates = paths.empty() ? BlockDevice::DefaultCandidates() : paths;
  if (candidates.size() > BlockDevice::kMaxCandidates)
    candidates.resize(BlockDevice::kMaxCandidates);
  for (const std::string& name : candidates) {
    // A disk that cannot be looked at is passed over without a word.
    const int64_t size = BlockDevice::ProbeSize(name);
    if (size < 0) continue;
    KLOG_DEBUG("Check Disk:%s, size: %lldBytes/ %lldGBytes", name.c_str(),
               static_cast<long long>(size), static_cast<long long>(size / kGiB));
    if (size != kStorageDeviceSize) continue;
    if (m_device.Open(name) < 0) continue;
    m_disk = &m_device;
    m_device_path = name;
    KLOG_DEBUG("Found disk:%s", name.c_str());
    return 0;
  }
  lock.Unlock();
  ReportFailureTo(m_report_failure, "no disk of " + std::to_string(kStorageDeviceSize) +
                                        " bytes among " + std::to_string(candidates.size()) +
                                        " candidates");
  ErrorReport(StorageError::OpenFailed);
  return -1;
}

void HostCommViaStorage::LogWriteListing(const uint8_t* data, uint32_t length) const {
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
    KLOG_DEBUG("Index:%02x, data:%s", offset, bytes);
  }
}

int HostCommViaStorage::WriteStorageDevice(uint32_t address, const uint8_t* data, uint32_t length) {
  StorageError error = StorageError::WriteFailed;
  {
    kestal::ReaderLock device_lock(m_device_mutex);
    if (!m_disk) return -1;
    KLOG_DEBUG("WriteStorageDevice, addr:%x, data:%d", address, static_cast<int>(length));
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
int HostCommViaStorage::WriteInsideBlock(uint32_t address, const uint8_t* data, uint32_t length,
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
int HostCommViaStorage::WriteWholeBlocks(uint32_t address, const uint8_t* data, uint32_t length) {
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

int HostCommViaStorage::ReadStorageDevice(uint32_t address, uint8_t* buffer, uint32_t length) {
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

int HostCommViaStorage::DiskView::Read(uint64_t offset, uint8_t* buffer, uint32_t length) {
  return offset > UINT32_MAX
             ? -1
             : m_owner.ReadStorageDevice(static_cast<uint32_t>(offset), buffer, length);
}

int HostCommViaStorage::DiskView::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
  return offset > UINT32_MAX
             ? -1
             : m_owner.WriteStorageDevice(static_cast<uint32_t>(offset), data, length);
}

// ---------------------------------------------------------------------------------------
// Ring areas

int HostCommViaStorage::ShmWrite(uint32_t address, const uint8_t* data, uint32_t length,
                                 uint32_t area_start, uint32_t area_end, uint32_t* end_address) {
  *end_address = address;
  // Positions come from the disk: one outside the area would make the wrap arithmetic run
  // past the area.
  if (address < area_start || address > area_end || length > area_end - area_start) {
    KLOG_DEBUG("ShmWrite address:%x, len:%d outside area %x/%x", address, static_cast<int>(length),
               area_start, area_end);
    return -1;
  }
  int r;
  uint32_t end;
  if (static_cast<uint64_t>(address) + length <= area_end) {
    r = WriteStorageDevice(address, data, length);
    end = address + length == area_end ? area_start : address + length;
  } else {
    const uint32_t first = area_end - address;
    r = WriteStorageDevice(address, data, first);
    if (r == 0) r = WriteStorageDevice(area_start, data + first, length - first);
    end = area_start + (length - first);
  }
  if (r < 0) return r;
  *end_address = end;
  return 0;
}

int HostCommViaStorage::ShmRead(uint32_t address, uint8_t* buffer, uint32_t length,
                                uint32_t area_start, uint32_t area_end, uint32_t* end_address) {
  *end_address = address;
  if (address < area_start || address > area_end || length > area_end - area_start) {
    KLOG_DEBUG("ShmRead address:%x, len:%d outside area %x/%x", address, static_cast<int>(length),
               area_start, area_end);
    return -1;
  }
  uint32_t end;
  if (static_cast<uint64_t>(address) + length <= area_end) {
    if (int r = ReadStorageDevice(address, buffer, length); r < 0) {
      KLOG_DEBUG("ReadStorageDevice FAILED 0");
      return r;
    }
    end = address + length == area_end ? area_start : address + length;
  } else {
    const uint32_t first = area_end - address;
    if (int r = ReadStorageDevice(address, buffer, first); r < 0) {
      KLOG_DEBUG("ReadStorageDevice FAILED 1");
      return r;
    }
    if (int r = ReadStorageDevice(area_start, buffer + first, length - first); r < 0) {
      KLOG_DEBUG("ReadStorageDevice FAILED 2");
      return r;
    }
    end = area_start + (length - first);
  }
  *end_address = end;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Messages

VolumeRunInfo HostCommViaStorage::RunInfo(int volume_type) const {
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  return volume_type == kVolumeTypeDeviceToHost ? m_reader.Positions() : m_send_run_info;
}

void HostCommViaStorage::SetRunInfo(int volume_type, const VolumeRunInfo& info) {
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  if (volume_type == kVolumeTypeDeviceToHost)
    m_reader.SetPositions(info);
  else
    m_send_run_info = info;
}

int HostCommViaStorage::SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                                  const SendWait&) {
  if (length > kMaxMsgLen) {
    KLOG_DEBUG("Send message len:%d to host error", static_cast<int>(length));
    return -1;
  }
  return WriteMsg(kVolumeTypeHostToDevice, msg_type, data, length);
}
int HostCommViaStorage::WriteMsg(int volume_type, uint16_t msg_type, const uint8_t* data,
                                 uint32_t length) {
  ReportsAfterUnlock reports;
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  return WriteMsgLocked(volume_type, msg_type, data, length);
}

int HostCommViaStorage::WriteMsgLocked(int volume_type, uint16_t msg_type, const uint8_t* data,
                                       uint32_t length) {
  if (volume_type != kVolumeTypeDeviceToHost)
    return WriteRecordLocked(volume_type, &m_send_run_info, msg_type, data, length);
  // Type 1 is the reader's: a message written into it moves the reader's positions on too.
  VolumeRunInfo info = m_reader.Positions();
  const int r = WriteRecordLocked(volume_type, &info, msg_type, data, length);
  if (r == 0) m_reader.SetPositions(info);
  return r;
}

int HostCommViaStorage::WriteRecordLocked(int volume_type, VolumeRunInfo* info, uint16_t msg_type,
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
  LinkHealth::Add(m_health->frames_out);
  LinkHealth::Add(m_health->bytes_out, length);
  CaptureAsFrame(m_capture, true, msg_type, data, length);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Receiving

int HostCommViaStorage::ReadMsg(const MessageFn& deliver) {
  ReportsAfterUnlock reports;
  kestal::MutexLock lock(m_volume_mutex[kVolumeTypeDeviceToHost]);
  m_recv_sink.SetDeliver(&deliver);
  return m_reader.ReadPass(m_recv_sink);
}

uint32_t HostCommViaStorage::RecvSink::MaxLength() const { return kMaxMsgLen; }

// The message goes on where it lies in the reader's buffer; the owner's `deliver` never waits for
// the application, so the pass goes on right after.
int HostCommViaStorage::RecvSink::Deliver(uint16_t msg_type, const uint8_t* data, uint32_t length) {
  CaptureAsFrame(m_owner.m_capture, false, msg_type, data, length);
  LinkHealth& health = *m_owner.m_health;
  LinkHealth::Add(health.frames_in);
  LinkHealth::Add(health.bytes_in, length);
  if (length != 0 && m_deliver && *m_deliver) (*m_deliver)(msg_type, data, length);
  return 0;
}

void HostCommViaStorage::RecvReporter::Report(MailboxReader::Event event,
                                              const MailboxReader::Values& values) {
  if (event >= MailboxReader::Event::kScanBufferMissing)
    ReportScan(event, values);
  else
    ReportPass(event, values);
}

void HostCommViaStorage::RecvReporter::ReportPass(MailboxReader::Event event,
                                                  const MailboxReader::Values& v) {
  using E = MailboxReader::Event;
  const auto d = [&](int i) { return static_cast<int>(v[i]); };
  const auto x = [&](int i) { return static_cast<uint32_t>(v[i]); };
  LinkHealth& health = *m_owner.m_health;
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

void HostCommViaStorage::RecvReporter::ReportScan(MailboxReader::Event event,
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

int HostCommViaStorage::RepositionVolume(int volume_type) {
  ReportsAfterUnlock reports;
  kestal::MutexLock lock(m_volume_mutex[volume_type]);
  return volume_type == kVolumeTypeDeviceToHost ? m_reader.Reposition() : RepositionSendLocked();
}

int HostCommViaStorage::RepositionSendLocked() {
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
// Start and stop

int HostCommViaStorage::StartLoopRecv(const HostCommTransportPlan& plan) {
  // A worker that ended by itself (a failed pass) is joined before a new one starts.
  if (m_recv_thread.joinable()) {
    m_stop = true;
    kestal::CallbackGate::JoinWorker(m_recv_thread);
  }
  m_stop = false;
  m_capture = plan.capture;
  m_deliver = plan.deliver;
  if (OpenStorageDevice(plan.disks) < 0) {
    KLOG_DEBUG("Open dev:%s failed", DevicePath().c_str());
    ReportStatusTo(m_report_status, HostCommStatusStorageConnectError, "");
    return -1;
  }
  KLOG_DEBUG("Open dev:%s successfully", DevicePath().c_str());
  // The mailbox has no endpoints: its messages are captured as if they crossed the device's first
  // network port.
  if (m_capture) m_capture->Connected(0x7F000001, 50000, 0x7F000001, kestal::catalogue::kDevicePortType1);
  const int r0 = RepositionVolume(kVolumeTypeHostToDevice);
  const int r1 = RepositionVolume(kVolumeTypeDeviceToHost);
  if (r0 < 0 || r1 < 0) {
    // A disk that cannot be read or written is no connection: reporting one would clear the
    // failure just reported and leave nobody to retry.
    {
      kestal::WriterLock lock(m_device_mutex);
      m_device.Close();
      m_disk = nullptr;
    }
    KLOG_DEBUG("Reposition dev:%s failed", DevicePath().c_str());
    ReportFailureTo(m_report_failure,
                    "the mailbox of " + DevicePath() + " cannot be read or written");
    ReportStatusTo(m_report_status, HostCommStatusStorageConnectError, "");
    return -1;
  }
  ReportStatusTo(m_report_status, HostCommStatusStorageConnected, "");
  m_recv_thread = kestal::CallbackGate::StartWorker([this] { LoopRecv(); });  // reports states
  return 0;
}

void HostCommViaStorage::LoopRecv() {
  kestal::NameThisThread("kestal-disk");
  // An idle mailbox is looked at once a millisecond; while messages come, the next one is
  // likely close behind, so it is looked at every 100 us for a while after the last.
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_message = Clock::now() - kBusyPollSpell;
  while (!m_stop) {
    const uint64_t seq_no = RunInfo(kVolumeTypeDeviceToHost).seq_no;
    if (ReadMsg(m_deliver) < 0) {
      KLOG_DEBUG_AS(kRecvWorker, "ReadMsg FAILED");
      break;
    }
    const Clock::time_point now = Clock::now();
    if (RunInfo(kVolumeTypeDeviceToHost).seq_no != seq_no) last_message = now;
    std::this_thread::sleep_for(now - last_message < kBusyPollSpell
                                    ? kBusyPollInterval
                                    : std::chrono::microseconds(kPollIntervalMs * 1000));
  }
  KLOG_DEBUG_AS(kRecvWorker, "loop recv thread stopped");
}

// The stop takes at least 400 ms whatever it waits for: a reconnect that follows at once relies on
// it to pace its attempts on a disk that keeps failing.
int HostCommViaStorage::StopLoopRecv() {
  const auto done = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * kStopWaitMs);
  m_stop = true;
  // A pass in progress (at most a 200 ms queue wait) finishes before the disk is closed.
  kestal::CallbackGate::JoinWorker(m_recv_thread);
  std::string path;
  {
    kestal::WriterLock lock(m_device_mutex);
    m_device.Close();
    m_disk = nullptr;
    path = m_device_path;
  }
  KLOG_DEBUG("Close dev:%s", path.c_str());
  kestal::SleepUntil(done);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Dump

void HostCommViaStorage::PrintVolumeRunInfo() {
  for (int type = 0; type < kVolumeTypeCount; ++type) {
    const VolumeArea& area = kVolumeAreas[type];
    AlignedBuffer summary;
    const bool have_buffer = summary.Allocate(area.SummarySize());
    const VolumeRunInfo info = RunInfo(type);
    KLOG_DEBUG("PrintVolumeRunInfo, type:%d, summary_address:%x/%x, data_address:%x, seq_no:%x/%x",
               type, info.summary_addr, info.last_summary_addr, info.data_addr,
               static_cast<uint32_t>(info.seq_no), static_cast<uint32_t>(info.last_seq_no));
    if (!have_buffer) {
      KLOG_DEBUG("Malloc summary_buf error");
      return;
    }
    // A read like any other of the transport: without an open disk (the storage link stopped, or
    // the network link in use) it reports "Device is null", and nothing is dumped.
    if (ReadStorageDevice(area.summary_start, summary.Data(), area.SummarySize()) < 0) {
      KLOG_DEBUG("ShmRead Volume error");
      return;
    }
    DumpVolume(type, summary.Data());
  }
}

// One line per slot into "volume<UTC+8 time>_<type>.txt".
void HostCommViaStorage::DumpVolume(int volume_type, const uint8_t* summary) const {
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
