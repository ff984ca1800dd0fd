#include "transport/storage/HostCommViaStorage.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/CallbackGate.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "kestal/KestalHostCommService.h"

namespace {

constexpr const char* kRecvWorker = "HostCommViaStorage::StartLoopRecv.RecvWorker";
constexpr int64_t kGiB = int64_t{1} << 30;
constexpr uint32_t kSlot = SummaryRecord::kSize;
constexpr int kStopWaitMs = 200;
constexpr int kPollIntervalMs = 1;
constexpr auto kBusyPollInterval = std::chrono::microseconds(100);
constexpr auto kBusyPollSpell = std::chrono::milliseconds(50);
// The dump files carry the wall-clock time of UTC+8 whatever the host's time zone.
constexpr int64_t kDumpZoneOffsetS = 8 * 3600;

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
  return {static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
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
  ~ReportsAfterUnlock() {
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

HostCommViaStorage::HostCommViaStorage(StatusReportFn report_status)
    : m_report_status(std::move(report_status)), m_device_path(BlockDevice::SearchPattern()) {
  m_recv_msg_queue.Init(kRecvQueueBuffers);
  for (int t = 0; t < kVolumeTypeCount; ++t) m_scan_buffer[t].Allocate(kVolumeAreas[t].SummarySize());
  m_summary_window.Allocate(kSummaryWindowSize);
  m_data_buffer.Allocate(kDataBufferSize);
  m_staging.Allocate(kStagingSize);
}

HostCommViaStorage::~HostCommViaStorage() {
  m_stop = true;
  kestal::CallbackGate::JoinWorker(m_recv_thread);
  {
    std::unique_lock<std::shared_mutex> lock(m_device_mutex);
    m_device.Close();
  }
  m_recv_msg_queue.Deinit();
}

void HostCommViaStorage::SetCandidatePaths(std::vector<std::string> paths) {
  std::unique_lock<std::shared_mutex> lock(m_device_mutex);
  m_candidate_paths = std::move(paths);
}

std::string HostCommViaStorage::DevicePath() const {
  std::shared_lock<std::shared_mutex> lock(m_device_mutex);
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
    case StorageError::ReadFailed:
      message = "Storage read error";
      break;
    case StorageError::WriteFailed:
      message = "Storage write error";
      break;
    case StorageError::WriteCrossBlock:
      message = "Storage write address is not from block address";
      break;
  }
  KLOG_DEBUG("%s", message);
  if (!ReportsAfterUnlock::Hold(m_report_status, status, message)) ReportStatusTo(m_report_status, status, message);
}

int HostCommViaStorage::OpenStorageDevice() {
  std::unique_lock<std::shared_mutex> lock(m_device_mutex);
  m_device.Close();
  std::vector<std::string> candidates =
      m_candidate_paths.empty() ? BlockDevice::DefaultCandidates() : m_candidate_paths;
  if (candidates.size() > BlockDevice::kMaxCandidates) candidates.resize(BlockDevice::kMaxCandidates);
  for (const std::string& name : candidates) {
    // A disk that cannot be looked at is passed over without a word.
    const int64_t size = BlockDevice::ProbeSize(name);
    if (size < 0) continue;
    KLOG_DEBUG("Check Disk:%s, size: %lldBytes/ %lldGBytes", name.c_str(), static_cast<long long>(size),
               static_cast<long long>(size / kGiB));
    if (size != kStorageDeviceSize) continue;
    if (m_device.Open(name) < 0) continue;
    m_device_path = name;
    KLOG_DEBUG("Found disk:%s", name.c_str());
    return 0;
  }
  lock.unlock();
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
      used += std::snprintf(bytes + used, sizeof bytes - used, i ? " %02x" : "%02x", data[offset + i]);
    bytes[used] = '\0';
    KLOG_DEBUG("Index:%02x, data:%s", offset, bytes);
  }
}

int HostCommViaStorage::WriteStorageDevice(uint32_t address, const uint8_t* data, uint32_t length) {
  StorageError error = StorageError::WriteFailed;
  {
    std::shared_lock<std::shared_mutex> device_lock(m_device_mutex);
    if (!m_device.IsOpen()) return -1;
    KLOG_DEBUG("WriteStorageDevice, addr:%x, data:%d", address, static_cast<int>(length));
    LogWriteListing(data, length);
    // Nothing to write: a block-aligned write would otherwise clear a whole block, and at an
    // area's end that block belongs to the next area.
    if (length == 0) return 0;

    const uint32_t block_addr = address & ~(kStorageBlockSize - 1);
    const uint32_t offset_in_block = address - block_addr;
    std::lock_guard<std::mutex> staging_lock(m_staging_mutex);
    uint8_t* staging = m_staging.Data();
    if (!staging) {
      error = StorageError::WriteFailed;
    } else if (offset_in_block != 0) {
      // Inside a block: read, modify, write back that one block.
      if (static_cast<uint64_t>(offset_in_block) + length > kStorageBlockSize) {
        error = StorageError::WriteCrossBlock;
      } else if (m_device.Read(block_addr, staging, kStorageBlockSize) < 0) {
        error = StorageError::ReadFailed;
      } else {
        std::memcpy(staging + offset_in_block, data, length);
        if (m_device.Write(block_addr, staging, kStorageBlockSize) == 0) return 0;
        error = StorageError::WriteFailed;
      }
    } else {
      // On a boundary: whole blocks, never read first; the bytes behind the data in the last
      // block are cleared.
      uint32_t done = 0;
      while (done < length) {
        const uint32_t n = length - done < kStagingSize ? length - done : kStagingSize;
        const uint32_t padded = RoundUpToBlock(n);
        std::memcpy(staging, data + done, n);
        std::memset(staging + n, 0, padded - n);
        if (m_device.Write(static_cast<uint64_t>(address) + done, staging, padded) < 0) break;
        done += n;
      }
      if (done == length) return 0;
      error = StorageError::WriteFailed;
    }
  }
  ErrorReport(error);
  return -1;
}

int HostCommViaStorage::ReadStorageDevice(uint32_t address, uint8_t* buffer, uint32_t length) {
  StorageError error = StorageError::ReadFailed;
  {
    std::shared_lock<std::shared_mutex> device_lock(m_device_mutex);
    if (!m_device.IsOpen()) {
      error = StorageError::DeviceNull;
    } else if (m_device.Read(address, buffer, length) == 0) {
      return 0;
    } else {
      error = StorageError::ReadFailed;
    }
  }
  ErrorReport(error);
  return -1;
}

// ---------------------------------------------------------------------------------------
// Ring areas

int HostCommViaStorage::ShmWrite(uint32_t address, const uint8_t* data, uint32_t length, uint32_t area_start,
                                 uint32_t area_end, uint32_t* end_address) {
  *end_address = address;
  // Positions come from the disk: one outside the area would make the wrap arithmetic run
  // past the area.
  if (address < area_start || address > area_end || length > area_end - area_start) {
    KLOG_DEBUG("ShmWrite address:%x, len:%d outside area %x/%x", address, static_cast<int>(length), area_start,
               area_end);
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

int HostCommViaStorage::ShmRead(uint32_t address, uint8_t* buffer, uint32_t length, uint32_t area_start,
                                uint32_t area_end, uint32_t* end_address) {
  *end_address = address;
  if (address < area_start || address > area_end || length > area_end - area_start) {
    KLOG_DEBUG("ShmRead address:%x, len:%d outside area %x/%x", address, static_cast<int>(length), area_start,
               area_end);
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
  std::lock_guard<std::mutex> lock(m_volume_mutex[volume_type]);
  return m_volume_run_info[volume_type];
}

void HostCommViaStorage::SetRunInfo(int volume_type, const VolumeRunInfo& info) {
  std::lock_guard<std::mutex> lock(m_volume_mutex[volume_type]);
  m_volume_run_info[volume_type] = info;
}

int HostCommViaStorage::SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length) {
  if (length > kMaxMsgLen) {
    KLOG_DEBUG("Send message len:%d to host error", static_cast<int>(length));
    return -1;
  }
  return WriteMsg(kVolumeTypeHostToDevice, msg_type, data, length);
}

int HostCommViaStorage::WriteMsg(int volume_type, uint16_t msg_type, const uint8_t* data, uint32_t length) {
  ReportsAfterUnlock reports;
  std::lock_guard<std::mutex> lock(m_volume_mutex[volume_type]);
  return WriteMsgLocked(volume_type, msg_type, data, length);
}

int HostCommViaStorage::WriteMsgLocked(int volume_type, uint16_t msg_type, const uint8_t* data, uint32_t length) {
  const VolumeArea& area = kVolumeAreas[volume_type];
  VolumeRunInfo& info = m_volume_run_info[volume_type];
  KLOG_DEBUG("Write message, seq_no:%llu, data_addr:0x%x, summary_addr:0x%x, data_len:%d", Ull(info.seq_no),
             info.data_addr, info.summary_addr, static_cast<int>(length));

  SummaryRecord record;
  record.seq_no = info.seq_no;
  record.start = info.data_addr;
  record.data_len = length;
  record.msg_type = msg_type;
  uint8_t bytes[kSlot];
  record.Encode(bytes);

  // The data reach the disk before the record that describes them, so a reader that finds a
  // valid record finds its data complete.
  uint32_t data_end_addr;
  int r = ShmWrite(info.data_addr, data, length, area.data_start, area.data_end, &data_end_addr);
  if (r < 0) return r;
  uint32_t next_slot;
  r = ShmWrite(info.summary_addr, bytes, kSlot, area.summary_start, area.summary_end, &next_slot);
  if (r < 0) return r;

  info.data_addr = RoundUpToBlock(data_end_addr);
  info.summary_addr = next_slot;
  ++info.seq_no;
  if (volume_type != kVolumeTypeHostToDevice) return 0;
  LinkHealth::Add(m_health->frames_out);
  LinkHealth::Add(m_health->bytes_out, length);
  if (m_capture) m_capture->RecordMessage(true, msg_type, data, length);
  return 0;
}

void HostCommViaStorage::AdvanceRecv(uint64_t seq_no) {
  const VolumeArea& area = kVolumeAreas[kVolumeTypeDeviceToHost];
  VolumeRunInfo& info = m_volume_run_info[kVolumeTypeDeviceToHost];
  info.last_summary_addr = info.summary_addr;
  info.last_seq_no = seq_no;
  info.summary_addr = info.summary_addr + kSlot >= area.summary_end ? area.summary_start : info.summary_addr + kSlot;
  info.seq_no = seq_no + 1;
}

int HostCommViaStorage::ReadMsg() {
  uint8_t* window = m_summary_window.Data();
  uint8_t* data_buffer = m_data_buffer.Data();
  if (!window || !data_buffer) {
    KLOG_DEBUG("Malloc summary_buf error");
    return -1;
  }
  const VolumeArea& area = kVolumeAreas[kVolumeTypeDeviceToHost];
  VolumeRunInfo& info = m_volume_run_info[kVolumeTypeDeviceToHost];
  ReportsAfterUnlock reports;
  std::unique_lock<std::mutex> lock(m_volume_mutex[kVolumeTypeDeviceToHost]);
  auto resynchronise = [&] {
    LinkHealth::Add(m_health->resyncs);
    const uint64_t delivered = info.last_seq_no;
    lock.unlock();
    return ResynchroniseRecv(delivered);
  };

  // The window starts at the block of the last consumed record.
  const uint32_t window_start = info.last_summary_addr & ~(kStorageBlockSize - 1);
  uint32_t end_addr;
  int r = ShmRead(window_start, window, kSummaryWindowSize, area.summary_start, area.summary_end, &end_addr);
  if (r < 0) return r;

  // The last consumed record must still be there: a changed one means the device wrote a
  // whole ring past it (or restarted).
  const uint8_t* last = window + (info.last_summary_addr - window_start);
  if (!SummaryRecord::IsValid(last)) {
    KLOG_DEBUG("Check summary summary Error");
    return resynchronise();
  }
  const SummaryRecord last_record = SummaryRecord::Decode(last);
  if (last_record.seq_no != info.last_seq_no) {
    KLOG_DEBUG("Check summary seq Number:%d/%d Error", static_cast<int>(last_record.seq_no),
               static_cast<int>(info.last_seq_no));
    return resynchronise();
  }

  uint32_t next_offset;
  if (info.summary_addr >= window_start)
    next_offset = info.summary_addr - window_start;
  else
    next_offset = (area.summary_end - window_start) + (info.summary_addr - area.summary_start);
  if (next_offset > kSummaryWindowSize || next_offset % kSlot != 0) {
    KLOG_DEBUG("Check summary addr:%x/%x Error", info.summary_addr, info.last_summary_addr);
    return resynchronise();
  }

  // Gather the new records whose data fit one pass. The pass reads whole blocks (a disk opened
  // unbuffered takes nothing else): each record's data with the blocks that hold them, from the
  // block of the first record's data start.
  SummaryRecord gathered[kSummaryWindowSize / kSlot];
  uint32_t count = 0;
  uint64_t total = 0;  // bytes to read
  bool unreadable = false;  // the next record can never be read: too long or misplaced
  SummaryRecord unreadable_record;
  for (uint32_t offset = next_offset; offset < kSummaryWindowSize; offset += kSlot) {
    const uint8_t* slot = window + offset;
    if (!SummaryRecord::IsValid(slot)) {
      // A record that fails its check although the slot behind it holds the next number was
      // written and damaged, not caught in writing. Seen so on two passes, its message is given
      // up and the records behind it are read; until then the reader waits at it.
      const uint8_t* behind = slot + kSlot;
      const uint64_t expected = count > 0 ? gathered[count - 1].seq_no + 1 : info.seq_no;
      const bool damaged = offset + 2 * kSlot <= kSummaryWindowSize && SummaryRecord::IsValid(behind) &&
                           SummaryRecord::Decode(behind).seq_no == expected + 1;
      if (!damaged) break;
      if (count > 0 || m_damaged_seq_no != expected) {
        m_damaged_seq_no = expected;
        break;
      }
      KLOG_DEBUG("Skip damaged record, seq_no:%llu, summary_addr:%x", Ull(info.seq_no), info.summary_addr);
      LinkHealth::Add(m_health->records_skipped);
      info.summary_addr = info.summary_addr + kSlot >= area.summary_end ? area.summary_start : info.summary_addr + kSlot;
      ++info.seq_no;
      continue;
    }
    const SummaryRecord record = SummaryRecord::Decode(slot);
    if (record.seq_no < info.seq_no) break;  // an old record: nothing newer follows
    const uint32_t lead = record.start % kStorageBlockSize;  // data not starting a block
    if (lead + static_cast<uint64_t>(record.data_len) > kDataBufferSize) {
      KLOG_DEBUG("Check summary msg len:%d Error", static_cast<int>(record.data_len));
      unreadable = true;
      unreadable_record = record;
      break;
    }
    if (record.start < area.data_start || record.start > area.data_end) {
      KLOG_DEBUG("Check summary data start:%x Error", record.start);
      unreadable = true;
      unreadable_record = record;
      break;
    }
    if (lead + record.data_len + total > kDataBufferSize) {
      KLOG_DEBUG("DATA READ SIZE 3:%u/%u", static_cast<unsigned>(record.data_len + total), kDataBufferSize);
      break;
    }
    gathered[count++] = record;
    total += RoundUpToBlock(lead + record.data_len);
  }

  if (count == 0) {
    if (!unreadable) return 0;
    // Nothing moves the positions past a record that no pass can read, so it is consumed
    // here without being delivered; the records after it follow on the next pass.
    if (unreadable_record.seq_no != info.seq_no) {
      KLOG_DEBUG("Check summary seq Number:%d/%d Error", static_cast<int>(unreadable_record.seq_no),
                 static_cast<int>(info.seq_no));
      return resynchronise();
    }
    KLOG_DEBUG("Skip message, seq_no:%llu, data_start:%x, data_len:%u", Ull(unreadable_record.seq_no),
               unreadable_record.start, unreadable_record.data_len);
    LinkHealth::Add(m_health->records_skipped);
    AdvanceRecv(unreadable_record.seq_no);
    return 0;
  }

  const uint32_t read_start = gathered[0].start & ~(kStorageBlockSize - 1);
  r = ShmRead(read_start, data_buffer, static_cast<uint32_t>(total), area.data_start, area.data_end, &end_addr);
  if (r < 0) return r;

  for (uint32_t i = 0; i < count; ++i) {
    const SummaryRecord& record = gathered[i];
    if (record.seq_no < info.seq_no) {
      KLOG_DEBUG("Check summary seq Number:%d/%d Error", static_cast<int>(record.seq_no),
                 static_cast<int>(info.seq_no));
      return resynchronise();
    }
    // A higher number in the next slot is the device skipping numbers: the last consumed record
    // is still in place (checked above), so the writer has not come round the ring, and the
    // records from here on are new. They are read, not skipped by a resynchronisation.
    if (record.seq_no > info.seq_no)
      KLOG_DEBUG("Sequence gap, seq_no:%llu, expected:%llu", Ull(record.seq_no), Ull(info.seq_no));
    // Where this record's data stand in what the pass read.
    uint64_t position;
    if (record.start >= read_start)
      position = record.start - read_start;
    else
      position = static_cast<uint64_t>(record.start) + area.DataSize() - read_start;
    if (position + record.data_len > total || record.data_len > m_recv_msg_queue.BufferSize()) {
      // Records that contradict each other (the pass did not read these data), or a message
      // longer than a queue buffer (cut, it would look whole): nothing true to deliver.
      KLOG_DEBUG("Skip message, seq_no:%llu, data_start:%x, data_len:%u", Ull(record.seq_no), record.start,
                 record.data_len);
      LinkHealth::Add(m_health->records_skipped);
      AdvanceRecv(record.seq_no);
      continue;
    }
    WorkFlowBuffer* buffer = m_recv_msg_queue.GetFree(kRecvQueueWaitMs);
    if (!buffer) {
      // The positions stay at this record: it and the ones after it come again next pass.
      KLOG_DEBUG("Check recv msg queue full, seq_no:%d/%d/%d", static_cast<int>(record.seq_no),
                 static_cast<int>(info.seq_no), static_cast<int>(info.last_seq_no));
      return 0;
    }
    std::memcpy(buffer->data, data_buffer + position, record.data_len);
    buffer->data_offset = 0;
    buffer->bytes_used = record.data_len;
    buffer->msg_type = record.msg_type;
    if (m_capture) m_capture->RecordMessage(false, record.msg_type, buffer->data, record.data_len);
    m_recv_msg_queue.PutFull(buffer);
    LinkHealth::Add(m_health->frames_in);
    LinkHealth::Add(m_health->bytes_in, record.data_len);
    LinkHealth::Raise(m_health->recv_queue_high, m_recv_msg_queue.FullHighWater());
    AdvanceRecv(record.seq_no);
  }
  return 0;
}

int HostCommViaStorage::ResynchroniseRecv(uint64_t delivered) {
  ReportsAfterUnlock reports;
  std::lock_guard<std::mutex> lock(m_volume_mutex[kVolumeTypeDeviceToHost]);
  const int r = RepositionVolumeLocked(kVolumeTypeDeviceToHost);
  if (r < 0) return r;
  // Repositioning goes on after the newest record. When the writer came round the ring past the
  // reader, the records before the newest are messages not read yet: the reader goes back to the
  // oldest of them whose data no later message can have overwritten (a margin of one pass's
  // worth of data for the message being written now), never to one it delivered already.
  const VolumeArea& area = kVolumeAreas[kVolumeTypeDeviceToHost];
  VolumeRunInfo& info = m_volume_run_info[kVolumeTypeDeviceToHost];
  const uint8_t* summary = m_scan_buffer[kVolumeTypeDeviceToHost].Data();
  const uint32_t slots = area.SummarySize() / kSlot;
  const uint32_t newest = (info.last_summary_addr - area.summary_start) / kSlot;
  const SummaryRecord newest_record = SummaryRecord::Decode(summary + newest * kSlot);
  uint64_t bytes = RoundUpToBlock(newest_record.start % kStorageBlockSize + newest_record.data_len);
  uint32_t oldest = newest;
  for (uint32_t back = 1; back < slots; ++back) {
    const uint32_t slot = (newest + slots - back) % slots;
    const uint8_t* raw = summary + slot * kSlot;
    if (!SummaryRecord::IsValid(raw)) break;
    const SummaryRecord record = SummaryRecord::Decode(raw);
    bytes += RoundUpToBlock(record.start % kStorageBlockSize + record.data_len);
    if (record.seq_no != newest_record.seq_no - back || record.seq_no <= delivered ||
        bytes + kDataBufferSize > area.DataSize())
      break;
    oldest = slot;
  }
  if (oldest == newest) return 0;
  const SummaryRecord first = SummaryRecord::Decode(summary + oldest * kSlot);
  KLOG_DEBUG("Resume at the oldest intact record, seq_no:%llu, newest:%llu", Ull(first.seq_no),
             Ull(newest_record.seq_no));
  // The record to read next stands as the last consumed one too, so the next pass finds it in place.
  info.last_summary_addr = info.summary_addr = area.summary_start + oldest * kSlot;
  info.last_seq_no = info.seq_no = first.seq_no;
  return 0;
}

int HostCommViaStorage::RepositionVolume(int volume_type) {
  ReportsAfterUnlock reports;
  std::lock_guard<std::mutex> lock(m_volume_mutex[volume_type]);
  return RepositionVolumeLocked(volume_type);
}

int HostCommViaStorage::RepositionVolumeLocked(int volume_type) {
  const VolumeArea& area = kVolumeAreas[volume_type];
  VolumeRunInfo& info = m_volume_run_info[volume_type];
  uint8_t* summary = m_scan_buffer[volume_type].Data();
  if (!summary) {
    KLOG_DEBUG("Malloc summary_buf error");
    return -1;
  }
  if (volume_type == kVolumeTypeDeviceToHost) m_damaged_seq_no = ~0ull;  // a sighting before the move says nothing
  const uint32_t size = area.SummarySize();
  uint32_t end_addr;
  if (ShmRead(area.summary_start, summary, size, area.summary_start, area.summary_end, &end_addr) < 0) {
    KLOG_DEBUG("RepositionVolume error");
    return -1;
  }

  // Records rise slot by slot; after a wrap the newer ones stand at the low slots, so the
  // first record that is invalid or older than its predecessor ends the newest run.
  uint32_t offset = 0;
  uint32_t last = 0;
  bool accepted = false;
  uint64_t prev_seq_no = 0;
  for (; offset < size; offset += kSlot) {
    const uint8_t* slot = summary + offset;
    if (!SummaryRecord::IsValid(slot)) break;
    const uint64_t seq_no = SummaryRecord::Decode(slot).seq_no;
    if (accepted && seq_no < prev_seq_no) break;
    prev_seq_no = seq_no;
    last = offset;
    accepted = true;
  }
  KLOG_DEBUG("RepositionVolume, summary_start:%x, summary_end:%x, data_start:%x, data_end:%x", area.summary_start,
             area.summary_end, area.data_start, area.data_end);

  if (accepted) {
    const SummaryRecord newest = SummaryRecord::Decode(summary + last);
    KLOG_DEBUG("RepositionVolume, offset:%d/%d, summary seq_no:%llu, data_start:%x, data_len:%d",
               static_cast<int>(offset), static_cast<int>(last), Ull(newest.seq_no), newest.start,
               static_cast<int>(newest.data_len));
    info.last_summary_addr = area.summary_start + last;
    info.last_seq_no = newest.seq_no;
    info.summary_addr = offset < size ? area.summary_start + offset : area.summary_start;
    info.seq_no = newest.seq_no + 1;
    // The next data go behind the newest message's data. Those may have wrapped past the
    // area's end: then they end near the area's start, and writing at the start would
    // overwrite their tail before the reader has it.
    uint64_t data_end_addr = static_cast<uint64_t>(newest.start) + newest.data_len;
    if (newest.start >= area.data_start && newest.start <= area.data_end && data_end_addr > area.data_end &&
        newest.data_len <= area.DataSize())
      data_end_addr = area.data_start + (data_end_addr - area.data_end);
    // Raised to a block boundary as a whole, so a record with an odd start still leaves the
    // writer on a boundary.
    const uint64_t data_addr = (data_end_addr + (kStorageBlockSize - 1)) & ~static_cast<uint64_t>(kStorageBlockSize - 1);
    info.data_addr = data_addr > UINT32_MAX ? 0 : static_cast<uint32_t>(data_addr);
    KLOG_DEBUG("RepositionVolume, DATA ADDR:%x, data_start_addr:%x, data_end_addr:%x", info.data_addr,
               area.data_start, area.data_end);
    if (info.data_addr < area.data_start || info.data_addr > area.data_end) {
      info.data_addr = area.data_start;
      KLOG_DEBUG("RepositionVolume, data_addr = data_start_addr");
    }
    KLOG_DEBUG("RepositionVolume, seq_no:%llu, summary_addr:%x, data_addr:%x", Ull(info.seq_no), info.summary_addr,
               info.data_addr);
    return 0;
  }

  // No valid first record: start the type with the init message, number 0.
  info.summary_addr = area.summary_start;
  info.seq_no = 0;
  info.data_addr = area.data_start;
  if (WriteMsgLocked(volume_type, 0, kZeroBlock, kStorageBlockSize) < 0) {
    KLOG_DEBUG("RepositionVolume write init message error");
    return -1;
  }
  info.last_summary_addr = area.summary_start;
  info.last_seq_no = 0;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Start and stop

int HostCommViaStorage::StartLoopRecv() {
  // A worker that ended by itself (a failed pass) is joined before a new one starts.
  if (m_recv_thread.joinable()) {
    m_stop = true;
    kestal::CallbackGate::JoinWorker(m_recv_thread);
  }
  m_stop = false;
  if (OpenStorageDevice() < 0) {
    KLOG_DEBUG("Open dev:%s failed", DevicePath().c_str());
    ReportStatusTo(m_report_status, HostCommStatusStorageConnectError, "");
    return -1;
  }
  KLOG_DEBUG("Open dev:%s successfully", DevicePath().c_str());
  // The mailbox has no endpoints: its messages are captured as if they crossed the device's first network port.
  if (m_capture) m_capture->Connected(0x7F000001, 50000, 0x7F000001, 28992);
  const int r0 = RepositionVolume(kVolumeTypeHostToDevice);
  const int r1 = RepositionVolume(kVolumeTypeDeviceToHost);
  if (r0 < 0 || r1 < 0) {
    // A disk that cannot be read or written is no connection: reporting one would clear the
    // failure just reported and leave nobody to retry.
    {
      std::unique_lock<std::shared_mutex> lock(m_device_mutex);
      m_device.Close();
    }
    KLOG_DEBUG("Reposition dev:%s failed", DevicePath().c_str());
    ReportStatusTo(m_report_status, HostCommStatusStorageConnectError, "");
    return -1;
  }
  ReportStatusTo(m_report_status, HostCommStatusStorageConnected, "");
  m_recv_thread = kestal::CallbackGate::StartWorker([this] { LoopRecv(); });  // reports states
  return 0;
}

void HostCommViaStorage::LoopRecv() {
  // An idle mailbox is looked at once a millisecond; while messages come, the next one is
  // likely close behind, so it is looked at every 100 us for a while after the last.
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_message = Clock::now() - kBusyPollSpell;
  while (!m_stop) {
    const uint64_t seq_no = RunInfo(kVolumeTypeDeviceToHost).seq_no;
    if (ReadMsg() < 0) {
      KLOG_DEBUG_AS(kRecvWorker, "ReadMsg FAILED");
      break;
    }
    const Clock::time_point now = Clock::now();
    if (RunInfo(kVolumeTypeDeviceToHost).seq_no != seq_no) last_message = now;
    std::this_thread::sleep_for(now - last_message < kBusyPollSpell ? kBusyPollInterval
                                                                    : std::chrono::microseconds(kPollIntervalMs * 1000));
  }
  KLOG_DEBUG_AS(kRecvWorker, "loop recv thread stopped");
}

int HostCommViaStorage::StopLoopRecv() {
  m_stop = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(kStopWaitMs));
  // A pass in progress (at most a 200 ms queue wait) finishes before the disk is closed.
  kestal::CallbackGate::JoinWorker(m_recv_thread);
  std::string path;
  {
    std::unique_lock<std::shared_mutex> lock(m_device_mutex);
    m_device.Close();
    path = m_device_path;
  }
  KLOG_DEBUG("Close dev:%s", path.c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(kStopWaitMs));
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
    KLOG_DEBUG("PrintVolumeRunInfo, type:%d, summary_address:%x/%x, data_address:%x, seq_no:%x/%x", type,
               info.summary_addr, info.last_summary_addr, info.data_addr, static_cast<uint32_t>(info.seq_no),
               static_cast<uint32_t>(info.last_seq_no));
    if (!have_buffer) {
      KLOG_DEBUG("Malloc summary_buf error");
      return;
    }
    // Without an open disk (the network link in use) there is nothing to dump and no failure of
    // the storage link to report. The device lock keeps the disk open for the read.
    int r;
    {
      std::shared_lock<std::shared_mutex> device_lock(m_device_mutex);
      if (!m_device.IsOpen()) return;
      r = m_device.Read(area.summary_start, summary.Data(), area.SummarySize());
    }
    if (r < 0) {
      ErrorReport(StorageError::ReadFailed);
      KLOG_DEBUG("ShmRead Volume error");
      return;
    }

    const CivilTime t = ToCivil(static_cast<int64_t>(kestal::NowMs() / 1000) + kDumpZoneOffsetS);
    char name[256];
    std::snprintf(name, sizeof name, "volume%04d%02d%02d_%02d%02d%02d_%d.txt", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, type);
    FILE* file = std::fopen(name, "wb");
    for (uint32_t offset = 0; offset < area.SummarySize(); offset += kSlot) {
      const uint8_t* slot = summary.Data() + offset;
      using R = SummaryRecord;
      char line[256];
      const int n = std::snprintf(
          line, sizeof line, "0x%08x: tag[%08x], seq_no[%08x/%08x], start[%08x], msg[%08x/%04x], crc[%04x]\r\n",
          offset, kestal::LoadU32(slot + R::kTagOffset), kestal::LoadU32(slot + R::kSeqNoOffset),
          kestal::LoadU32(slot + R::kSeqNoInvOffset), kestal::LoadU32(slot + R::kStartOffset),
          static_cast<uint32_t>(kestal::LoadU16(slot + R::kMsgTypeOffset)),
          kestal::LoadU32(slot + R::kDataLenOffset),
          static_cast<uint32_t>(kestal::LoadU16(slot + R::kCrcOffset)));
      if (file && n > 0) std::fwrite(line, 1, static_cast<std::size_t>(n), file);
    }
    if (file) std::fclose(file);
  }
}
