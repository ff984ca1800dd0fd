// Reads volume type 1 (device to host) of the mailbox: follows its summary ring slot by slot and
// number by number, reads the data of the new messages of a pass in one transfer and hands each
// whole message to a Sink. Checks that fail (the last consumed record changed or gone, a stray
// next slot, a number behind the expected one) resynchronise: the reader repositions after the
// newest record and, when the writer came round the ring past it, goes back to the oldest
// message not yet read whose data are still intact.
//
// Everything the reader notices goes to its Reporter as an Event; the reader itself writes no
// log line and counts nothing. It keeps its positions (VolumeRunInfo) in memory only: after each
// start they are derived again from the disk by Reposition.
//
// Threads: not thread-safe. The owner serialises every call (StorageMailbox holds its receive
// lock around them). The storage, reporter and the start-volume function must remain
// live as long as the reader.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "transport/storage/AlignedBuffer.h"
#include "transport/storage/BlockStorage.h"
#include "transport/storage/SummaryRecord.h"
#include "transport/storage/VolumeArea.h"

class MailboxReader {
 public:
  static constexpr uint32_t kDataBufferSize = 0x400000;  // one pass's data, and one message
  static constexpr uint32_t kSummaryWindowSize = 2048;   // summary bytes read per pass (64 slots)
  // Locate's result for an area without a valid first record.
  static constexpr int kVolumeEmpty = 1;

  // What the reader noticed, with the values each carries (in this order).
  enum class Event {
    kPassBuffersMissing,  // the pass's buffers could not be had
    kRingOutsideArea,     // address, length, area start, area end: a read outside its ring area
    kRingReadFailed,      // piece: 0 a single read, 1 or 2 the first or second of a wrapped read
    kResynchronise,       // a check failed; the reader repositions
    kLastRecordInvalid,   // the last consumed record fails its check
    kSeqMismatch,         // record's number, number expected
    kNextSlotOutside,     // next slot, last consumed slot: the next slot is not in the window
    kDamagedSkipped,      // number, slot: a damaged record seen twice, given up
    kMessageTooLong,      // data length: longer than one pass can read
    kDataStartOutside,    // data start outside the data area
    kPassFull,            // bytes with this record, pass limit: the record waits for the next pass
    kMessageSkipped,      // number, data start, length: a message that cannot be delivered whole
    kSequenceGap,         // number, number expected: the writer skipped numbers
    kSinkFull,            // record's number, number expected, last consumed number
    kResumed,             // oldest intact number, newest number
    kScanBufferMissing,   // repositioning's buffer could not be had
    kScanReadFailed,      // repositioning could not read the summary area
    kScanBounds,          // summary start, summary end, data start, data end
    kScanNewest,          // first rejected offset, last accepted offset, number, data start, length
    kScanDataAddr,        // data address, data start, data end
    kScanDataAddrReset,   // the data address lay outside the data area: set to its start
    kScanPositions,       // next number, next slot, data address
    kInitWriteFailed,     // the init message of an empty volume could not be written
  };
  using Values = std::array<uint64_t, 5>;

  class Reporter {
   public:
    virtual ~Reporter() = default;
    virtual void Report(Event event, const Values& values) = 0;
  };

  class Sink {
   public:
    virtual ~Sink() = default;
    // Longest message taken; a longer one is skipped (cut, it would look whole).
    virtual uint32_t MaxLength() const = 0;
    // Takes one whole message: 0, or negative when there is no room. Then the pass ends and the
    // message comes again on a later pass.
    virtual int Deliver(uint16_t msg_type, const uint8_t* data, uint32_t length) = 0;
  };

  // Writes the init message of an empty volume at `positions` and moves them past it; 0 or
  // negative. The reader reads only; whoever writes the mailbox writes the init message.
  using StartVolume = std::function<int(VolumeRunInfo* positions)>;

  // Allocates nothing: the buffers come with Reserve.
  MailboxReader(BlockStorage& storage, Reporter& reporter, StartVolume start_volume);
  MailboxReader(const MailboxReader&) = delete;
  MailboxReader& operator=(const MailboxReader&) = delete;

  // Takes the pass's and repositioning's buffers (4 MiB and some) unless it has them; a buffer
  // that cannot be had is reported by the pass or repositioning that needs it.
  void Reserve();
  // One pass: delivers the new messages that fit in one window and one data read. 0 (also after
  // a resynchronisation), or negative when the disk failed or a buffer is missing.
  int ReadPass(Sink& sink);
  // Finds the newest record and continues after it; starts an empty volume. 0 or -1.
  int Reposition();
  const VolumeRunInfo& Positions() const { return m_pos; }
  void SetPositions(const VolumeRunInfo& positions) { m_pos = positions; }

  // Finds the newest record in a whole summary area of either type and sets `positions` after
  // it; reports what it found. 0, or kVolumeEmpty (positions set for the init message, number 0
  // in the first slot) when the first slot holds no valid record.
  static int Locate(const VolumeArea& area, const uint8_t* summary, Reporter& reporter,
                    VolumeRunInfo* positions);

 private:
  static constexpr uint32_t kMaxGathered = kSummaryWindowSize / SummaryRecord::kSize;

  // The new records of one pass, and the first one that no pass can ever read.
  struct Gathered {
    SummaryRecord records[kMaxGathered];
    uint32_t count = 0;
    uint64_t total = 0;  // bytes to read: whole blocks from the first record's data block
    bool unreadable = false;
    SummaryRecord unreadable_record;
  };

  int ReadRing(uint32_t address, uint8_t* buffer, uint32_t length, uint32_t area_start,
               uint32_t area_end);
  // The window's checks: the last consumed record in place, the next slot inside the window.
  bool CheckLastRecord(const uint8_t* window, uint32_t window_start);
  bool FindNextOffset(uint32_t window_start, uint32_t* next_offset);
  void Gather(const uint8_t* window, uint32_t next_offset, Gathered* gathered);
  // A record that fails its check; true when it was given up and gathering goes on behind it.
  bool SkipDamaged(const uint8_t* window, uint32_t offset, const Gathered& gathered);
  // A record no pass can read is consumed without being delivered.
  int ConsumeUnreadable(const SummaryRecord& record);
  int Deliver(Sink& sink, const Gathered& gathered);
  int Resynchronise();
  void ResumeAtOldestIntact(uint64_t delivered);
  void Advance(uint64_t seq_no);
  void Report(Event event, const Values& values = {}) { m_reporter.Report(event, values); }

  static bool FindNewestRun(const uint8_t* summary, uint32_t size, uint32_t* last,
                            uint32_t* first_rejected);
  static void PositionAfter(const VolumeArea& area, const SummaryRecord& newest, Reporter& reporter,
                            VolumeRunInfo* positions);

  BlockStorage& m_storage;
  Reporter& m_reporter;
  const StartVolume m_start_volume;
  const VolumeArea& m_area;
  VolumeRunInfo m_pos;
  // The number of a damaged record seen by the last pass; a second sighting skips it.
  uint64_t m_damaged_seq_no = ~0ull;
  AlignedBuffer m_window;
  AlignedBuffer m_data;
  AlignedBuffer m_scan;  // the whole summary area, as repositioning last read it
};
