// The volume dump: file names in UTC+8 from the replaceable clock, one CR LF line per summary
// slot in the exact layout, nothing written without a device.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/Clock.h"
#include "StorageTestImage.h"
#include "transport/storage/HostCommViaStorage.h"

using namespace storage_test;

namespace {

uint64_t g_fake_now_ms = 0;
uint64_t FakeNow() { return g_fake_now_ms; }

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at) + "<no CR LF>");
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

std::string ZeroLine(uint32_t offset) {
  char line[128];
  std::snprintf(line, sizeof line,
                "0x%08x: tag[00000000], seq_no[00000000/00000000], start[00000000], msg[00000000/0000], crc[0000]",
                offset);
  return line;
}

class StorageDump : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& entry : std::filesystem::directory_iterator("."))
      if (entry.path().filename().string().rfind("volume", 0) == 0) std::filesystem::remove(entry.path());
    kestal::SetWallClockMs(&FakeNow);
  }
  void TearDown() override { kestal::SetWallClockMs(nullptr); }
};

TEST_F(StorageDump, FreshDiskDumpHasTheInitRecordsAndZeroSlots) {
  const std::string path = MakeImage("disk.img");
  HostCommViaStorage storage;
  storage.SetCandidatePaths({path});
  ASSERT_EQ(storage.OpenStorageDevice(), 0);
  ASSERT_EQ(storage.RepositionVolume(0), 0);
  ASSERT_EQ(storage.RepositionVolume(1), 0);
  g_fake_now_ms = 1767223805000ull + 999;  // 2025-12-31 23:30:05.999 UTC
  LogCapture log;
  storage.PrintVolumeRunInfo();

  const std::string text0 = ReadFile("volume20260101_073005_0.txt");
  const std::string text1 = ReadFile("volume20260101_073005_1.txt");
  const std::vector<std::string> lines0 = SplitCrLf(text0);
  const std::vector<std::string> lines1 = SplitCrLf(text1);
  ASSERT_EQ(lines0.size(), 4096u);
  ASSERT_EQ(lines1.size(), 4096u);
  const std::string first =
      "0x00000000: tag[234973a1], seq_no[00000000/ffffffff], start[00040000], msg[00000000/0200], crc[00be]\r\n";
  EXPECT_EQ(text0.substr(0, first.size()), first);
  EXPECT_EQ(text0.size(), 4096 * first.size());  // every line as long, nothing else in the file
  EXPECT_EQ(lines1[0], "0x00000000: tag[234973a1], seq_no[00000000/ffffffff], start[00240000], msg[00000000/0200], crc[009e]");
  for (uint32_t slot = 1; slot < 4096; ++slot) {
    ASSERT_EQ(lines0[slot], ZeroLine(slot * 32)) << slot;
    ASSERT_EQ(lines1[slot], ZeroLine(slot * 32)) << slot;
  }
  EXPECT_EQ(log.MessagesStartingWith("PrintVolumeRunInfo, type:"),
            (std::vector<std::string>{
                "PrintVolumeRunInfo, type:0, summary_address:20/0, data_address:40200, seq_no:1/0",
                "PrintVolumeRunInfo, type:1, summary_address:20020/20000, data_address:240200, seq_no:1/0",
            }));
}

TEST_F(StorageDump, SecondDumpInTheSameSecondReplacesTheFirst) {
  const std::string path = MakeImage("disk.img");
  HostCommViaStorage storage;
  storage.SetCandidatePaths({path});
  ASSERT_EQ(storage.OpenStorageDevice(), 0);
  ASSERT_EQ(storage.RepositionVolume(0), 0);
  ASSERT_EQ(storage.RepositionVolume(1), 0);
  // 2024-02-28 16:00:00 UTC is the leap day's midnight in UTC+8.
  g_fake_now_ms = 1709136000000ull;
  storage.PrintVolumeRunInfo();
  const std::vector<uint8_t> order(65536, 0x11);
  ASSERT_EQ(storage.SendOrder(0x1234, order.data(), 65536), 0);
  g_fake_now_ms += 500;
  storage.PrintVolumeRunInfo();
  const std::vector<std::string> lines = SplitCrLf(ReadFile("volume20240229_000000_0.txt"));
  ASSERT_EQ(lines.size(), 4096u);
  char expected[160];
  // A length over 0xffff simply prints more digits.
  std::snprintf(expected, sizeof expected,
                "0x00000020: tag[234973a1], seq_no[00000001/fffffffe], start[00040200], msg[00001234/10000], "
                "crc[%04x]",
                RecordBytes(1, 0x40200, 65536, 0x1234)[30]);
  EXPECT_EQ(lines[1], expected);
  EXPECT_EQ(lines[2], ZeroLine(64));
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator("."))
    files += entry.path().filename().string().rfind("volume", 0) == 0;
  EXPECT_EQ(files, 2);
}

TEST_F(StorageDump, NoDeviceWritesNoFileAndReportsConnectError) {
  EventRecorder events;
  LogCapture log;
  HostCommViaStorage storage;
  g_fake_now_ms = 1767223805000ull;
  storage.PrintVolumeRunInfo();
  EXPECT_EQ(log.Count("Device is null"), 1);
  EXPECT_EQ(log.Count("ShmRead Volume error"), 1);
  EXPECT_EQ(log.MessagesStartingWith("PrintVolumeRunInfo, type:").size(), 1u);  // type 1 is not tried
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].first, ConnectedError);
  for (const auto& entry : std::filesystem::directory_iterator("."))
    EXPECT_NE(entry.path().filename().string().rfind("volume", 0), 0u) << entry.path();
}

}  // namespace
