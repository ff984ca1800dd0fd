// Fuzzes the mailbox reader, MailboxReader, over an in-memory disk whose device-to-host summary
// ring (its last block and first 2048 bytes) and data ring start hold the input. Started at
// positions the reader itself could hold (slots of the ring), a pass on a healthy disk must never
// fail, must keep the positions on slots of the ring, and may deliver only messages that a valid
// record describes (type and length).
#include <algorithm>
#include <cstring>
#include <utility>

#include "FuzzFormats.h"
#include "transport/storage/MailboxReader.h"
#include "transport/storage/MemoryBlockDevice.h"

namespace {

constexpr int kType = kVolumeTypeDeviceToHost;
constexpr uint32_t kSlot = SummaryRecord::kSize;
constexpr uint32_t kQueueBufferSize = 65536;  // the transport's receive buffers

struct QuietReporter : MailboxReader::Reporter {
  void Report(MailboxReader::Event, const MailboxReader::Values&) override {}
};

// Takes what the transport's queue takes, and checks each message against the records of the input.
struct CheckingSink : MailboxReader::Sink {
  uint32_t MaxLength() const override { return kQueueBufferSize; }
  int Deliver(uint16_t msg_type, const uint8_t*, uint32_t length) override {
    if (std::none_of(records.begin(), records.end(), [&](const SummaryRecord& r) {
          return r.msg_type == msg_type && r.data_len == length;
        }))
      Fail("a message was delivered that no valid record describes");
    return 0;
  }
  // May be delivered: the init message (type 0, one block), valid records.
  std::vector<SummaryRecord> records;
};

MemoryBlockDevice g_disk(kStorageDeviceSize);

// The init message of an empty volume, as the transport writes it: a zero block of data, then
// record 0 at the start of a cleared summary block.
int StartVolume(VolumeRunInfo* positions) {
  uint8_t block[kStorageBlockSize] = {};
  if (g_disk.Write(positions->data_addr, block, kStorageBlockSize) != 0) return -1;
  SummaryRecord{positions->seq_no, positions->data_addr, kStorageBlockSize, 0}.Encode(block);
  if (g_disk.Write(positions->summary_addr, block, kStorageBlockSize) != 0) return -1;
  positions->summary_addr += kSlot;
  positions->data_addr += kStorageBlockSize;
  ++positions->seq_no;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietReporter reporter;
  static MailboxReader reader(g_disk, reporter, StartVolume);
  reader.Reserve();
  static size_t s_data_written = 0;  // data ring bytes that the last input wrote
  const VolumeArea& area = kVolumeAreas[kType];
  const auto on_slot = [&](uint32_t a) {
    return a >= area.summary_start && a < area.summary_end && a % kSlot == 0;
  };
  FuzzReader in{data, size};
  const uint8_t mode = in.Get<uint8_t>();
  // Slots of the ring only: the reader refuses (fails on) a window that starts outside it, which no
  // pass leads to.
  const auto slot = [&] {
    return area.summary_start + in.Get<uint16_t>() % (area.SummarySize() / kSlot) * kSlot;
  };
  const VolumeRunInfo info{slot(), 0, in.Get<uint64_t>(), slot(), in.Get<uint64_t>()};  // in order
  // Every input writes the same summary bytes and at least the data bytes that the one before
  // wrote.
  size_t n = kMailboxSummaryBytes;
  const uint8_t* bytes = in.Take(n);
  Bytes summary(bytes, bytes + n), ring(in.m_data, in.m_data + in.m_left);
  summary.resize(kMailboxSummaryBytes);
  ring.resize(std::max(ring.size(), std::exchange(s_data_written, ring.size())));
  std::memcpy(g_disk.Data() + area.summary_end - kMailboxLead, summary.data(), kMailboxLead);
  std::memcpy(g_disk.Data() + area.summary_start, &summary[kMailboxLead],
              summary.size() - kMailboxLead);
  if (!ring.empty()) std::memcpy(g_disk.Data() + area.data_start, ring.data(), ring.size());

  CheckingSink sink;
  sink.records.resize(1);
  sink.records[0].data_len = kStorageBlockSize;
  for (size_t at = 0; at < summary.size(); at += kSlot)
    if (SummaryRecord::IsValid(&summary[at]))
      sink.records.push_back(SummaryRecord::Decode(&summary[at]));
  if (mode & 1)
    reader.SetPositions(info);
  else if (reader.Reposition() != 0)
    Fail("repositioning on a healthy disk failed");
  for (int pass = 0; pass < 4; ++pass) {
    if (reader.ReadPass(sink) < 0) Fail("a pass on a healthy disk failed");
    const VolumeRunInfo& now = reader.Positions();
    if (!on_slot(now.summary_addr) || !on_slot(now.last_summary_addr))
      Fail("the reader's positions left the ring");
  }
  return 0;
}
