// The service's start and stop, its status funnel and its two workers, through the singleton.
// Start binds the arm link's UDP port 26000, hence the fixed-ports lock.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceGlobals.h"

using namespace std::chrono;

namespace {

struct Event {
  int event;
  std::string text;
};

struct Recorder {
  std::mutex mutex;
  std::vector<Event> events;
  std::vector<unsigned short> scanner, arm;
  std::vector<std::string> lines;
  void* user_seen = nullptr;

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
};

Recorder* g_rec = nullptr;

void OnEvent(HostCommDeviceEvent e, const char* text, void* user) {
  auto* r = static_cast<Recorder*>(user);
  std::lock_guard<std::mutex> lock(r->mutex);
  r->events.push_back({e, text ? text : "(null)"});
  r->user_seen = user;
}
void OnScanner(unsigned short s, void* user) {
  auto* r = static_cast<Recorder*>(user);
  std::lock_guard<std::mutex> lock(r->mutex);
  r->scanner.push_back(s);
}
void OnArm(unsigned short s, void* user) {
  auto* r = static_cast<Recorder*>(user);
  std::lock_guard<std::mutex> lock(r->mutex);
  r->arm.push_back(s);
}
void OnLine(const char* line, void* user) {
  auto* r = static_cast<Recorder*>(user);
  std::lock_guard<std::mutex> lock(r->mutex);
  r->lines.emplace_back(line);
}

std::atomic<uint64_t> g_now{0};
uint64_t FakeNow() { return g_now.load(); }

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service.SetDeviceEventCallBack(&OnEvent, &rec);
    service.SetScanerStatusCallBack(&OnScanner, &rec);
    service.SetArmStatusCallBack(&OnArm, &rec);
    service.SetLogCallBack(&OnLine, &rec);
    g_rec = &rec;
  }
  void TearDown() override {
    service.SetDeviceEventCallBack(nullptr, nullptr);
    service.SetScanerStatusCallBack(nullptr, nullptr);
    service.SetArmStatusCallBack(nullptr, nullptr);
    service.SetLogCallBack(nullptr, nullptr);
    kestal::SetWallClockMs(nullptr);
    g_rec = nullptr;
  }

  KestalHostCommService& service = KestalHostCommService::GetInstance();
  Recorder rec;
  LogCapture log;
};

}  // namespace

TEST_F(ServiceTest, ReportStatusDeliversEveryRowOfTheTable) {
  const std::vector<Event> expected = {
      {5, "Not connected"},  {4, "Connecting..."}, {2, "Connected Error"}, {3, "Connected OK"},
      {2, "Connected Error"}, {3, "Connected OK"}, {6, "Comm Error"},      {6, "Comm Error"},
      {0, "Device arrival"}, {1, "Device left"}};
  // Expected reconnect flag after each status, starting from clear.
  const std::vector<bool> need_reconnect = {true, true, true, false, true, false, true, true, true, true};
  const std::vector<std::string> lines = {"Not connected", "Connecting...", "Connected Error:detail",
                                          "Connected OK", "Connected Error", "Connected OK", "Comm Error",
                                          "Comm Error", "Device arrival", "Device left"};
  for (unsigned status = 0; status < 10; ++status) {
    service.ReportStatus(status, "detail");
    EXPECT_EQ(KestalHostCommServiceAccess::NeedReconnect(), need_reconnect[status]) << status;
  }
  auto events = rec.Events();
  ASSERT_EQ(events.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(events[i].event, expected[i].event) << i;
    EXPECT_EQ(events[i].text, expected[i].text) << i;
  }
  std::vector<std::string> status_lines;
  for (const auto& l : log.Lines())
    if (l.function == "KestalHostCommService::ReportStatus") status_lines.push_back(l.message);
  EXPECT_EQ(status_lines, lines);
  EXPECT_EQ(rec.user_seen, &rec);
}

TEST_F(ServiceTest, ReportStatusEdgeCases) {
  service.ReportStatus(3, "");  // clears the flag
  ASSERT_FALSE(KestalHostCommServiceAccess::NeedReconnect());
  rec.events.clear();
  log.Clear();
  service.ReportStatus(10, "x");
  service.ReportStatus(0xFFFFFFFFu, nullptr);
  EXPECT_TRUE(rec.Events().empty());
  EXPECT_FALSE(KestalHostCommServiceAccess::NeedReconnect());
  EXPECT_TRUE(log.MessagesStartingWith("Not").empty());

  service.ReportStatus(1, nullptr);  // Connecting... leaves the flag alone
  EXPECT_FALSE(KestalHostCommServiceAccess::NeedReconnect());
  service.ReportStatus(2, nullptr);
  EXPECT_TRUE(log.Contains("Connected Error:null"));
  auto events = rec.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].text, "Connected Error");

  // Without a device-event callback, a good connection still sends the comm-type order.
  service.SetDeviceEventCallBack(nullptr, nullptr);
  log.Clear();
  service.ReportStatus(5, nullptr);
  EXPECT_FALSE(KestalHostCommServiceAccess::NeedReconnect());
  EXPECT_EQ(log.MessagesStartingWith("SendCommTypeOrder:").size(), 1u);
}

TEST_F(ServiceTest, StartWithAnUnknownCommTypeStartsNothing) {
  service.SetCommType(static_cast<HostCommDeviceType>(5));
  EXPECT_EQ(service.Start(), -1);
  service.SetCommType(HostCommDeviceStorage);
  EXPECT_TRUE(rec.Events().empty());
  EXPECT_FALSE(KestalHostCommServiceAccess::WorkersRunning());
  EXPECT_TRUE(log.Contains("Not support comm type:5"));
}

TEST_F(ServiceTest, StartFailsCleanlyWhenTheArmPortIsTaken) {
  int blocker = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(blocker, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(26000);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  service.SetCommType(HostCommDeviceNetwork);
  EXPECT_EQ(service.Start(), -1);
  close(blocker);
  service.SetCommType(HostCommDeviceStorage);
  auto events = rec.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text, "Connecting...");
  EXPECT_EQ(events[1].text, "Not connected");
  EXPECT_FALSE(KestalHostCommServiceAccess::WorkersRunning());
}

// With no storage device, Start fails but the service stays up: the reconnect worker keeps
// trying, the log-report worker reports. Covers the staleness rule with a replaced clock.
TEST_F(ServiceTest, StartedWithoutDeviceReportsStatesAndRetries) {
  g_now = 1'800'000'000'000ull;
  kestal::SetWallClockMs(&FakeNow);
  HostCommProtocolImpl& engine = KestalHostCommServiceAccess::Engine();
  // Never the machine's own disks: a path that does not exist.
  engine.m_comm_dev_via_storage.SetCandidatePaths({"/nonexistent/kestal-test-disk.img"});
  service.SetCommType(HostCommDeviceStorage);
  EXPECT_EQ(service.Start(), -1);
  auto events = rec.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].text, "Connecting...");
  EXPECT_EQ(events.back().text, "Not connected");
  EXPECT_TRUE(KestalHostCommServiceAccess::WorkersRunning());

  auto wait_reports = [&](size_t n) {
    for (int i = 0; i < 40; ++i) {
      {
        std::lock_guard<std::mutex> lock(rec.mutex);
        if (rec.scanner.size() >= n) return true;
      }
      std::this_thread::sleep_for(milliseconds(100));
    }
    return false;
  };
  // No controller status yet: 7 for both, no line.
  ASSERT_TRUE(wait_reports(1));
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.scanner[0], 7);
    EXPECT_EQ(rec.arm[0], 7);
    EXPECT_TRUE(rec.lines.empty());
  }

  // A status 2999 ms old is current: its states and the status line (code page 936 bytes).
  std::vector<uint8_t> status(56, 0);
  kestal::StoreU32(status.data() + 0, 9);    // scanner: out of range -> invalid
  kestal::StoreU32(status.data() + 8, 25);   // fpga fps
  kestal::StoreU32(status.data() + 12, 3);   // arm: I/O error
  kestal::StoreU32(status.data() + 16, -1);  // arm fps prints signed
  engine.DealMsg(7, status.data(), 56);
  g_now += 2999;
  size_t seen = rec.scanner.size();
  ASSERT_TRUE(wait_reports(seen + 2));
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.scanner.back(), 7);
    EXPECT_EQ(rec.arm.back(), 3);
    ASSERT_FALSE(rec.lines.empty());
    EXPECT_EQ(rec.lines.back(),
              "\xc9\xa8\xc3\xe8\xcd\xb7\xa3\xba" "\xce\xde\xd0\xa7, 25fps; "
              "\xb9\xd8\xbd\xda\xb1\xdb\xa3\xba" "IO\xb4\xed\xce\xf3, -1fps");
  }

  // At 3000 ms it is stale: 7 for both and no further line.
  g_now += 1;
  seen = rec.scanner.size();
  ASSERT_TRUE(wait_reports(seen + 2));
  size_t lines_before;
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.scanner.back(), 7);
    EXPECT_EQ(rec.arm.back(), 7);
    lines_before = rec.lines.size();
  }
  ASSERT_TRUE(wait_reports(rec.scanner.size() + 1));
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.lines.size(), lines_before);
  }

  // Meanwhile the reconnect worker retries the missing disk, at least 2.3 s apart.
  ASSERT_TRUE(log.WaitFor("Reconnect device", seconds(10), 2));
  auto stop_begin = steady_clock::now();
  EXPECT_EQ(service.Stop(), 0);
  auto stop_ms = duration_cast<milliseconds>(steady_clock::now() - stop_begin).count();
  EXPECT_GE(stop_ms, 1000);
  EXPECT_FALSE(KestalHostCommServiceAccess::WorkersRunning());
  EXPECT_TRUE(log.Contains("loop reconnect thread stopped"));
  EXPECT_TRUE(log.Contains("loop log report thread stopped"));

  // Each retry costs the stop sequence (network >= 900 ms, storage >= 400 ms) plus the
  // one-second wait.
  std::vector<steady_clock::time_point> attempts;
  for (const auto& l : log.Lines())
    if (l.message == "Reconnect device") attempts.push_back(l.when);
  ASSERT_GE(attempts.size(), 2u);
  for (size_t i = 1; i < attempts.size(); ++i)
    EXPECT_GE(duration_cast<milliseconds>(attempts[i] - attempts[i - 1]).count(), 2300);
}
