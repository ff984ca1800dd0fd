#include "transport/storage/MailboxReader.h"

#include <utility>

namespace {

constexpr uint32_t kSlot = SummaryRecord::kSize;
constexpr int kType = kVolumeTypeDeviceToHost;

uint32_t NextSlot(const VolumeArea& area, uint32_t slot) {
  return slot + kSlot >= area.summary_end ? area.summary_start : slot + kSlot;
}

}  // namespace

MailboxReader::MailboxReader(BlockStorage& storage, Reporter& reporter, StartVolume start_volume)
    : m_storage(storage),
      m_reporter(reporter),
      m_start_volume(std::move(start_volume)),
      m_area(kVolumeAreas[kType]) {}

void MailboxReader::Reserve() {
  if (!m_window.Data()) m_window.Allocate(kSummaryWindowSize);
  if (!m_data.Data()) m_data.Allocate(kDataBufferSize);
  if (!m_scan.Data()) m_scan.Allocate(m_area.SummarySize());
}

int MailboxReader::ReadRing(uint32_t address, uint8_t* buffer, uint32_t length, uint32_t area_start,
                            uint32_t area_end) {
  // Positions come from the disk: one outside the area would make the wrap arithmetic run past it.
  if (address < area_start || address > area_end || length > area_end - area_start) {
    Report(Event::kRingOutsideArea, {address, length, area_start, area_end});
    return -1;
  }
  if (static_cast<uint64_t>(address) + length <= area_end) {
    const int r = m_storage.Read(address, buffer, length);
    if (r < 0) Report(Event::kRingReadFailed, {0});
    return r;
  }
  const uint32_t first = area_end - address;
  if (int r = m_storage.Read(address, buffer, first); r < 0) {
    Report(Event::kRingReadFailed, {1});
    return r;
  }
  if (int r = m_storage.Read(area_start, buffer + first, length - first); r < 0) {
    Report(Event::kRingReadFailed, {2});
    return r;
  }
  return 0;
}

void MailboxReader::Advance(uint64_t seq_no) {
  m_pos.last_summary_addr = m_pos.summary_addr;
  m_pos.last_seq_no = seq_no;
  m_pos.summary_addr = NextSlot(m_area, m_pos.summary_addr);
  m_pos.seq_no = seq_no + 1;
}

// ---------------------------------------------------------------------------------------
// One pass

int MailboxReader::ReadPass(Sink& sink) {
  uint8_t* window = m_window.Data();
  if (!window || !m_data.Data()) {
    Report(Event::kPassBuffersMissing);
    return -1;
  }
  // The window starts at the block of the last consumed record.
  const uint32_t window_start = m_pos.last_summary_addr & ~(kStorageBlockSize - 1);
  if (int r = ReadRing(window_start, window, kSummaryWindowSize, m_area.summary_start,
                       m_area.summary_end);
      r < 0)
    return r;
  uint32_t next_offset;
  if (!CheckLastRecord(window, window_start) || !FindNextOffset(window_start, &next_offset))
    return Resynchronise();

  Gathered gathered;
  Gather(window, next_offset, &gathered);
  if (gathered.count == 0)
    return gathered.unreadable ? ConsumeUnreadable(gathered.unreadable_record) : 0;
  const uint32_t read_start = gathered.records[0].start & ~(kStorageBlockSize - 1);
  if (int r = ReadRing(read_start, m_data.Data(), static_cast<uint32_t>(gathered.total),
                       m_area.data_start, m_area.data_end);
      r < 0)
    return r;
  return Deliver(sink, gathered);
}

bool MailboxReader::CheckLastRecord(const uint8_t* window, uint32_t window_start) {
  // The last consumed record must still be there: a changed one means the device wrote a whole
  // ring past it (or restarted).
  const uint8_t* last = window + (m_pos.last_summary_addr - window_start);
  if (!SummaryRecord::IsValid(last)) {
    Report(Event::kLastRecordInvalid);
    return false;
  }
  const SummaryRecord last_record = SummaryRecord::Decode(last);
  if (last_record.seq_no != m_pos.last_seq_no) {
    Report(Event::kSeqMismatch, {last_record.seq_no, m_pos.last_seq_no});
    return false;
  }
  return true;
}

bool MailboxReader::FindNextOffset(uint32_t window_start, uint32_t* next_offset) {
  if (m_pos.summary_addr >= window_start)
    *next_offset = m_pos.summary_addr - window_start;
  else
    *next_offset =
        (m_area.summary_end - window_start) + (m_pos.summary_addr - m_area.summary_start);
  if (*next_offset > kSummaryWindowSize || *next_offset % kSlot != 0) {
    Report(Event::kNextSlotOutside, {m_pos.summary_addr, m_pos.last_summary_addr});
    return false;
  }
  return true;
}

// Gathers the new records whose data fit one pass. The pass reads whole blocks (a disk opened
// unbuffered takes nothing else): each record's data with the blocks that hold them, from the
// block of the first record's data start.
void MailboxReader::Gather(const uint8_t* window, uint32_t next_offset, Gathered* gathered) {
  for (uint32_t offset = next_offset; offset < kSummaryWindowSize; offset += kSlot) {
    const uint8_t* slot = window + offset;
    if (!SummaryRecord::IsValid(slot)) {
      if (SkipDamaged(window, offset, *gathered)) continue;
      return;
    }
    const SummaryRecord record = SummaryRecord::Decode(slot);
    if (record.seq_no < m_pos.seq_no) return;                // an old record: nothing newer follows
    const uint32_t lead = record.start % kStorageBlockSize;  // data not starting a block
    if (lead + static_cast<uint64_t>(record.data_len) > kDataBufferSize) {
      Report(Event::kMessageTooLong, {record.data_len});
      gathered->unreadable = true;
      gathered->unreadable_record = record;
      return;
    }
    if (record.start < m_area.data_start || record.start > m_area.data_end) {
      Report(Event::kDataStartOutside, {record.start});
      gathered->unreadable = true;
      gathered->unreadable_record = record;
      return;
    }
    if (lead + record.data_len + gathered->total > kDataBufferSize) {
      Report(Event::kPassFull,
             {static_cast<uint32_t>(record.data_len + gathered->total), kDataBufferSize});
      return;
    }
    gathered->records[gathered->count++] = record;
    gathered->total += RoundUpToBlock(lead + record.data_len);
  }
}

// A record that fails its check although the slot behind it holds the next number was written
// and damaged, not caught in writing. Seen so on two passes, its message is given up and the
// records behind it are read; until then the reader waits at it.
bool MailboxReader::SkipDamaged(const uint8_t* window, uint32_t offset, const Gathered& gathered) {
  const uint8_t* behind = window + offset + kSlot;
  const uint64_t expected =
      gathered.count > 0 ? gathered.records[gathered.count - 1].seq_no + 1 : m_pos.seq_no;
  const bool damaged = offset + 2 * kSlot <= kSummaryWindowSize && SummaryRecord::IsValid(behind) &&
                       SummaryRecord::Decode(behind).seq_no == expected + 1;
  if (!damaged) return false;
  if (gathered.count > 0 || m_damaged_seq_no != expected) {
    m_damaged_seq_no = expected;
    return false;
  }
  Report(Event::kDamagedSkipped, {m_pos.seq_no, m_pos.summary_addr});
  m_pos.summary_addr = NextSlot(m_area, m_pos.summary_addr);
  ++m_pos.seq_no;
  return true;
}

int MailboxReader::ConsumeUnreadable(const SummaryRecord& record) {
  // Nothing moves the positions past a record that no pass can read, so it is consumed here
  // without being delivered; the records after it follow on the next pass.
  if (record.seq_no != m_pos.seq_no) {
    Report(Event::kSeqMismatch, {record.seq_no, m_pos.seq_no});
    return Resynchronise();
  }
  Report(Event::kMessageSkipped, {record.seq_no, record.start, record.data_len});
  Advance(record.seq_no);
  return 0;
}

int MailboxReader::Deliver(Sink& sink, const Gathered& gathered) {
  const uint32_t read_start = gathered.records[0].start & ~(kStorageBlockSize - 1);
  for (uint32_t i = 0; i < gathered.count; ++i) {
    const SummaryRecord& record = gathered.records[i];
    if (record.seq_no < m_pos.seq_no) {
      Report(Event::kSeqMismatch, {record.seq_no, m_pos.seq_no});
      return Resynchronise();
    }
    // A higher number in the next slot is the device skipping numbers: the last consumed record
    // is still in place (checked before), so the writer has not come round the ring, and the
    // records from here on are new. They are read, not skipped by a resynchronisation.
    if (record.seq_no > m_pos.seq_no) Report(Event::kSequenceGap, {record.seq_no, m_pos.seq_no});
    // Where this record's data stand in what the pass read.
    const uint64_t position = record.start >= read_start ? record.start - read_start
                                                         : static_cast<uint64_t>(record.start) +
                                                               m_area.DataSize() - read_start;
    if (position + record.data_len > gathered.total || record.data_len > sink.MaxLength()) {
      // Records that contradict each other (the pass did not read these data), or a message
      // longer than the sink takes: nothing true to deliver.
      Report(Event::kMessageSkipped, {record.seq_no, record.start, record.data_len});
      Advance(record.seq_no);
      continue;
    }
    if (sink.Deliver(record.msg_type, m_data.Data() + position, record.data_len) < 0) {
      // The positions stay at this record: it and the ones after it come again next pass.
      Report(Event::kSinkFull, {record.seq_no, m_pos.seq_no, m_pos.last_seq_no});
      return 0;
    }
    Advance(record.seq_no);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Repositioning

int MailboxReader::Resynchronise() {
  Report(Event::kResynchronise);
  const uint64_t delivered = m_pos.last_seq_no;
  const int r = Reposition();
  if (r < 0) return r;
  ResumeAtOldestIntact(delivered);
  return 0;
}

int MailboxReader::Reposition() {
  uint8_t* summary = m_scan.Data();
  if (!summary) {
    Report(Event::kScanBufferMissing);
    return -1;
  }
  m_damaged_seq_no = ~0ull;  // a sighting before the move says nothing
  if (ReadRing(m_area.summary_start, summary, m_area.SummarySize(), m_area.summary_start,
               m_area.summary_end) < 0) {
    Report(Event::kScanReadFailed);
    return -1;
  }
  if (Locate(m_area, summary, m_reporter, &m_pos) != kVolumeEmpty) return 0;
  if (m_start_volume(&m_pos) < 0) {
    Report(Event::kInitWriteFailed);
    return -1;
  }
  // The reader expects the device's next message as number 1 in the second slot.
  m_pos.last_summary_addr = m_area.summary_start;
  m_pos.last_seq_no = 0;
  return 0;
}

// Repositioning goes on after the newest record. When the writer came round the ring past the
// reader, the records before the newest are messages not read yet: the reader goes back to the
// oldest of them whose data no later message can have overwritten (a margin of one pass's worth
// of data for the message being written now), never to one it delivered already.
void MailboxReader::ResumeAtOldestIntact(uint64_t delivered) {
  const uint8_t* summary = m_scan.Data();
  const uint32_t slots = m_area.SummarySize() / kSlot;
  const uint32_t newest = (m_pos.last_summary_addr - m_area.summary_start) / kSlot;
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
        bytes + kDataBufferSize > m_area.DataSize())
      break;
    oldest = slot;
  }
  if (oldest == newest) return;
  const SummaryRecord first = SummaryRecord::Decode(summary + oldest * kSlot);
  Report(Event::kResumed, {first.seq_no, newest_record.seq_no});
  // The record to read next stands as the last consumed one too, so the next pass finds it in
  // place.
  m_pos.last_summary_addr = m_pos.summary_addr = m_area.summary_start + oldest * kSlot;
  m_pos.last_seq_no = m_pos.seq_no = first.seq_no;
}

int MailboxReader::Locate(const VolumeArea& area, const uint8_t* summary, Reporter& reporter,
                          VolumeRunInfo* positions) {
  const uint32_t size = area.SummarySize();
  uint32_t last = 0, first_rejected = 0;
  const bool accepted = FindNewestRun(summary, size, &last, &first_rejected);
  reporter.Report(Event::kScanBounds,
                  {area.summary_start, area.summary_end, area.data_start, area.data_end});
  if (!accepted) {
    positions->summary_addr = area.summary_start;
    positions->seq_no = 0;
    positions->data_addr = area.data_start;
    return kVolumeEmpty;
  }
  const SummaryRecord newest = SummaryRecord::Decode(summary + last);
  reporter.Report(Event::kScanNewest,
                  {first_rejected, last, newest.seq_no, newest.start, newest.data_len});
  positions->last_summary_addr = area.summary_start + last;
  positions->last_seq_no = newest.seq_no;
  positions->summary_addr =
      first_rejected < size ? area.summary_start + first_rejected : area.summary_start;
  positions->seq_no = newest.seq_no + 1;
  PositionAfter(area, newest, reporter, positions);
  reporter.Report(Event::kScanPositions,
                  {positions->seq_no, positions->summary_addr, positions->data_addr});
  return 0;
}

// Records rise slot by slot; after a wrap the newer ones stand at the low slots, so the first
// record that is invalid or older than its predecessor ends the newest run.
bool MailboxReader::FindNewestRun(const uint8_t* summary, uint32_t size, uint32_t* last,
                                  uint32_t* first_rejected) {
  bool accepted = false;
  uint64_t prev_seq_no = 0;
  uint32_t offset = 0;
  for (; offset < size; offset += kSlot) {
    const uint8_t* slot = summary + offset;
    if (!SummaryRecord::IsValid(slot)) break;
    const uint64_t seq_no = SummaryRecord::Decode(slot).seq_no;
    if (accepted && seq_no < prev_seq_no) break;
    prev_seq_no = seq_no;
    *last = offset;
    accepted = true;
  }
  *first_rejected = offset;
  return accepted;
}

void MailboxReader::PositionAfter(const VolumeArea& area, const SummaryRecord& newest,
                                  Reporter& reporter, VolumeRunInfo* positions) {
  // The next data go behind the newest message's data. Those may have wrapped past the area's
  // end: then they end near the area's start, and writing at the start would overwrite their
  // tail before the reader has it.
  uint64_t data_end_addr = static_cast<uint64_t>(newest.start) + newest.data_len;
  if (newest.start >= area.data_start && newest.start <= area.data_end &&
      data_end_addr > area.data_end && newest.data_len <= area.DataSize())
    data_end_addr = area.data_start + (data_end_addr - area.data_end);
  // Raised to a block boundary as a whole, so a record with an odd start still leaves the writer
  // on a boundary.
  const uint64_t data_addr =
      (data_end_addr + (kStorageBlockSize - 1)) & ~static_cast<uint64_t>(kStorageBlockSize - 1);
  positions->data_addr = data_addr > UINT32_MAX ? 0 : static_cast<uint32_t>(data_addr);
  reporter.Report(Event::kScanDataAddr, {positions->data_addr, area.data_start, area.data_end});
  if (positions->data_addr < area.data_start || positions->data_addr > area.data_end) {
    positions->data_addr = area.data_start;
    reporter.Report(Event::kScanDataAddrReset, {});
  }
}
