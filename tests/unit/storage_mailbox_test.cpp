// The storage transport over an in-memory disk, one step at a time: block I/O, record layout,
// writes, repositioning, receive passes and failure reports; then both sides' workers exchanging at
// full speed.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "NetworkTestFrames.h"
#include "ServiceFixture.h"
#include "transport/storage/HostCommViaStorage.h"
#include "transport/storage/MemoryBlockDevice.h"

using namespace std::chrono;
using Bytes = std::vector<uint8_t>;
using Reported = std::vector<std::pair<unsigned, std::string>>;

namespace {

constexpr uint32_t kData0 = 0x40000, kSummary1 = 0x20000,
                   kData1 = 0x240000;  // type 0's data end at kData1

// A transport on a fresh in-memory disk and its status reports (a running worker reports only
// failures).
class Storage : public ::testing::Test {
 protected:
  void SetUp() override { m_host.Disk().AttachStorage(&m_disk); }
  void Open() {
    ASSERT_EQ(m_host.Disk().OpenStorageDevice(), 0);
    ASSERT_EQ(m_host.Mailbox().RepositionVolume(0) + m_host.Mailbox().RepositionVolume(1), 0);
  }
  Bytes Peek(uint64_t offset, uint32_t len) const {
    return {m_disk.Data() + offset, m_disk.Data() + offset + len};
  }
  void Poke(uint64_t offset, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), m_disk.Data() + offset);
  }

  MemoryBlockDevice m_disk{kStorageDeviceSize};
  Reported m_reports;
  std::function<void(unsigned)> m_on_report = [](unsigned) {};  // called on each report
  DeliveredMessages m_delivered;
  HostCommViaStorage m_host{
      {[this](unsigned s, const char* text) { m_reports.emplace_back(s, text), m_on_report(s); },
       nullptr,
       {}}};
  const HostCommTransportPlan m_plan{{}, {}, nullptr, m_delivered.Fn()};
};

TEST_F(Storage, BlockWritesKeepOrClearExactlyTheRightBytes) {
  ASSERT_EQ(m_host.Disk().OpenStorageDevice(), 0);
  // Inside a block (read, modify, write back); crossing its end (refused); at a boundary (the rest
  // of the block cleared); long (whole blocks, the last one zero-padded); zero length.
  const struct {
    uint32_t addr, len;
    int result;
  } writes[] = {{0x20, 32, 0},    {0x1F0, 32, -1}, {0x200, 32, 0},
                {0x400, 1300, 0}, {0x600, 0, 0},   {0x610, 0, 0}};
  for (const auto& w : writes) {
    SCOPED_TRACE(w.addr);
    Bytes want = Payload(0x1000, 99);
    Poke(0, want);
    const Bytes data = Payload(w.len + 1, w.addr);
    EXPECT_EQ(m_host.Disk().WriteStorageDevice(w.addr, data.data(), w.len), w.result);
    if (w.result == 0) std::copy(data.begin(), data.begin() + w.len, want.begin() + w.addr);
    if (w.result == 0 && w.addr % 512 == 0)
      std::fill(want.begin() + w.addr + w.len, want.begin() + RoundUpToBlock(w.addr + w.len), 0);
    EXPECT_EQ(Peek(0, 0x1000), want);
    const Reported cross = {
        {HostCommStatusStorageCommError, "Storage write address is not from block address"}};
    EXPECT_EQ(std::exchange(m_reports, {}), w.result ? cross : Reported{});
  }
}

// Each write: its record in its slot (the block's other slots kept, or cleared behind one at a
// block's start), its data (going on at the area's start), the positions moved on; the last rows
// first reposition on a summary area written by hand, numbers 4096 on in the slots up to `newest`.
TEST_F(Storage, WritesAdvanceSlotAndDataAddressAndRepositionFindsTheNewestRecord) {
  ASSERT_EQ(m_host.StartLoopRecv(m_plan), 0);
  EXPECT_EQ(m_reports, (Reported{{HostCommStatusStorageConnected, ""}}));
  // Type 0's init record: tag, number, its complement, data start, length, type, XOR of the bytes
  // before.
  const Bytes init = {0xA1, 0x73, 0x49, 0x23, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                      0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 4, 0, 0, 2, 0, 0, 0,    0,    0xBE, 0};
  EXPECT_TRUE(Peek(0, 32) == init && Peek(kSummary1, 32) == RecordBytes(0, kData1, 512, 0));
  // Each byte changed, then bytes 0-29 with the check fixed up (52-61: start, length, type), then
  // none.
  for (uint32_t i = 0; i < 64; ++i) {
    Bytes changed = init;
    changed[i % 32] ^= i < 62 ? 0x10 : 0;
    changed[30] ^= i >= 32 && i < 62 ? 0x10 : 0;
    EXPECT_EQ(SummaryRecord::IsValid(changed.data()), i >= 52) << "case " << i;
  }
  Poke(kData1, Bytes(512, 0x5A));  // type 1's first block
  const struct {
    uint32_t slot, data, len, next_slot, next_data, valid = 0, newest = 0, start = 0, nlen = 0;
  } writes[] = {
      {0x20, 0x40200, 12, 0x40, 0x40400},
      {0x40, kData0, 512, 0x60, 0x40200},
      {0x60, kData0, 513, 0x80, 0x40400},
      // The last slot; data past the area's end go on at its start.
      {0x1FFE0, 0x23FE00, 1000, 0, 0x40200},
      {0, kData0, 65536, 0x20, 0x50000},    // the first slot; the largest message
      {0x20, kData0, 65537, 0x20, kData0},  // one byte more: refused
      {0x140, 0x41400, 64, 0x160, 0x41600, 4096, 9, 0x41200, 100},  // the ring wrapped once
      // Every slot valid, data to the area's end; the newest data wrapped: their tail stays.
      {0, kData1, 64, 0x20, 0x40200, 4096, 4095, 0x23FE00, 512},
      {0x20, 0x40200, 64, 0x40, 0x40400, 1, 0, 0x23FE00, 1000},
  };
  for (const auto& w : writes) {
    SCOPED_TRACE(&w - writes);
    Bytes area(0x20000);
    for (uint32_t slot = 0; slot < w.valid; ++slot) {
      const Bytes r =
          RecordBytes(slot + (slot <= w.newest ? 4096 : 0), slot == w.newest ? w.start : kData0,
                      slot == w.newest ? w.nlen : 512, 6);
      std::copy(r.begin(), r.end(), area.begin() + slot * 32);
    }
    Poke(0x1FE00, Payload(0x1E0, 1)), Poke(kData0, Bytes(488, 0x77));
    ASSERT_TRUE(!w.valid || (Poke(0, area), m_host.Mailbox().RepositionVolume(0) == 0));
    VolumeRunInfo info = m_host.Mailbox().RunInfo(0);
    const uint64_t seq = w.valid ? 4097 + w.newest : info.seq_no;
    EXPECT_TRUE(!w.valid ||
                (info.last_summary_addr == w.newest * 32 && info.last_seq_no == seq - 1 &&
                 info.summary_addr == w.slot && info.data_addr == w.data && info.seq_no == seq));
    m_host.Mailbox().SetRunInfo(0, {w.slot, w.data, seq});
    const bool ok = w.len <= 65536;
    const uint32_t block = w.slot & ~511u, first = ok ? std::min(w.len, kData1 - w.data) : 0;
    const Bytes data = Payload(w.len, static_cast<uint32_t>(seq)),
                record = RecordBytes(seq, w.data, w.len, 6);
    Bytes summary_block = Peek(block, 512);
    EXPECT_EQ(m_host.SendOrder(6, data.data(), w.len), ok ? 0 : -1);
    if (ok) std::copy(record.begin(), record.end(), summary_block.begin() + (w.slot - block));
    if (ok && w.slot == block) std::fill(summary_block.begin() + 32, summary_block.end(), 0);
    EXPECT_EQ(Peek(block, 512), summary_block);
    EXPECT_EQ(Peek(w.data, first), Bytes(data.begin(), data.begin() + first));
    const Bytes tail(data.begin() + first, data.begin() + (ok ? w.len : 0));
    EXPECT_EQ(Peek(kData0, static_cast<uint32_t>(tail.size())), tail);
    EXPECT_TRUE(Peek(kData1, 512) == Bytes(512, 0x5A));
    EXPECT_TRUE(w.data == kData0 || first < w.len || Peek(kData0, 488) == Bytes(488, 0x77));
    info = m_host.Mailbox().RunInfo(0);
    EXPECT_TRUE(info.summary_addr == w.next_slot && info.data_addr == w.next_data &&
                info.seq_no == seq + ok);
  }
}

// Steps, run in turn: "slot:seq@start+len", a record written by hand into type 1 with its data
// (seq "x": the record damaged; "slot:-": the slot cleared); "pass"; "shift" (the next slot moved
// off). Then the numbers delivered, the last record consumed
// and its slot.
TEST_F(Storage, ReceivePassesDeliverEveryRecordOnceAndRepositionOnDamage) {
  const struct {
    const char* steps;
    std::vector<uint64_t> delivered;
    uint64_t last, slot;
  } cases[] = {
      // Data wrapped at the disk's end.
      {"1:1@31FFE00+700 2:2@240200+700 3:3@240600+700 4:4@240A00+700 pass pass",
       {1, 2, 3, 4},
       4,
       4},
      {"1:1@240200+8 2:3@240400+8 pass", {1, 3}, 3, 2},  // a sequence gap
      {"1:1@240200+8 2:x@240400+8 3:3@240600+8 pass pass", {1, 3}, 3, 3},
      // A record caught in writing is waited for.
      {"1:1@240200+8 2:x@240400+8 3:3@240600+8 pass 2:2@240400+8 pass", {1, 2, 3}, 3, 3},
      {"1:1@240200+8 2:2@240400+8 pass 2:- pass", {1, 2}, 1, 1},  // the last consumed cleared
      {"1:1@240200+8 2:2@240400+8 pass shift pass", {1, 2}, 2, 2},
      {"1:1@240200+30 2:2@240400+4194305 3:3@640600+50 pass pass pass", {1, 3}, 3, 3},  // oversized
      // Records that contradict each other.
      {"1:1@240200+512 2:2@340200+100 3:3@240600+100 4:4@1000+100 pass pass pass", {1, 3}, 4, 4},
      {"1:1@240200+70000 2:2@251400+40 pass", {2}, 2, 2},    // longer than a buffer: skipped
      {"1:1@240210+700 2:2@240610+500 pass", {1, 2}, 2, 2},  // data off a block boundary
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps);
    std::fill(m_disk.Data(), m_disk.Data() + m_disk.Size(), 0);
    Open();
    std::vector<Bytes> got;
    std::map<uint64_t, Bytes> sent;  // the data written under each number
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      VolumeRunInfo info = m_host.Mailbox().RunInfo(1);
      info.summary_addr += step == "shift" ? 0x1000 : 0;
      m_host.Mailbox().SetRunInfo(1, info);
      unsigned slot = 0, start = 0, len = 0;
      char seq[8] = {};
      if (step == "pass") {
        ASSERT_EQ(m_host.Mailbox().ReadMsg(m_plan.deliver), 0);
        for (const DeliveredMessages::Message& m : m_delivered.Take(100)) got.push_back(m.payload);
      } else if (step != "shift") {
        ASSERT_GE(std::sscanf(step.c_str(), "%u:%7[^@]@%x+%u", &slot, seq, &start, &len), 2);
        const bool damaged = seq[0] == 'x', cleared = seq[0] == '-';
        const uint64_t n = damaged || cleared ? slot : std::stoull(seq);
        const Bytes data = Payload(std::min(len, 0x100000u), damaged ? ~1u : uint32_t(n));
        const size_t first = std::min<size_t>(data.size(), kStorageDeviceSize - start);
        if (start >= kData1)
          Poke(start, {data.begin(), data.begin() + first}),
              Poke(kData1, {data.begin() + first, data.end()});
        Bytes record = cleared ? Bytes(32) : RecordBytes(n, start, len, 6);
        if (damaged) record[20] ^= 0x40;
        Poke(kSummary1 + slot * 32, record);
        if (!damaged && !cleared) sent[n] = data;
      }
    }
    ASSERT_EQ(got.size(), c.delivered.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], sent[c.delivered[i]]) << i;
    const VolumeRunInfo info = m_host.Mailbox().RunInfo(1);
    EXPECT_TRUE(info.last_seq_no == c.last && info.seq_no == c.last + 1);
    EXPECT_EQ(info.last_summary_addr, kSummary1 + c.slot * 32);
    EXPECT_EQ(info.summary_addr, kSummary1 + (c.slot + 1) * 32);
  }
}

// Failures are reported outside the locks: a report function that calls back (as an application
// may) returns.
TEST_F(Storage, FailuresAreReportedOutsideTheLocksSoTheReportFunctionMayCallBack) {
  Open();
  m_on_report = [&](unsigned) {  // the first report dumps and sends
    if (m_reports.size() == 1) m_host.PrintVolumeRunInfo(), m_host.SendOrder(6, Bytes(8).data(), 8);
  };
  // Off a block boundary: a long write crosses the block's end.
  m_host.Mailbox().SetRunInfo(0, {0x20, kData0 + 0x10, 1});
  const std::function<int()> calls[] = {[&] { return m_host.SendOrder(6, Bytes(600).data(), 600); },
                                        [&] { return m_host.Mailbox().ReadMsg(m_plan.deliver); },
                                        [&] { return m_host.Mailbox().RepositionVolume(1); }};
  for (const auto& call : calls) {
    m_disk.FailReads(&call != calls);  // the disk gone
    std::atomic<int> result{1};
    std::thread caller([&] { m_reports.clear(), result = call(); });
    const bool returned = WaitUntil([&] { return result != 1; }, seconds(10));
    EXPECT_TRUE(returned && result == -1 && m_reports.at(0).first == HostCommStatusStorageCommError)
        << &call - calls;
    returned ? caller.join() : std::_Exit(1);  // a caller hung in its report cannot be joined
  }
}

// A device's burst (SendMany) leaves the disk exactly as one Send per message would, across the
// ends of both the summary ring (4096 slots, run round twice) and the data ring.
TEST_F(Storage, ABurstWritesWhatOneSendEachWrites) {
  std::vector<Bytes> messages;
  for (uint32_t i = 0; i < 9000; ++i) messages.push_back(Payload(1 + i % 700, i));
  for (uint32_t i = 0; i < 50; ++i)
    messages.push_back(Payload(0x100000 - i, i));  // the last block half full
  MemoryBlockDevice burst_disk(kStorageDeviceSize);
  SimStorageDevice one(m_disk), burst(burst_disk);
  ASSERT_EQ(one.Open() + burst.Open(), 0);
  std::vector<SimStorageDevice::Message> run;
  for (size_t i = 0; i < messages.size(); ++i) {
    ASSERT_EQ(one.Send(6, messages[i].data(), static_cast<uint32_t>(messages[i].size())), 0);
    run.push_back({messages[i].data(), static_cast<uint32_t>(messages[i].size())});
    if (run.size() == 1 + i % 97 || i + 1 == messages.size()) {  // bursts of varying size
      ASSERT_EQ(burst.SendMany(6, run.data(), static_cast<uint32_t>(run.size())), 0);
      run.clear();
    }
  }
  one.Stop(), burst.Stop();
  EXPECT_EQ(std::memcmp(m_disk.Data(), burst_disk.Data(), kStorageDeviceSize), 0);
  EXPECT_EQ(one.NextSendSeqNo(), burst.NextSendSeqNo());
}

// Two writers: the host sends 5000 messages while the device's storage half echoes each (type +
// 100); both summary rings and the host's data ring wrap. No flow control: a sender stays well
// within a ring of its reader.
TEST_F(Storage, ExchangeFiveThousandMessagesEachWayConcurrently) {
  constexpr uint32_t kCount = 5000;
  auto message = [](uint32_t i) { return Payload(4 + i % 300, i); };
  std::atomic<uint32_t> at_device{0}, errors{0};
  SimStorageDevice device(m_disk);
  ASSERT_EQ(device.Open(), 0);
  ASSERT_EQ(m_host.StartLoopRecv(m_plan), 0);
  const auto echo = [&](uint16_t type, const uint8_t* data, uint32_t len) {
    const uint32_t i = at_device++;
    errors += device.Send(type + 100, data, len) != 0 || type != 1 + i % 9 ||
              Bytes(data, data + len) != message(i);
  };
  ASSERT_EQ(device.Start(echo), 0);
  const auto deadline = steady_clock::now() + seconds(60);
  uint32_t sent = 0, at_host = 0;
  while (at_host < kCount && steady_clock::now() < deadline) {
    for (; sent < kCount && sent < at_host + 1500; ++sent)
      errors += m_host.SendOrder(1 + sent % 9, message(sent).data(), 4 + sent % 300) != 0;
    for (const DeliveredMessages::Message& m : m_delivered.Take(1, 50))
      errors += m.type != 101 + at_host % 9 || m.payload != message(at_host), ++at_host;
  }
  std::this_thread::sleep_for(milliseconds(30));  // nothing trails behind the last message
  EXPECT_TRUE(at_device == kCount && at_host == kCount && errors == 0)
      << at_device << " " << at_host << " " << errors;
  EXPECT_TRUE(m_delivered.Take(1).empty() && device.Resyncs() == 0);
}

}  // namespace
