// The mailbox volume: record layout, message writes into the host-to-device rings, receive
// passes over the device-to-host rings and repositioning, driven one step at a time on a
// sparse image. Device-side messages come from the simulator's storage half or are written
// as raw bytes.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "devsim/SimStorageDevice.h"
#include "StorageTestImage.h"
#include "transport/storage/HostCommViaStorage.h"

using namespace storage_test;

namespace {

constexpr uint32_t kSummary0 = 0x000000;
constexpr uint32_t kSummary1 = 0x020000;
constexpr uint32_t kData0 = 0x040000;
constexpr uint32_t kData1 = 0x240000;

struct Msg {
  uint16_t type;
  std::vector<uint8_t> data;
  uint32_t bytes_used;
};

std::vector<uint8_t> Payload(uint32_t index, uint32_t len) {
  std::vector<uint8_t> v(len);
  for (uint32_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(index * 31 + i);
  if (len >= 4) std::memcpy(v.data(), &index, 4);
  return v;
}

// Takes every message queued so far.
std::vector<Msg> Drain(HostCommViaStorage& host) {
  std::vector<Msg> out;
  while (WorkFlowBuffer* b = host.m_recv_msg_queue.GetFull(-1)) {
    const uint32_t n = b->bytes_used < 65536 ? b->bytes_used : 65536;
    out.push_back({static_cast<uint16_t>(b->msg_type), std::vector<uint8_t>(b->data, b->data + n), b->bytes_used});
    host.m_recv_msg_queue.PutFree(b);
  }
  return out;
}

class StorageMailbox : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = MakeImage("disk.img");
    ASSERT_FALSE(m_path.empty());
    m_host.SetCandidatePaths({m_path});
  }

  // The host's side as StartLoopRecv sets it up, without the receive worker.
  void OpenHost() {
    ASSERT_EQ(m_host.OpenStorageDevice(), 0);
    ASSERT_EQ(m_host.RepositionVolume(0), 0);
    ASSERT_EQ(m_host.RepositionVolume(1), 0);
  }

  std::vector<uint8_t> Slot(uint32_t summary_start, uint32_t slot) {
    return Peek(m_path, summary_start + slot * 32, 32);
  }

  std::string m_path;
  HostCommViaStorage m_host;
};

TEST(StorageSummaryRecord, LayoutAndEveryByteChecked) {
  const std::vector<uint8_t> r = RecordBytes(5, 0x40000, 100, 7);
  const std::vector<uint8_t> expected_head = {0xA1, 0x73, 0x49, 0x23, 5, 0, 0, 0, 0, 0, 0, 0,
                                              0xFA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0x00, 0x00, 0x04, 0x00, 100, 0, 0, 0, 7, 0};
  EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 30), expected_head);
  uint8_t x = 0;
  for (int i = 0; i < 30; ++i) x ^= r[i];
  EXPECT_EQ(r[30], x);
  EXPECT_EQ(r[31], 0);
  ASSERT_TRUE(SummaryRecord::IsValid(r.data()));
  const SummaryRecord d = SummaryRecord::Decode(r.data());
  EXPECT_EQ(d.seq_no, 5u);
  EXPECT_EQ(d.start, 0x40000u);
  EXPECT_EQ(d.data_len, 100u);
  EXPECT_EQ(d.msg_type, 7);
  for (int i = 0; i < 32; ++i) {
    std::vector<uint8_t> bad = r;
    bad[i] ^= 0x10;
    EXPECT_FALSE(SummaryRecord::IsValid(bad.data())) << "byte " << i;
  }
  const uint8_t zeros[32] = {};
  EXPECT_FALSE(SummaryRecord::IsValid(zeros));
}

TEST_F(StorageMailbox, FreshDiskGetsInitRecordsAndTheFirstOrderGoesToTheSecondSlot) {
  ASSERT_EQ(m_host.StartLoopRecv(), 0);
  EXPECT_EQ(Slot(kSummary0, 0), RecordBytes(0, kData0, 512, 0));
  EXPECT_EQ(Slot(kSummary1, 0), RecordBytes(0, kData1, 512, 0));
  const std::vector<uint8_t> order = Payload(1, 12);
  ASSERT_EQ(m_host.SendOrder(6, order.data(), 12), 0);
  EXPECT_EQ(Slot(kSummary0, 1), RecordBytes(1, 0x40200, 12, 6));
  std::vector<uint8_t> block(512, 0);
  std::copy(order.begin(), order.end(), block.begin());
  EXPECT_EQ(Peek(m_path, 0x40200, 512), block);
  EXPECT_EQ(Peek(m_path, kData0, 512), std::vector<uint8_t>(512, 0));
  const VolumeRunInfo t0 = m_host.RunInfo(0);
  EXPECT_EQ(t0.summary_addr, 0x40u);
  EXPECT_EQ(t0.seq_no, 2u);
  EXPECT_EQ(t0.data_addr, 0x40400u);
  const VolumeRunInfo t1 = m_host.RunInfo(1);
  EXPECT_EQ(t1.last_summary_addr, kSummary1);
  EXPECT_EQ(t1.summary_addr, kSummary1 + 0x20);
  EXPECT_EQ(t1.seq_no, 1u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m_host.StopLoopRecv(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(390));
}

TEST_F(StorageMailbox, DataAddressRisesToTheNextBlock) {
  OpenHost();
  for (const auto& [len, next] : std::vector<std::pair<uint32_t, uint32_t>>{{100, 0x40200}, {512, 0x40200}, {513, 0x40400}}) {
    VolumeRunInfo info = m_host.RunInfo(0);
    info.data_addr = kData0;
    m_host.SetRunInfo(0, info);
    const std::vector<uint8_t> data = Payload(len, len);
    ASSERT_EQ(m_host.SendOrder(6, data.data(), len), 0);
    EXPECT_EQ(m_host.RunInfo(0).data_addr, next) << len;
  }
}

TEST_F(StorageMailbox, DataWrapAtTheAreaEndContinuesAtItsStart) {
  OpenHost();
  const std::vector<uint8_t> next_area = Peek(m_path, kData1, 512);
  VolumeRunInfo info = m_host.RunInfo(0);
  info.data_addr = 0x23FE00;
  m_host.SetRunInfo(0, info);
  const std::vector<uint8_t> data = Payload(9, 1000);
  ASSERT_EQ(m_host.SendOrder(8, data.data(), 1000), 0);
  EXPECT_EQ(Peek(m_path, 0x23FE00, 512), std::vector<uint8_t>(data.begin(), data.begin() + 512));
  std::vector<uint8_t> tail(512, 0);
  std::copy(data.begin() + 512, data.end(), tail.begin());
  EXPECT_EQ(Peek(m_path, kData0, 512), tail);
  EXPECT_EQ(Slot(kSummary0, 1), RecordBytes(1, 0x23FE00, 1000, 8));
  EXPECT_EQ(m_host.RunInfo(0).data_addr, 0x40200u);
  EXPECT_EQ(Peek(m_path, kData1, 512), next_area);

  // A write that starts exactly at the end: an empty first piece, nothing of the next area.
  ASSERT_TRUE(Poke(m_path, kData1, std::vector<uint8_t>(512, 0x5A)));
  info = m_host.RunInfo(0);
  info.data_addr = 0x240000;
  m_host.SetRunInfo(0, info);
  ASSERT_EQ(m_host.SendOrder(8, data.data(), 100), 0);
  EXPECT_EQ(Peek(m_path, kData1, 512), std::vector<uint8_t>(512, 0x5A));
  EXPECT_EQ(Peek(m_path, kData0, 100), std::vector<uint8_t>(data.begin(), data.begin() + 100));
  EXPECT_EQ(Slot(kSummary0, 2), RecordBytes(2, 0x240000, 100, 8));
  EXPECT_EQ(m_host.RunInfo(0).data_addr, 0x40200u);
}

TEST_F(StorageMailbox, SummarySlotAfterTheLastIsTheFirst) {
  OpenHost();
  VolumeRunInfo info = m_host.RunInfo(0);
  info.summary_addr = 0x1FFE0;
  m_host.SetRunInfo(0, info);
  const std::vector<uint8_t> before = Peek(m_path, 0x1FE00, 0x1E0);
  const std::vector<uint8_t> a = Payload(1, 20);
  ASSERT_EQ(m_host.SendOrder(6, a.data(), 20), 0);
  EXPECT_EQ(Slot(kSummary0, 4095), RecordBytes(1, 0x40200, 20, 6));
  EXPECT_EQ(Peek(m_path, 0x1FE00, 0x1E0), before);  // read-modify-write kept the block's other slots
  EXPECT_EQ(m_host.RunInfo(0).summary_addr, kSummary0);
  ASSERT_EQ(m_host.SendOrder(6, a.data(), 20), 0);
  EXPECT_EQ(Slot(kSummary0, 0), RecordBytes(2, 0x40400, 20, 6));
  EXPECT_EQ(m_host.RunInfo(0).summary_addr, 0x20u);
}

TEST_F(StorageMailbox, RepositionAfterTheRingWrappedOnce) {
  std::vector<uint8_t> area;
  for (uint32_t slot = 0; slot < 4096; ++slot) {
    const uint64_t seq = slot < 10 ? 4096 + slot : slot;
    const std::vector<uint8_t> r = RecordBytes(seq, kData1 + (static_cast<uint32_t>(seq) % 1000) * 512, 100, 3);
    area.insert(area.end(), r.begin(), r.end());
  }
  ASSERT_TRUE(Poke(m_path, kSummary1, area));
  OpenHost();
  const VolumeRunInfo info = m_host.RunInfo(1);
  EXPECT_EQ(info.last_summary_addr, kSummary1 + 9 * 32);
  EXPECT_EQ(info.last_seq_no, 4105u);
  EXPECT_EQ(info.summary_addr, kSummary1 + 10 * 32);
  EXPECT_EQ(info.seq_no, 4106u);

  // The device's next message, number 4106 in slot 10, is the next one delivered.
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  EXPECT_EQ(device.NextSendSeqNo(), 4106u);
  const std::vector<uint8_t> data = Payload(4106, 40);
  ASSERT_EQ(device.Send(5, data.data(), 40), 0);
  ASSERT_EQ(m_host.ReadMsg(), 0);
  const std::vector<Msg> got = Drain(m_host);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, 5);
  EXPECT_EQ(got[0].data, data);
}

TEST_F(StorageMailbox, RepositionWithEverySlotValidWrapsToTheFirstSlot) {
  std::vector<uint8_t> area;
  for (uint32_t slot = 0; slot < 4096; ++slot) {
    const std::vector<uint8_t> r = RecordBytes(slot, kData0 + slot * 512, 512, 6);
    area.insert(area.end(), r.begin(), r.end());
  }
  ASSERT_TRUE(Poke(m_path, kSummary0, area));
  OpenHost();
  const VolumeRunInfo info = m_host.RunInfo(0);
  EXPECT_EQ(info.last_summary_addr, kSummary0 + 4095 * 32);
  EXPECT_EQ(info.last_seq_no, 4095u);
  EXPECT_EQ(info.summary_addr, kSummary0);
  EXPECT_EQ(info.seq_no, 4096u);
  // Record 4095's data end exactly at the area's end: the next data follow at its start.
  EXPECT_EQ(info.data_addr, 0x240000u);
  const std::vector<uint8_t> data = Payload(1, 10);
  ASSERT_EQ(m_host.SendOrder(6, data.data(), 10), 0);
  EXPECT_EQ(Slot(kSummary0, 0), RecordBytes(4096, 0x240000, 10, 6));
  EXPECT_EQ(Peek(m_path, kData0, 10), data);
}

TEST_F(StorageMailbox, RepositionAfterAWrappedMessageDoesNotOverwriteItsTail) {
  // Newest record of type 0: 1000 bytes from 512 before the area's end, so its last 488 bytes
  // stand at the area's start.
  ASSERT_TRUE(Poke(m_path, kSummary0, RecordBytes(0, 0x23FE00, 1000, 6)));
  ASSERT_TRUE(Poke(m_path, kData0, std::vector<uint8_t>(488, 0x77)));
  OpenHost();
  EXPECT_EQ(m_host.RunInfo(0).data_addr, 0x40200u);
  const std::vector<uint8_t> data = Payload(2, 64);
  ASSERT_EQ(m_host.SendOrder(6, data.data(), 64), 0);
  EXPECT_EQ(Peek(m_path, kData0, 488), std::vector<uint8_t>(488, 0x77));
}

TEST_F(StorageMailbox, SeventyRecordsArriveOverTwoPasses) {
  OpenHost();
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  // 15 first, so that the last consumed record is the block's last slot and the next pass
  // looks at the 48 slots behind that block.
  for (uint32_t i = 1; i <= 15; ++i) {
    const std::vector<uint8_t> d = Payload(i, 16);
    ASSERT_EQ(device.Send(6, d.data(), 16), 0);
  }
  ASSERT_EQ(m_host.ReadMsg(), 0);
  ASSERT_EQ(Drain(m_host).size(), 15u);
  for (uint32_t i = 16; i < 86; ++i) {
    const std::vector<uint8_t> d = Payload(i, 16 + i);
    ASSERT_EQ(device.Send(static_cast<uint16_t>(i % 9 + 1), d.data(), 16 + i), 0);
  }
  ASSERT_EQ(m_host.ReadMsg(), 0);
  std::vector<Msg> first = Drain(m_host);
  EXPECT_EQ(first.size(), 48u);
  ASSERT_EQ(m_host.ReadMsg(), 0);
  std::vector<Msg> second = Drain(m_host);
  EXPECT_EQ(second.size(), 22u);
  first.insert(first.end(), second.begin(), second.end());
  ASSERT_EQ(first.size(), 70u);
  for (uint32_t i = 16; i < 86; ++i) {
    EXPECT_EQ(first[i - 16].type, i % 9 + 1);
    EXPECT_EQ(first[i - 16].data, Payload(i, 16 + i));
  }
  ASSERT_EQ(m_host.ReadMsg(), 0);
  EXPECT_TRUE(Drain(m_host).empty());
  EXPECT_EQ(m_host.RunInfo(1).last_seq_no, 85u);
}

TEST_F(StorageMailbox, FullReceiveQueueLosesAndRepeatsNothing) {
  LogCapture log;
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  ASSERT_EQ(m_host.StartLoopRecv(), 0);
  constexpr uint32_t kCount = 300;
  for (uint32_t i = 1; i <= kCount; ++i) {
    const std::vector<uint8_t> d = Payload(i, 24);
    ASSERT_EQ(device.Send(7, d.data(), 24), 0);
  }
  // Nobody takes messages for a while: the queue's 128 buffers fill and the worker waits.
  ASSERT_TRUE(log.WaitFor("Check recv msg queue full, seq_no:129/129/128", std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  std::vector<Msg> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < kCount && std::chrono::steady_clock::now() < deadline) {
    if (WorkFlowBuffer* b = m_host.m_recv_msg_queue.GetFull(50)) {
      got.push_back({static_cast<uint16_t>(b->msg_type), std::vector<uint8_t>(b->data, b->data + b->bytes_used),
                     b->bytes_used});
      m_host.m_recv_msg_queue.PutFree(b);
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  m_host.StopLoopRecv();
  EXPECT_TRUE(Drain(m_host).empty());  // nothing delivered twice
  ASSERT_EQ(got.size(), kCount);
  for (uint32_t i = 1; i <= kCount; ++i) EXPECT_EQ(got[i - 1].data, Payload(i, 24)) << i;
}

TEST_F(StorageMailbox, SequenceGapRepositions) {
  OpenHost();
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  const std::vector<uint8_t> d = Payload(1, 8);
  ASSERT_EQ(device.Send(6, d.data(), 8), 0);
  ASSERT_EQ(m_host.ReadMsg(), 0);
  ASSERT_EQ(Drain(m_host).size(), 1u);
  // Slot 2 holds number 3 where 2 is expected.
  ASSERT_TRUE(Poke(m_path, kData1 + 0x400, d));
  ASSERT_TRUE(Poke(m_path, kSummary1 + 2 * 32, RecordBytes(3, kData1 + 0x400, 8, 6)));
  LogCapture log;
  ASSERT_EQ(m_host.ReadMsg(), 0);
  EXPECT_TRUE(Drain(m_host).empty());
  EXPECT_EQ(log.Count("Check summary seq Number:3/2 Error"), 1);
  const VolumeRunInfo info = m_host.RunInfo(1);
  EXPECT_EQ(info.last_summary_addr, kSummary1 + 2 * 32);
  EXPECT_EQ(info.last_seq_no, 3u);
  EXPECT_EQ(info.seq_no, 4u);
  EXPECT_EQ(info.summary_addr, kSummary1 + 3 * 32);
}

TEST_F(StorageMailbox, ChangedLastRecordOrStrayPositionRepositions) {
  OpenHost();
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  const std::vector<uint8_t> d = Payload(1, 8);
  ASSERT_EQ(device.Send(6, d.data(), 8), 0);
  ASSERT_EQ(device.Send(6, d.data(), 8), 0);
  ASSERT_EQ(m_host.ReadMsg(), 0);
  ASSERT_EQ(Drain(m_host).size(), 2u);
  {
    LogCapture log;
    ASSERT_TRUE(Poke(m_path, kSummary1 + 2 * 32, std::vector<uint8_t>(32, 0)));
    ASSERT_EQ(m_host.ReadMsg(), 0);
    EXPECT_EQ(log.Count("Check summary summary Error"), 1);
    EXPECT_EQ(m_host.RunInfo(1).last_seq_no, 1u);  // record 1 is now the newest
  }
  {
    LogCapture log;
    VolumeRunInfo info = m_host.RunInfo(1);
    info.summary_addr = info.last_summary_addr + 0x1000;
    m_host.SetRunInfo(1, info);
    ASSERT_EQ(m_host.ReadMsg(), 0);
    EXPECT_EQ(log.MessagesStartingWith("Check summary addr:").size(), 1u);
    EXPECT_EQ(m_host.RunInfo(1).summary_addr, kSummary1 + 2 * 32);
  }
}

TEST_F(StorageMailbox, SendLimitIs65536Bytes) {
  OpenHost();
  LogCapture log;
  std::vector<uint8_t> big(65537, 0xAB);
  const VolumeRunInfo before = m_host.RunInfo(0);
  EXPECT_EQ(m_host.SendOrder(6, big.data(), 65537), -1);
  EXPECT_EQ(log.Count("Send message len:65537 to host error"), 1);
  EXPECT_EQ(m_host.RunInfo(0).seq_no, before.seq_no);
  EXPECT_EQ(Slot(kSummary0, 1), std::vector<uint8_t>(32, 0));
  EXPECT_EQ(Peek(m_path, 0x40200, 512), std::vector<uint8_t>(512, 0));

  ASSERT_EQ(m_host.SendOrder(6, big.data(), 65536), 0);
  EXPECT_EQ(Slot(kSummary0, 1), RecordBytes(1, 0x40200, 65536, 6));
  EXPECT_EQ(m_host.RunInfo(0).data_addr, 0x40200u + 65536);
  EXPECT_EQ(Peek(m_path, 0x40200, 65536), std::vector<uint8_t>(65536, 0xAB));
}

TEST_F(StorageMailbox, SendWithNoDeviceFailsAndMovesNothing) {
  const uint8_t d[4] = {1, 2, 3, 4};
  EXPECT_EQ(m_host.SendOrder(6, d, 4), -1);
  EXPECT_EQ(m_host.RunInfo(0).seq_no, 0u);
  EXPECT_EQ(m_host.RunInfo(0).summary_addr, 0u);
}

TEST_F(StorageMailbox, OversizedRecordIsSkippedAndTheLinkGoesOn) {
  OpenHost();
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  const std::vector<uint8_t> one = Payload(1, 30);
  ASSERT_EQ(device.Send(6, one.data(), 30), 0);  // number 1 in slot 1, data at 0x240200
  // Number 2 claims 4194305 bytes; number 3 follows normally.
  ASSERT_TRUE(Poke(m_path, kSummary1 + 2 * 32, RecordBytes(2, 0x240400, 0x400001, 6)));
  const std::vector<uint8_t> three = Payload(3, 50);
  ASSERT_TRUE(Poke(m_path, 0x640600, three));
  ASSERT_TRUE(Poke(m_path, kSummary1 + 3 * 32, RecordBytes(3, 0x640600, 50, 7)));

  LogCapture log;
  std::vector<Msg> got;
  for (int pass = 0; pass < 4; ++pass) {
    ASSERT_EQ(m_host.ReadMsg(), 0);
    for (Msg& m : Drain(m_host)) got.push_back(std::move(m));
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, one);
  EXPECT_EQ(got[1].type, 7);
  EXPECT_EQ(got[1].data, three);
  // Seen once where it ends the first pass, once where it is skipped.
  EXPECT_EQ(log.Count("Check summary msg len:4194305 Error"), 2);
  EXPECT_EQ(log.Count("Skip message, seq_no:2, data_start:240400, data_len:4194305"), 1);
  EXPECT_EQ(m_host.RunInfo(1).last_seq_no, 3u);
}

TEST_F(StorageMailbox, RecordsThatContradictEachOtherDeliverNoStaleBytes) {
  OpenHost();
  const std::vector<uint8_t> one = Payload(1, 512);
  const std::vector<uint8_t> three = Payload(3, 100);
  ASSERT_TRUE(Poke(m_path, 0x240200, one));
  ASSERT_TRUE(Poke(m_path, 0x240600, three));
  // Number 2's data would lie a megabyte behind number 1's: not in what the pass reads.
  ASSERT_TRUE(Poke(m_path, kSummary1 + 1 * 32, RecordBytes(1, 0x240200, 512, 6)));
  ASSERT_TRUE(Poke(m_path, kSummary1 + 2 * 32, RecordBytes(2, 0x340200, 100, 6)));
  ASSERT_TRUE(Poke(m_path, kSummary1 + 3 * 32, RecordBytes(3, 0x240600, 100, 6)));
  // A record whose data start outside the data area.
  ASSERT_TRUE(Poke(m_path, kSummary1 + 4 * 32, RecordBytes(4, 0x1000, 100, 6)));
  LogCapture log;
  std::vector<Msg> got;
  for (int pass = 0; pass < 3; ++pass) {
    ASSERT_EQ(m_host.ReadMsg(), 0);
    for (Msg& m : Drain(m_host)) got.push_back(std::move(m));
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, one);
  EXPECT_EQ(got[1].data, three);
  EXPECT_EQ(log.MessagesStartingWith("Skip message, seq_no:").size(), 2u);
  EXPECT_EQ(log.Count("Check summary data start:1000 Error"), 2);
  EXPECT_EQ(m_host.RunInfo(1).seq_no, 5u);
}

TEST_F(StorageMailbox, MessageLongerThanABufferIsCutTo65536Bytes) {
  OpenHost();
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  const std::vector<uint8_t> big = Payload(7, 70000);
  ASSERT_EQ(device.Send(3, big.data(), 70000), 0);
  LogCapture log;
  ASSERT_EQ(m_host.ReadMsg(), 0);
  const std::vector<Msg> got = Drain(m_host);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes_used, 65536u);
  EXPECT_EQ(got[0].data, std::vector<uint8_t>(big.begin(), big.begin() + 65536));
  EXPECT_EQ(log.MessagesStartingWith("ERROR, bytes used:70000").size(), 1u);
}

TEST_F(StorageMailbox, DataWrappingInTheReadAreaAreReassembled) {
  // The device's messages run past the end of type 1's data area.
  ASSERT_TRUE(Poke(m_path, kSummary1, RecordBytes(0, 0x3200000 - 0x400, 0x200, 0)));
  OpenHost();
  SimStorageDevice device(m_path);
  ASSERT_EQ(device.Open(), 0);
  std::vector<std::vector<uint8_t>> sent;
  for (uint32_t i = 1; i <= 4; ++i) {
    sent.push_back(Payload(i, 700));
    ASSERT_EQ(device.Send(6, sent.back().data(), 700), 0);
  }
  ASSERT_EQ(Peek(m_path, kSummary1 + 32, 32), RecordBytes(1, 0x3200000 - 0x200, 700, 6));
  ASSERT_EQ(m_host.ReadMsg(), 0);
  const std::vector<Msg> got = Drain(m_host);
  ASSERT_EQ(got.size(), 4u);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(got[i].data, sent[i]);
}

}  // namespace
