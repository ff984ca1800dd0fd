#include "devsim/SimStorageDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "SimLog.h"

namespace {

constexpr uint32_t kSlot = SummaryRecord::kSize;
constexpr uint32_t kBlock = kStorageBlockSize;
constexpr uint32_t kWindow = 2048;  // summary bytes looked at per poll
constexpr uint32_t kStagingSize = SimStorageDevice::kMaxMsgLen + kBlock;

}  // namespace

SimStorageDevice::SimStorageDevice(std::string path) : m_path(std::move(path)) {
  AllocateBuffers();
}

SimStorageDevice::SimStorageDevice(BlockStorage& storage) : m_path("memory"), m_attached(&storage) {
  AllocateBuffers();
}

void SimStorageDevice::AllocateBuffers() {
  m_write_staging.Allocate(kStagingSize);
  m_read_window.Allocate(kWindow);
  m_read_data.Allocate(kStagingSize);
  m_scan.Allocate(kVolumeAreas[0].SummarySize());
}

SimStorageDevice::~SimStorageDevice() { Stop(); }

uint64_t SimStorageDevice::NextSendSeqNo() const {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  return m_write.seq_no;
}

int SimStorageDevice::Open() {
  if (m_disk) return 0;
  if (!m_write_staging.Data() || !m_read_window.Data() || !m_read_data.Data() || !m_scan.Data())
    return -1;
  if (!m_attached && m_device.Open(m_path) < 0) {
    return -1;
  }
  m_disk = m_attached ? m_attached : &m_device;
  std::lock_guard<std::mutex> lock(m_write_mutex);
  if (Locate(kVolumeTypeDeviceToHost, &m_write) < 0 ||
      Locate(kVolumeTypeHostToDevice, &m_read) < 0) {
    m_device.Close();
    m_disk = nullptr;
    return -1;
  }
  SimLog("opened %s, write seq_no:%llu slot:%x, read seq_no:%llu slot:%x", m_path.c_str(),
         static_cast<unsigned long long>(m_write.seq_no), m_write.slot,
         static_cast<unsigned long long>(m_read.seq_no), m_read.slot);
  return 0;
}

int SimStorageDevice::Start(Handler handler) {
  if (m_poll_thread.joinable()) return 0;
  if (Open() < 0) return -1;
  m_handler = std::move(handler);
  m_stop = false;
  m_poll_thread = std::thread(&SimStorageDevice::LoopPoll, this);
  return 0;
}

void SimStorageDevice::Stop() {
  m_stop = true;
  if (m_poll_thread.joinable()) m_poll_thread.join();
  std::lock_guard<std::mutex> lock(m_write_mutex);
  m_device.Close();
  m_disk = nullptr;
}

int SimStorageDevice::ReadRing(uint32_t address, uint8_t* buffer, uint32_t len, uint32_t area_start,
                               uint32_t area_end) {
  if (address < area_start || address > area_end || len > area_end - area_start) return -1;
  const uint32_t first = area_end - address < len ? area_end - address : len;
  if (m_disk->Read(address, buffer, first) < 0) return -1;
  if (first < len && m_disk->Read(area_start, buffer + first, len - first) < 0) return -1;
  return 0;
}

// `data` lies in the write staging buffer with its last block zero-padded, so every piece is
// written as whole blocks.
int SimStorageDevice::WriteRing(uint32_t address, const uint8_t* data, uint32_t len,
                                uint32_t area_start, uint32_t area_end, uint32_t* end_address) {
  const uint32_t first = area_end - address < len ? area_end - address : len;
  if (m_disk->Write(address, data, RoundUpToBlock(first)) < 0) return -1;
  if (first < len) {
    if (m_disk->Write(area_start, data + first, RoundUpToBlock(len - first)) < 0) return -1;
    *end_address = area_start + (len - first);
  } else {
    *end_address = address + len;
  }
  if (*end_address >= area_end) *end_address = area_start;
  return 0;
}

int SimStorageDevice::Locate(int volume_type, Position* position) {
  const VolumeArea& area = kVolumeAreas[volume_type];
  uint8_t* summary = m_scan.Data();
  if (m_disk->Read(area.summary_start, summary, area.SummarySize()) < 0) return -1;
  uint32_t offset = 0;
  uint32_t newest = 0;
  bool found = false;
  for (; offset < area.SummarySize(); offset += kSlot) {
    if (!SummaryRecord::IsValid(summary + offset)) break;
    const SummaryRecord r = SummaryRecord::Decode(summary + offset);
    if (found && r.seq_no < SummaryRecord::Decode(summary + newest).seq_no) break;
    newest = offset;
    found = true;
  }
  if (!found) {
    // An empty type starts with the init message, number 0, as the host's side does.
    *position = Position{0, area.data_start, 0};
    const uint8_t zeros[kBlock] = {};
    return WriteRecordLocked(volume_type, position, 0, zeros, kBlock);
  }
  const SummaryRecord r = SummaryRecord::Decode(summary + newest);
  position->slot = offset < area.SummarySize() ? offset : 0;
  position->seq_no = r.seq_no + 1;
  // Behind the newest message's data, which may have wrapped past the area's end.
  uint64_t data_addr = static_cast<uint64_t>(RoundUpToBlock(r.start)) + RoundUpToBlock(r.data_len);
  if (r.start >= area.data_start && r.start <= area.data_end && r.data_len <= area.DataSize() &&
      data_addr > area.data_end)
    data_addr = area.data_start + (data_addr - area.data_end);
  position->data_addr = data_addr >= area.data_start && data_addr < area.data_end
                            ? static_cast<uint32_t>(data_addr)
                            : area.data_start;
  return 0;
}

int SimStorageDevice::WriteRecordLocked(int volume_type, Position* position, uint16_t type,
                                        const uint8_t* data, uint32_t len) {
  const Message message{data, len};
  return WriteRunLocked(volume_type, position, type, &message, 1) < 0 ? -1 : 0;
}

// The data of the run go out in one write (the first message may wrap round the ring; later ones
// join only while they fit in the staging buffer and before the ring's end), then their records in
// one write per stretch of the summary area. A record at the start of a block is written with the
// rest of the block cleared; one inside a block keeps the block's other records, as a single
// record's write does.
int SimStorageDevice::WriteRunLocked(int volume_type, Position* position, uint16_t type,
                                     const Message* messages, uint32_t count) {
  const VolumeArea& area = kVolumeAreas[volume_type];
  uint8_t* staging = m_write_staging.Data();
  uint32_t staged = 0, n = 0;
  for (; n < count; ++n) {
    const uint32_t len = messages[n].len;
    if (len > kMaxMsgLen || len > area.DataSize()) return -1;
    const uint32_t padded = RoundUpToBlock(len);
    if (n > 0 &&
        (staged + padded > kMaxMsgLen || position->data_addr + staged + padded > area.data_end))
      break;
    std::memcpy(staging + staged, messages[n].data, len);
    std::memset(staging + staged + len, 0, padded - len);
    staged += padded;
  }
  uint32_t data_end;
  if (WriteRing(position->data_addr, staging, staged, area.data_start, area.data_end, &data_end) <
      0)
    return -1;

  uint32_t start = position->data_addr;
  for (uint32_t k = 0; k < n;) {
    const uint32_t run = std::min(n - k, (area.SummarySize() - position->slot) / kSlot);
    const uint32_t first_addr = area.summary_start + position->slot;
    const uint32_t block_addr = first_addr & ~(kBlock - 1);
    if (first_addr != block_addr && m_disk->Read(block_addr, staging, kBlock) < 0) return -1;
    for (uint32_t j = 0; j < run; ++j, ++k) {
      const uint32_t at = first_addr - block_addr + j * kSlot;
      if (at % kBlock == 0) std::memset(staging + at, 0, kBlock);
      SummaryRecord record;
      record.seq_no = position->seq_no++;
      record.start = start;
      record.data_len = messages[k].len;
      record.msg_type = type;
      record.Encode(staging + at);
      if (std::exchange(m_damage_next_record, false))
        staging[at + SummaryRecord::kStartOffset] ^= 0x40;
      start += RoundUpToBlock(messages[k].len);
    }
    if (m_disk->Write(block_addr, staging, RoundUpToBlock(first_addr - block_addr + run * kSlot)) <
        0)
      return -1;
    position->slot =
        position->slot + run * kSlot >= area.SummarySize() ? 0 : position->slot + run * kSlot;
  }
  position->data_addr = RoundUpToBlock(data_end);
  return static_cast<int>(n);
}

int SimStorageDevice::Send(uint16_t type, const uint8_t* data, uint32_t len) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  if (!m_disk) return -1;
  return WriteRecordLocked(kVolumeTypeDeviceToHost, &m_write, type, data, len);
}

int SimStorageDevice::SendFaulty(uint16_t type, const uint8_t* data, uint32_t len, int torn_ms) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  if (!m_disk) return -1;
  Position again = m_write;
  m_damage_next_record = true;
  if (WriteRecordLocked(kVolumeTypeDeviceToHost, &m_write, type, data, len) < 0) return -1;
  if (torn_ms < 0) return 0;
  // Nothing else is written meanwhile: the lock is held, as a device's writer would be busy.
  std::this_thread::sleep_for(std::chrono::milliseconds(torn_ms));
  return WriteRecordLocked(kVolumeTypeDeviceToHost, &again, type, data, len);
}

void SimStorageDevice::SkipSeqNos(uint64_t count) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  m_write.seq_no += count;
}

int SimStorageDevice::SendMany(uint16_t type, const Message* messages, uint32_t count) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  if (!m_disk) return -1;
  for (uint32_t done = 0; done < count;) {
    const int n =
        WriteRunLocked(kVolumeTypeDeviceToHost, &m_write, type, messages + done, count - done);
    if (n < 0) return -1;
    done += static_cast<uint32_t>(n);
  }
  return 0;
}

bool SimStorageDevice::Poll() {
  const VolumeArea& area = kVolumeAreas[kVolumeTypeHostToDevice];
  uint8_t* window = m_read_window.Data();
  const uint32_t block_offset = m_read.slot & ~(kBlock - 1);
  const uint32_t window_len =
      area.SummarySize() - block_offset < kWindow ? area.SummarySize() - block_offset : kWindow;
  if (m_disk->Read(area.summary_start + block_offset, window, window_len) < 0) return false;

  for (uint32_t offset = m_read.slot - block_offset; offset < window_len; offset += kSlot) {
    const uint8_t* slot = window + offset;
    if (!SummaryRecord::IsValid(slot)) return true;
    const SummaryRecord r = SummaryRecord::Decode(slot);
    if (r.seq_no < m_read.seq_no) return true;  // not written yet: an old record
    if (r.seq_no > m_read.seq_no) {
      // The host wrote a whole ring past us, or started over: continue after its newest.
      SimLog("host seq_no:%llu, expected:%llu: locate again",
             static_cast<unsigned long long>(r.seq_no),
             static_cast<unsigned long long>(m_read.seq_no));
      ++m_resyncs;
      // Locate shares the scan and staging buffers with the writer (it may write an init).
      std::lock_guard<std::mutex> lock(m_write_mutex);
      return Locate(kVolumeTypeHostToDevice, &m_read) == 0;
    }
    const bool readable =
        r.data_len <= kMaxMsgLen && r.start >= area.data_start && r.start <= area.data_end;
    if (readable) {
      if (ReadRing(r.start, m_read_data.Data(), RoundUpToBlock(r.data_len), area.data_start,
                   area.data_end) < 0)
        return false;
      ++m_received;
      if (m_handler) m_handler(r.msg_type, m_read_data.Data(), r.data_len);
    } else {
      SimLog("skip host message seq_no:%llu, start:%x, len:%u",
             static_cast<unsigned long long>(r.seq_no), r.start, r.data_len);
    }
    m_read.slot = m_read.slot + kSlot >= area.SummarySize() ? 0 : m_read.slot + kSlot;
    ++m_read.seq_no;
  }
  return true;
}

void SimStorageDevice::LoopPoll() {
  while (!m_stop) {
    if (!Poll()) {
      SimLog("the mailbox of %s cannot be read: stopped polling", m_path.c_str());
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
