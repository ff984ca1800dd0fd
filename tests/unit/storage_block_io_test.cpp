// Disk discovery and block transfers of the storage transport, on sparse image files (and on
// a real loop device where the machine allows one).
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "StorageTestImage.h"
#include "transport/storage/BlockDevice.h"
#include "transport/storage/HostCommViaStorage.h"

using namespace storage_test;

namespace {

std::vector<uint8_t> Pattern(uint32_t len, uint8_t seed) {
  std::vector<uint8_t> v(len);
  for (uint32_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

class StorageBlockIo : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = MakeImage("disk.img");
    ASSERT_FALSE(m_path.empty());
    // Recognisable bytes in the first blocks, so that every byte a write must keep is checked.
    ASSERT_TRUE(Poke(m_path, 0, Pattern(0x600, 0x11)));
    ASSERT_TRUE(Poke(m_path, 0x40000, Pattern(0x800, 0x55)));
    m_storage.SetCandidatePaths({m_path});
    ASSERT_EQ(m_storage.OpenStorageDevice(), 0);
  }

  std::string m_path;
  HostCommViaStorage m_storage;
};

TEST_F(StorageBlockIo, WriteInsideABlockReadsModifiesAndWritesThatBlock) {
  const std::vector<uint8_t> before = Peek(m_path, 0, 0x400);
  const std::vector<uint8_t> data = Pattern(32, 0xA0);
  ASSERT_EQ(m_storage.WriteStorageDevice(0x20, data.data(), 32), 0);
  std::vector<uint8_t> expected = before;
  std::copy(data.begin(), data.end(), expected.begin() + 0x20);
  EXPECT_EQ(Peek(m_path, 0, 0x400), expected);  // block 0 otherwise unchanged, block 1 untouched
}

TEST_F(StorageBlockIo, WriteCrossingTheEndOfItsBlockIsRefusedAndWritesNothing) {
  LogCapture log;
  EventRecorder events;
  const std::vector<uint8_t> before = Peek(m_path, 0, 0x600);
  const std::vector<uint8_t> data = Pattern(32, 0xA0);
  EXPECT_EQ(m_storage.WriteStorageDevice(0x1F0, data.data(), 32), -1);
  EXPECT_EQ(Peek(m_path, 0, 0x600), before);
  EXPECT_EQ(log.Count("Storage write address is not from block address"), 1);
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].first, CommError);
  EXPECT_EQ(events.Events()[0].second, "Comm Error");
}

TEST_F(StorageBlockIo, WriteAtABlockBoundaryClearsTheRestOfTheBlock) {
  const std::vector<uint8_t> next_block = Peek(m_path, 0x400, 0x200);
  const std::vector<uint8_t> data = Pattern(32, 0xC0);
  ASSERT_EQ(m_storage.WriteStorageDevice(0x200, data.data(), 32), 0);
  std::vector<uint8_t> expected(512, 0);
  std::copy(data.begin(), data.end(), expected.begin());
  EXPECT_EQ(Peek(m_path, 0x200, 512), expected);
  EXPECT_EQ(Peek(m_path, 0x400, 0x200), next_block);
}

TEST_F(StorageBlockIo, LongWriteIsWholeBlocksWithTheLastOneZeroPadded) {
  const std::vector<uint8_t> after = Peek(m_path, 0x40600, 0x200);
  const std::vector<uint8_t> data = Pattern(1300, 0x3C);
  ASSERT_EQ(m_storage.WriteStorageDevice(0x40000, data.data(), 1300), 0);
  std::vector<uint8_t> expected(1536, 0);
  std::copy(data.begin(), data.end(), expected.begin());
  EXPECT_EQ(Peek(m_path, 0x40000, 1536), expected);  // 276 data bytes then 236 zeros in block 3
  EXPECT_EQ(Peek(m_path, 0x40600, 0x200), after);
}

TEST_F(StorageBlockIo, ZeroLengthWriteTouchesNothing) {
  const std::vector<uint8_t> before = Peek(m_path, 0x40000, 0x200);
  const uint8_t byte = 0xEE;
  EXPECT_EQ(m_storage.WriteStorageDevice(0x40000, &byte, 0), 0);
  EXPECT_EQ(m_storage.WriteStorageDevice(0x40010, &byte, 0), 0);
  EXPECT_EQ(Peek(m_path, 0x40000, 0x200), before);
}

TEST_F(StorageBlockIo, WriteListingShowsOnlyTheBytesWritten) {
  LogCapture log;
  const std::vector<uint8_t> data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0xfe};
  ASSERT_EQ(m_storage.WriteStorageDevice(0x800, data.data(), static_cast<uint32_t>(data.size())), 0);
  EXPECT_EQ(log.MessagesStartingWith("WriteStorageDevice, addr:"),
            std::vector<std::string>{"WriteStorageDevice, addr:800, data:11"});
  EXPECT_EQ(log.MessagesStartingWith("Index:"),
            (std::vector<std::string>{"Index:00, data:01 02 03 04 05 06 07 08", "Index:08, data:09 0a fe"}));
}

TEST_F(StorageBlockIo, ReadsAreExactAndAReadPastTheDiskFails) {
  const std::vector<uint8_t> expected = Peek(m_path, 0x40000, 0x400);
  AlignedBuffer buffer(0x400);
  ASSERT_EQ(m_storage.ReadStorageDevice(0x40000, buffer.Data(), 0x400), 0);
  EXPECT_EQ(std::vector<uint8_t>(buffer.Data(), buffer.Data() + 0x400), expected);

  LogCapture log;
  EventRecorder events;
  EXPECT_EQ(m_storage.ReadStorageDevice(kImageSize - 0x200, buffer.Data(), 0x400), -1);
  EXPECT_EQ(log.Count("Storage read error"), 1);
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].first, CommError);
}

TEST(StorageBlockIoClosed, NoDeviceOpenReadReportsAndWriteIsSilent) {
  LogCapture log;
  EventRecorder events;
  HostCommViaStorage storage;
  AlignedBuffer buffer(512);
  const uint8_t data[32] = {1};
  EXPECT_EQ(storage.WriteStorageDevice(0x200, data, 32), -1);
  EXPECT_TRUE(events.Events().empty());
  EXPECT_TRUE(log.MessagesStartingWith("WriteStorageDevice").empty());

  EXPECT_EQ(storage.ReadStorageDevice(0, buffer.Data(), 512), -1);
  EXPECT_EQ(log.Count("Device is null"), 1);
  EXPECT_EQ(log.Count("Connected Error:Device is null"), 1);  // the service's report line
  for (const CapturedLine& line : log.Lines())
    if (line.message == "Device is null") {
      EXPECT_EQ(line.function, "HostCommViaStorage::ErrorReport");
    }
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].first, ConnectedError);
  EXPECT_EQ(events.Events()[0].second, "Connected Error");
}

TEST(StorageDiscovery, FirstCandidateOfExactlyTheDeviceSizeIsOpened) {
  LogCapture log;
  // Index 0 and 3 do not exist, 1, 2 and 4 have other sizes, 5 is the device, 6 would be too.
  const std::string missing = (std::filesystem::current_path() / "missing.img").string();
  const std::vector<std::string> candidates = {
      missing,
      MakeImage("small.img", kImageSize - 1),
      MakeImage("large.img", kImageSize + 1),
      missing + "3",
      MakeImage("huge.img", 3ull << 30),
      MakeImage("device.img"),
      MakeImage("second.img"),
  };
  HostCommViaStorage storage;
  storage.SetCandidatePaths(candidates);
  ASSERT_EQ(storage.OpenStorageDevice(), 0);
  EXPECT_EQ(storage.DevicePath(), candidates[5]);
  EXPECT_EQ(log.MessagesStartingWith("Check Disk:"),
            (std::vector<std::string>{
                "Check Disk:" + candidates[1] + ", size: 52428799Bytes/ 0GBytes",
                "Check Disk:" + candidates[2] + ", size: 52428801Bytes/ 0GBytes",
                "Check Disk:" + candidates[4] + ", size: 3221225472Bytes/ 3GBytes",
                "Check Disk:" + candidates[5] + ", size: 52428800Bytes/ 0GBytes",
            }));
  EXPECT_EQ(log.MessagesStartingWith("Found disk:"), std::vector<std::string>{"Found disk:" + candidates[5]});
  EXPECT_TRUE(log.MessagesStartingWith("Open device error").empty());
}

TEST(StorageDiscovery, NoDiskOfTheDeviceSizeFailsWithConnectError) {
  LogCapture log;
  EventRecorder events;
  HostCommViaStorage storage;
  const std::string pattern = storage.DevicePath();
  storage.SetCandidatePaths({MakeImage("small.img", kImageSize - 1), MakeImage("large.img", kImageSize + 1)});
  EXPECT_EQ(storage.OpenStorageDevice(), -1);
  EXPECT_EQ(storage.DevicePath(), pattern);
  EXPECT_EQ(log.MessagesStartingWith("Check Disk:").size(), 2u);
  EXPECT_TRUE(log.MessagesStartingWith("Found disk:").empty());
  EXPECT_EQ(log.Count("Open device error"), 1);
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].first, ConnectedError);

  // The transfers see no device.
  const uint8_t data[4] = {};
  EXPECT_EQ(storage.WriteStorageDevice(0, data, 4), -1);
}

TEST(StorageDiscovery, OnlySeventeenthCandidateMatchingIsNotFound) {
  std::vector<std::string> candidates;
  const std::string other = MakeImage("other.img", 4096);
  for (int i = 0; i < 16; ++i) candidates.push_back(other);
  candidates.push_back(MakeImage("device.img"));
  HostCommViaStorage storage;
  storage.SetCandidatePaths(candidates);
  EXPECT_EQ(storage.OpenStorageDevice(), -1);
}

// The default discovery walks /sys/block: attach a loop device to an image of the device's
// size and expect it to be found without any candidate list.
TEST(StorageDiscovery, LoopDeviceOfTheDeviceSizeIsFoundInSysBlock) {
  // Needs root and loop devices; losetup failing for any reason skips the test.
  if (!std::filesystem::exists("/dev/loop-control")) GTEST_SKIP() << "no loop devices";
  const std::string image = MakeImage("loop.img");
  ASSERT_FALSE(image.empty());
  std::string cmd = "losetup -f --show '" + image + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) GTEST_SKIP() << "losetup not available";
  char line[256] = {};
  const bool got = std::fgets(line, sizeof line, p) != nullptr;
  const int status = pclose(p);
  std::string loop(line);
  while (!loop.empty() && (loop.back() == '\n' || loop.back() == '\r')) loop.pop_back();
  if (!got || status != 0 || loop.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "losetup could not attach";
  struct Detach {
    std::string dev;
    ~Detach() { std::system(("losetup -d '" + dev + "' 2>/dev/null").c_str()); }
  } detach{loop};

  LogCapture log;
  HostCommViaStorage storage;
  const std::vector<std::string> candidates = BlockDevice::DefaultCandidates();
  ASSERT_LE(candidates.size(), BlockDevice::kMaxCandidates);
  ASSERT_EQ(storage.OpenStorageDevice(), 0);
  ASSERT_EQ(storage.DevicePath(), loop) << "another disk of 52428800 bytes comes first";
  EXPECT_TRUE(log.Contains("Found disk:" + loop));
  EXPECT_TRUE(log.Contains("Check Disk:" + loop + ", size: 52428800Bytes/ 0GBytes"));
  // Unbuffered transfers on a real block device, seen through the image behind it.
  const std::vector<uint8_t> data = Pattern(700, 0x42);
  ASSERT_EQ(storage.WriteStorageDevice(0x40000, data.data(), 700), 0);
  AlignedBuffer back(1024);
  ASSERT_EQ(storage.ReadStorageDevice(0x40000, back.Data(), 1024), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.Data()));
  EXPECT_EQ(back.Data()[700], 0);
  ASSERT_EQ(storage.StopLoopRecv(), 0);
}

}  // namespace
