// The storage transport where it meets the file system: discovery among image files and loop
// devices, and the volume dump files.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include <gtest/gtest.h>

#include "ServiceFixture.h"
#include "common/Clock.h"
#include "transport/storage/HostCommViaStorage.h"
#include "transport/storage/MemoryBlockDevice.h"

using Bytes = std::vector<uint8_t>;
using Reported = std::vector<std::pair<unsigned, std::string>>;

namespace {

uint64_t g_now_ms = 0;

class StorageFiles : public ::testing::Test {
 protected:
  void TearDown() override { kestal::SetWallClockMs(nullptr); }

  Reported m_reports;
  HostCommViaStorage m_host{
      {[this](unsigned s, const char* text) { m_reports.emplace_back(s, text); }, nullptr, {}}};
};

TEST_F(StorageFiles, DiscoveryOpensTheFirstOfSixteenCandidatesOfExactlyTheDeviceSize) {
  const uint64_t size = kStorageDeviceSize;
  std::vector<uint64_t> seventeen(16, 4096);
  seventeen.push_back(size);  // a 17th candidate is not tried
  const struct {
    std::vector<uint64_t> sizes;  // 0: no such file
    int opened;
  } cases[] = {{{size - 1, size + 1}, -1},
               {seventeen, -1},
               {{0, size - 1, size + 1, 0, 3ull << 30, size, size}, 5}};
  for (const auto& c : cases) {
    std::vector<std::string> paths;
    for (uint64_t s : c.sizes) {
      const std::string name = "c" + std::to_string(paths.size()) + ".img";
      std::filesystem::remove(name);
      paths.push_back(s ? MakeImage(name, s) : (std::filesystem::current_path() / name).string());
    }
    EXPECT_EQ(m_host.Disk().OpenStorageDevice(paths), c.opened < 0 ? -1 : 0);
    EXPECT_EQ(m_host.Disk().DevicePath(),
              c.opened < 0 ? BlockDevice::SearchPattern() : paths[c.opened]);
    const Reported failed = {{HostCommStatusStorageConnectError, "Open device error"}};
    EXPECT_EQ(std::exchange(m_reports, {}), c.opened < 0 ? failed : Reported{});
  }
}

// The real discovery: a loop device over the image, found in /sys/block and written unbuffered.
TEST_F(StorageFiles, DiscoveryFindsALoopDeviceOfTheDeviceSize) {
#ifdef _WIN32
  GTEST_SKIP() << "loop devices are Linux's; Windows has only its numbered physical drives";
#endif
  const std::string image = MakeImage("disk.img");
  std::string loop;
  if (FILE* p = popen(("losetup -f --show '" + image + "' 2>/dev/null").c_str(), "r")) {
    char line[256] = {};
    if (std::fgets(line, sizeof line, p)) loop.assign(line, std::strcspn(line, "\r\n"));
    if (pclose(p) != 0) loop.clear();
  }
  if (loop.rfind("/dev/loop", 0) != 0)
    GTEST_SKIP() << "no loop device could be attached (needs root)";
  struct Detach {
    std::string dev;
    ~Detach() { std::system(("losetup -d '" + dev + "'").c_str()); }
  } detach{loop};
  ASSERT_EQ(m_host.Disk().OpenStorageDevice(), 0);
  ASSERT_EQ(m_host.Disk().DevicePath(), loop) << "another disk of 52428800 bytes comes first";
  const Bytes data(700, 0x5C);
  AlignedBuffer back(1024);
  ASSERT_EQ(m_host.Disk().WriteStorageDevice(0x40000, data.data(), 700), 0);
  ASSERT_EQ(m_host.Disk().ReadStorageDevice(0x40000, back.Data(), 1024), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.Data()) && back.Data()[700] == 0);
  m_host.StopLoopRecv();
}

// Dumped twice in one second: the second file replaces the first. A length over 0xffff takes more
// digits.
TEST_F(StorageFiles, DumpWritesOneCrLfLinePerSlotToAFileNamedInUtcPlus8) {
  kestal::SetWallClockMs([] { return g_now_ms; });
  g_now_ms = 1767223805999;  // 2025-12-31 23:30:05.999 UTC
  LogCapture log;
  m_host.PrintVolumeRunInfo();  // no disk open (the network link in use): no file, type 1 skipped
  EXPECT_EQ(std::exchange(m_reports, {}),
            (Reported{{HostCommStatusStorageConnectError, "Device is null"}}));
  EXPECT_TRUE(log.MessagesStartingWith("PrintVolumeRunInfo, type:").size() == 1 &&
              log.Contains("ShmRead Volume error"));
  MemoryBlockDevice disk(kStorageDeviceSize);
  m_host.Disk().AttachStorage(&disk);
  ASSERT_EQ(m_host.Disk().OpenStorageDevice(), 0);
  ASSERT_EQ(m_host.Mailbox().RepositionVolume(0) + m_host.Mailbox().RepositionVolume(1), 0);
  m_host.PrintVolumeRunInfo();
  ASSERT_EQ(m_host.SendOrder(0x1234, Bytes(65536, 0x11).data(), 65536), 0);
  g_now_ms = 1767223805000;
  m_host.PrintVolumeRunInfo();
  auto slot = [](uint32_t offset, uint32_t seq, uint32_t start, uint32_t type, uint32_t len,
                 uint32_t crc) {
    char line[128];
    std::snprintf(
        line, sizeof line,
        "0x%08x: tag[%08x], seq_no[%08x/%08x], start[%08x], msg[%08x/%04x], crc[%04x]\r\n", offset,
        start ? 0x234973a1 : 0, seq, start ? ~seq : 0, start, type, len, crc);
    return std::string(line);
  };
  std::string zeros;  // slots 2 to 4095
  for (uint32_t offset = 64; offset < 0x20000; offset += 32) zeros += slot(offset, 0, 0, 0, 0, 0);
  EXPECT_TRUE(FileText("volume20260101_073005_0.txt") ==
              slot(0, 0, 0x40000, 0, 512, 0xbe) + slot(32, 1, 0x40200, 0x1234, 65536, 0x99) +
                  zeros);
  EXPECT_TRUE(FileText("volume20260101_073005_1.txt") ==
              slot(0, 0, 0x240000, 0, 512, 0x9e) + slot(32, 0, 0, 0, 0, 0) + zeros);
}

}  // namespace
