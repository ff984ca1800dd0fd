// The storage transport on sparse images, one step at a time: block I/O, discovery, the dump file, record
// layout, writes, repositioning, receive passes and failure reports; then both sides' workers exchanging at full speed.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "ServiceFixture.h"
#include "common/Clock.h"
#include "transport/storage/HostCommViaStorage.h"

using namespace std::chrono;
using Bytes = std::vector<uint8_t>;
using Reported = std::vector<std::pair<unsigned, std::string>>;

namespace {

constexpr uint32_t kData0 = 0x40000, kSummary1 = 0x20000, kData1 = 0x240000;  // type 0's data end at kData1
constexpr uint32_t kPass = ~0u, kShift = ~1u, kHold = ~2u;  // receive steps other than a record
constexpr uint64_t kDamaged = ~1ull;                         // a record step: the slot's number, failing its check
uint64_t g_now_ms = 0;

Bytes Payload(uint32_t index, uint32_t len) {
  Bytes v(len);
  for (uint32_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(index * 31 + i);
  return v;
}
std::string FileText(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A transport on a fresh image "disk.img" and its status reports (a running worker reports only failures).
class Storage : public ::testing::Test {
 protected:
  void SetUp() override { m_host.SetCandidatePaths({m_path}); }
  void TearDown() override { kestal::SetWallClockMs(nullptr); }
  void Open() {
    ASSERT_EQ(m_host.OpenStorageDevice(), 0);
    ASSERT_EQ(m_host.RepositionVolume(0) + m_host.RepositionVolume(1), 0);
  }

  const std::string m_path = MakeImage("disk.img");
  Reported m_reports;
  std::function<void(unsigned)> m_on_report = [](unsigned) {};  // called on each report
  HostCommViaStorage m_host{[this](unsigned s, const char* text) { m_reports.emplace_back(s, text), m_on_report(s); }};
};

TEST_F(Storage, BlockWritesKeepOrClearExactlyTheRightBytes) {
  ASSERT_EQ(m_host.OpenStorageDevice(), 0);
  // Inside a block (read, modify, write back); crossing its end (refused); at a boundary (the rest of
  // the block cleared); long (whole blocks, the last one zero-padded); zero length.
  const struct { uint32_t addr, len; int result; } writes[] = {
      {0x20, 32, 0}, {0x1F0, 32, -1}, {0x200, 32, 0}, {0x400, 1300, 0}, {0x600, 0, 0}, {0x610, 0, 0}};
  for (const auto& w : writes) {
    SCOPED_TRACE(w.addr);
    Bytes want = Payload(99, 0x1000);
    ASSERT_TRUE(Poke(m_path, 0, want));
    const Bytes data = Payload(w.addr, w.len + 1);
    EXPECT_EQ(m_host.WriteStorageDevice(w.addr, data.data(), w.len), w.result);
    if (w.result == 0) std::copy(data.begin(), data.begin() + w.len, want.begin() + w.addr);
    if (w.result == 0 && w.addr % 512 == 0)
      std::fill(want.begin() + w.addr + w.len, want.begin() + RoundUpToBlock(w.addr + w.len), 0);
    EXPECT_EQ(Peek(m_path, 0, 0x1000), want);
    const Reported cross = {{HostCommStatusStorageCommError, "Storage write address is not from block address"}};
    EXPECT_EQ(std::exchange(m_reports, {}), w.result ? cross : Reported{});
  }
}

TEST_F(Storage, DiscoveryOpensTheFirstOfSixteenCandidatesOfExactlyTheDeviceSize) {
  const uint64_t size = kStorageDeviceSize;
  const struct { std::vector<uint64_t> sizes; int opened; } cases[] = {  // size 0: no such file
      {{size - 1, size + 1}, -1}, {[&] { std::vector<uint64_t> v(16, 4096); v.push_back(size); return v; }(), -1},
      {{0, size - 1, size + 1, 0, 3ull << 30, size, size}, 5}};  // a 17th candidate is not tried
  for (const auto& c : cases) {
    std::vector<std::string> paths;
    for (uint64_t s : c.sizes) {
      const std::string name = "c" + std::to_string(paths.size()) + ".img";
      std::filesystem::remove(name);
      paths.push_back(s ? MakeImage(name, s) : (std::filesystem::current_path() / name).string());
    }
    m_host.SetCandidatePaths(paths);
    EXPECT_EQ(m_host.OpenStorageDevice(), c.opened < 0 ? -1 : 0);
    EXPECT_EQ(m_host.DevicePath(), c.opened < 0 ? BlockDevice::SearchPattern() : paths[c.opened]);
    const Reported failed = {{HostCommStatusStorageConnectError, "Open device error"}};
    EXPECT_EQ(std::exchange(m_reports, {}), c.opened < 0 ? failed : Reported{});
  }
}

// The real discovery: a loop device over the image, found in /sys/block and written unbuffered.
TEST_F(Storage, DiscoveryFindsALoopDeviceOfTheDeviceSize) {
#ifdef _WIN32
  GTEST_SKIP() << "loop devices are Linux's; Windows has only its numbered physical drives";
#endif
  std::string loop;
  if (FILE* p = popen(("losetup -f --show '" + m_path + "' 2>/dev/null").c_str(), "r")) {
    char line[256] = {};
    if (std::fgets(line, sizeof line, p)) loop.assign(line, std::strcspn(line, "\r\n"));
    if (pclose(p) != 0) loop.clear();
  }
  if (loop.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "no loop device could be attached (needs root)";
  struct Detach { std::string dev; ~Detach() { std::system(("losetup -d '" + dev + "'").c_str()); } } detach{loop};
  m_host.SetCandidatePaths({});
  ASSERT_EQ(m_host.OpenStorageDevice(), 0);
  ASSERT_EQ(m_host.DevicePath(), loop) << "another disk of 52428800 bytes comes first";
  const Bytes data = Payload(5, 700);
  AlignedBuffer back(1024);
  ASSERT_EQ(m_host.WriteStorageDevice(0x40000, data.data(), 700), 0);
  ASSERT_EQ(m_host.ReadStorageDevice(0x40000, back.Data(), 1024), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.Data()) && back.Data()[700] == 0);
  m_host.StopLoopRecv();
}

// Dumped twice in one second: the second file replaces the first. A length over 0xffff takes more digits.
TEST_F(Storage, DumpWritesOneCrLfLinePerSlotToAFileNamedInUtcPlus8) {
  kestal::SetWallClockMs([] { return g_now_ms; });
  g_now_ms = 1767223805999;  // 2025-12-31 23:30:05.999 UTC
  LogCapture log;
  m_host.PrintVolumeRunInfo();  // no disk open (the network link in use): its line, no report
  EXPECT_TRUE(m_reports.empty() && log.MessagesStartingWith("PrintVolumeRunInfo, type:0,").size() == 1);
  Open();
  m_host.PrintVolumeRunInfo();
  ASSERT_EQ(m_host.SendOrder(0x1234, Bytes(65536, 0x11).data(), 65536), 0);
  g_now_ms = 1767223805000;
  m_host.PrintVolumeRunInfo();
  auto slot = [](uint32_t offset, uint32_t seq, uint32_t start, uint32_t type, uint32_t len, uint32_t crc) {
    char line[128];
    std::snprintf(line, sizeof line, "0x%08x: tag[%08x], seq_no[%08x/%08x], start[%08x], msg[%08x/%04x], crc[%04x]\r\n",
                  offset, start ? 0x234973a1 : 0, seq, start ? ~seq : 0, start, type, len, crc);
    return std::string(line);
  };
  std::string zeros;  // slots 2 to 4095
  for (uint32_t offset = 64; offset < 0x20000; offset += 32) zeros += slot(offset, 0, 0, 0, 0, 0);
  EXPECT_TRUE(FileText("volume20260101_073005_0.txt") ==
              slot(0, 0, kData0, 0, 512, 0xbe) + slot(32, 1, 0x40200, 0x1234, 65536, 0x99) + zeros);
  EXPECT_TRUE(FileText("volume20260101_073005_1.txt") ==
              slot(0, 0, kData1, 0, 512, 0x9e) + slot(32, 0, 0, 0, 0, 0) + zeros);
}

// Each write: its record in its slot (the block's other slots kept, or cleared behind one at a block's start),
// its data (going on at the area's start), the positions moved on; the last rows first reposition on a summary
// area written by hand, numbers 4096 on in the slots up to `newest`.
TEST_F(Storage, WritesAdvanceSlotAndDataAddressAndRepositionFindsTheNewestRecord) {
  ASSERT_EQ(m_host.StartLoopRecv(), 0);
  EXPECT_EQ(m_reports, (Reported{{HostCommStatusStorageConnected, ""}}));
  // Type 0's init record: tag, number, its complement, data start, length, type, XOR of the bytes before.
  const Bytes init = {0xA1, 0x73, 0x49, 0x23, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                      0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 4, 0, 0, 2, 0, 0, 0, 0, 0xBE, 0};
  EXPECT_TRUE(Peek(m_path, 0, 32) == init && Peek(m_path, kSummary1, 32) == RecordBytes(0, kData1, 512, 0));
  for (uint32_t i = 0; i < 64; ++i) {  // each byte changed, then bytes 0-29 with the check fixed up, then none
    Bytes changed = init;
    changed[i % 32] ^= i < 62 ? 0x10 : 0;
    changed[30] ^= i >= 32 && i < 62 ? 0x10 : 0;
    EXPECT_EQ(SummaryRecord::IsValid(changed.data()), i >= 52) << "case " << i;  // 52-61: start, length, type
  }
  ASSERT_TRUE(Poke(m_path, kData1, Bytes(512, 0x5A)));  // type 1's first block
  struct Write { uint32_t slot, data, len, next_slot, next_data, valid = 0, newest = 0, start = 0, newest_len = 0; };
  const Write writes[] = {
      {0x20, 0x40200, 12, 0x40, 0x40400}, {0x40, kData0, 512, 0x60, 0x40200}, {0x60, kData0, 513, 0x80, 0x40400},
      {0x1FFE0, 0x23FE00, 1000, 0, 0x40200},  // the last slot; data past the area's end go on at its start
      {0, kData0, 65536, 0x20, 0x50000},      // the first slot; the largest message
      {0x20, kData0, 65537, 0x20, kData0},    // one byte more: refused
      {0x140, 0x41400, 64, 0x160, 0x41600, 4096, 9, 0x41200, 100},  // the ring wrapped once
      {0, kData1, 64, 0x20, 0x40200, 4096, 4095, 0x23FE00, 512},     // every slot valid, data to the area's end
      {0x20, 0x40200, 64, 0x40, 0x40400, 1, 0, 0x23FE00, 1000},      // the newest data wrapped: their tail stays
  };
  for (const auto& w : writes) {
    SCOPED_TRACE(&w - writes);
    Bytes area(0x20000);
    for (uint32_t slot = 0; slot < w.valid; ++slot) {
      const Bytes r = RecordBytes(slot + (slot <= w.newest ? 4096 : 0), slot == w.newest ? w.start : kData0,
                                  slot == w.newest ? w.newest_len : 512, 6);
      std::copy(r.begin(), r.end(), area.begin() + slot * 32);
    }
    ASSERT_TRUE(Poke(m_path, 0x1FE00, Payload(1, 0x1E0)) && Poke(m_path, kData0, Bytes(488, 0x77)));
    ASSERT_TRUE(!w.valid || (Poke(m_path, 0, area) && m_host.RepositionVolume(0) == 0));
    VolumeRunInfo info = m_host.RunInfo(0);
    const uint64_t seq = w.valid ? 4097 + w.newest : info.seq_no;
    EXPECT_TRUE(!w.valid || (info.last_summary_addr == w.newest * 32 && info.last_seq_no == seq - 1 &&
                             info.summary_addr == w.slot && info.data_addr == w.data && info.seq_no == seq));
    m_host.SetRunInfo(0, {w.slot, w.data, seq});
    const bool ok = w.len <= 65536;
    const uint32_t block = w.slot & ~511u, first = ok ? std::min(w.len, kData1 - w.data) : 0;
    const Bytes data = Payload(static_cast<uint32_t>(seq), w.len), record = RecordBytes(seq, w.data, w.len, 6);
    Bytes summary_block = Peek(m_path, block, 512);
    EXPECT_EQ(m_host.SendOrder(6, data.data(), w.len), ok ? 0 : -1);
    if (ok) std::copy(record.begin(), record.end(), summary_block.begin() + (w.slot - block));
    if (ok && w.slot == block) std::fill(summary_block.begin() + 32, summary_block.end(), 0);
    EXPECT_EQ(Peek(m_path, block, 512), summary_block);
    EXPECT_EQ(Peek(m_path, w.data, first), Bytes(data.begin(), data.begin() + first));
    const Bytes tail(data.begin() + first, data.begin() + (ok ? w.len : 0));
    EXPECT_EQ(Peek(m_path, kData0, static_cast<uint32_t>(tail.size())), tail);
    EXPECT_TRUE(Peek(m_path, kData1, 512) == Bytes(512, 0x5A));
    EXPECT_TRUE(w.data == kData0 || first < w.len || Peek(m_path, kData0, 488) == Bytes(488, 0x77));
    info = m_host.RunInfo(0);
    EXPECT_TRUE(info.summary_addr == w.next_slot && info.data_addr == w.next_data && info.seq_no == seq + ok);
  }
}

// Steps: records written by hand into type 1 with their data (seq ~0: the slot cleared; kDamaged), kPass, kShift (the
// next slot moved off), kHold (buffers taken); then the numbers delivered, the last record consumed and its slot.
TEST_F(Storage, ReceivePassesDeliverEveryRecordOnceAndRepositionOnDamage) {
  struct Step { uint32_t slot; uint64_t seq = 0; uint32_t start = 0, len = 0; };
  struct Case { const char* what; std::vector<Step> steps; std::vector<uint64_t> delivered; uint64_t last, slot; };
  const Case cases[] = {
      {"data wrapped at the disk's end, and a full queue", {{1, 1, 0x31FFE00, 700}, {2, 2, 0x240200, 700},
       {3, 3, 0x240600, 700}, {4, 4, 0x240A00, 700}, {kHold}, {kPass}, {kPass}}, {1, 2, 3, 4}, 4, 4},
      {"a sequence gap", {{1, 1, 0x240200, 8}, {2, 3, 0x240400, 8}, {kPass}}, {1, 3}, 3, 2},
      {"a damaged record between intact ones", {{1, 1, 0x240200, 8}, {2, kDamaged, 0x240400, 8},
       {3, 3, 0x240600, 8}, {kPass}, {kPass}}, {1, 3}, 3, 3},
      {"a record caught in writing is waited for", {{1, 1, 0x240200, 8}, {2, kDamaged, 0x240400, 8},
       {3, 3, 0x240600, 8}, {kPass}, {2, 2, 0x240400, 8}, {kPass}}, {1, 2, 3}, 3, 3},
      {"the last record consumed cleared", {{1, 1, 0x240200, 8}, {2, 2, 0x240400, 8}, {kPass}, {2, ~0ull}, {kPass}},
       {1, 2}, 1, 1},
      {"a stray next slot", {{1, 1, 0x240200, 8}, {2, 2, 0x240400, 8}, {kPass}, {kShift}, {kPass}}, {1, 2}, 2, 2},
      {"an oversized record skipped", {{1, 1, 0x240200, 30}, {2, 2, 0x240400, 0x400001}, {3, 3, 0x640600, 50},
       {kPass}, {kPass}, {kPass}}, {1, 3}, 3, 3},
      {"records that contradict each other", {{1, 1, 0x240200, 512}, {2, 2, 0x340200, 100}, {3, 3, 0x240600, 100},
       {4, 4, 0x1000, 100}, {kPass}, {kPass}, {kPass}}, {1, 3}, 4, 4},
      {"a message longer than a buffer, skipped", {{1, 1, 0x240200, 70000}, {2, 2, 0x251400, 40}, {kPass}}, {2}, 2, 2},
      {"data off a block boundary", {{1, 1, 0x240210, 700}, {2, 2, 0x240610, 500}, {kPass}}, {1, 2}, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeImage("disk.img");
    Open();
    std::vector<WorkFlowBuffer*> held;
    std::vector<Bytes> got;
    for (const Step& s : c.steps) {
      VolumeRunInfo info = m_host.RunInfo(1);
      info.summary_addr += s.slot == kShift ? 0x1000 : 0;
      m_host.SetRunInfo(1, info);
      if (s.slot == kPass) {
        ASSERT_EQ(m_host.ReadMsg(), 0);
        for (WorkFlowBuffer* b; (b = m_host.m_recv_msg_queue.GetFull(-1)); m_host.m_recv_msg_queue.PutFree(b))
          got.emplace_back(b->data, b->data + b->bytes_used);
        for (WorkFlowBuffer* b : std::exchange(held, {})) m_host.m_recv_msg_queue.PutFree(b);
      } else if (s.slot == kHold) {  // all buffers but one
        while (held.size() + 1 < HostCommViaStorage::kRecvQueueBuffers)
          held.push_back(m_host.m_recv_msg_queue.GetFree(-1));
      } else if (s.slot != kShift) {
        const Bytes data = Payload(static_cast<uint32_t>(s.seq), std::min(s.len, 0x100000u));
        const size_t first = std::min<size_t>(data.size(), kStorageDeviceSize - s.start);
        ASSERT_TRUE(s.start < kData1 || (Poke(m_path, s.start, {data.begin(), data.begin() + first}) &&
                                         Poke(m_path, kData1, {data.begin() + first, data.end()})));
        Bytes record = s.seq == ~0ull ? Bytes(32) : RecordBytes(s.seq == kDamaged ? s.slot : s.seq, s.start, s.len, 6);
        if (s.seq == kDamaged) record[20] ^= 0x40;
        ASSERT_TRUE(Poke(m_path, kSummary1 + s.slot * 32, record));
      }
    }
    ASSERT_EQ(got.size(), c.delivered.size());
    for (size_t i = 0; i < got.size(); ++i)
      for (const Step& s : c.steps)  // the bytes of the record with that number
        EXPECT_TRUE(s.seq != c.delivered[i] || got[i] == Payload(static_cast<uint32_t>(s.seq), s.len)) << s.seq;
    const VolumeRunInfo info = m_host.RunInfo(1);
    EXPECT_TRUE(info.last_seq_no == c.last && info.seq_no == c.last + 1);
    EXPECT_EQ(info.last_summary_addr, kSummary1 + c.slot * 32);
    EXPECT_EQ(info.summary_addr, kSummary1 + (c.slot + 1) * 32);
  }
}

// Failures are reported outside the locks: a report function that calls back (as an application may) returns.
TEST_F(Storage, FailuresAreReportedOutsideTheLocksSoTheReportFunctionMayCallBack) {
  Open();
  m_on_report = [&](unsigned) {  // the first report dumps and sends
    if (m_reports.size() == 1) m_host.PrintVolumeRunInfo(), m_host.SendOrder(6, Bytes(8).data(), 8);
  };
  m_host.SetRunInfo(0, {0x20, kData0 + 0x10, 1});  // off a block boundary: a long write crosses the block's end
  const std::function<int()> calls[] = {[&] { return m_host.SendOrder(6, Bytes(600).data(), 600); },
                                        [&] { return m_host.ReadMsg(); }, [&] { return m_host.RepositionVolume(1); }};
  for (const auto& call : calls) {
    if (&call != calls) std::filesystem::resize_file(m_path, kSummary1);  // type 1's areas gone
    std::atomic<int> result{1};
    std::thread caller([&] { m_reports.clear(), result = call(); });
    const bool returned = WaitUntil([&] { return result != 1; }, seconds(10));
    EXPECT_TRUE(returned && result == -1 && m_reports.at(0).first == HostCommStatusStorageCommError) << &call - calls;
    returned ? caller.join() : std::_Exit(1);  // a caller hung in its report cannot be joined
  }
}

// A device's burst (SendMany) leaves the disk exactly as one Send per message would, across the
// ends of both the summary ring (4096 slots, run round twice) and the data ring.
TEST_F(Storage, ABurstWritesWhatOneSendEachWrites) {
  std::vector<Bytes> messages;
  for (uint32_t i = 0; i < 9000; ++i) messages.push_back(Payload(i, 1 + i % 700));
  for (uint32_t i = 0; i < 50; ++i) messages.push_back(Payload(i, 0x100000 - i));  // the last block half full
  const std::string burst_path = MakeImage("burst.img");
  SimStorageDevice one(m_path), burst(burst_path);
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
  EXPECT_TRUE(FileText(m_path) == FileText(burst_path));
  EXPECT_EQ(one.NextSendSeqNo(), burst.NextSendSeqNo());
}

// Two writers: the host sends 5000 messages while the device's storage half echoes each (type + 100); both
// summary rings and the host's data ring wrap. No flow control: a sender stays well within a ring of its reader.
TEST_F(Storage, ExchangeFiveThousandMessagesEachWayConcurrently) {
  constexpr uint32_t kCount = 5000;
  auto message = [](uint32_t i) { return Payload(i, 4 + i % 300); };
  std::atomic<uint32_t> at_device{0}, errors{0};
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  ASSERT_EQ(m_host.StartLoopRecv(), 0);
  ASSERT_EQ(device.Start([&](uint16_t type, const uint8_t* data, uint32_t len) {
    const uint32_t i = at_device++;
    errors += device.Send(type + 100, data, len) != 0 || type != 1 + i % 9 || Bytes(data, data + len) != message(i);
  }), 0);
  const auto deadline = steady_clock::now() + seconds(60);
  uint32_t sent = 0, at_host = 0;
  while (at_host < kCount && steady_clock::now() < deadline) {
    for (; sent < kCount && sent < at_host + 1500; ++sent)
      errors += m_host.SendOrder(1 + sent % 9, message(sent).data(), 4 + sent % 300) != 0;
    if (WorkFlowBuffer* b = m_host.m_recv_msg_queue.GetFull(50)) {
      errors += b->msg_type != 101 + at_host % 9 || Bytes(b->data, b->data + b->bytes_used) != message(at_host);
      ++at_host, m_host.m_recv_msg_queue.PutFree(b);
    }
  }
  std::this_thread::sleep_for(milliseconds(30));  // nothing trails behind the last message
  EXPECT_TRUE(at_device == kCount && at_host == kCount && errors == 0) << at_device << " " << at_host << " " << errors;
  EXPECT_TRUE(m_host.m_recv_msg_queue.GetFull(-1) == nullptr && device.Resyncs() == 0);
}

}  // namespace
