// The service with the storage transport: a disk that goes away is reported and tried again
// by the reconnect worker until it is back, and the link then carries messages again. Start
// also brings up the arm link on its fixed UDP port, hence the file's name.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StorageTestImage.h"
#include "LogCapture.h"
#include "common/LittleEndian.h"
#include "devsim/SimDevice.h"
#include "devsim/SimStorageDevice.h"
#include "protocol/HostCommMsg.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceGlobals.h"

using namespace storage_test;
using namespace std::chrono;

namespace {

// The simulated device on the image: its storage half and the controller behind it. The
// storage half tells when it has read one of the host's heartbeats.
class Device {
 public:
  explicit Device(const std::string& path) : m_storage(path), m_controller(Options()) {}
  ~Device() { Stop(); }

  int Start() {
    if (m_storage.Start([this](uint16_t t, const uint8_t* d, uint32_t l) { OnHostMessage(t, d, l); }) < 0) return -1;
    m_controller.Start([this](uint16_t t, const uint8_t* d, uint32_t l) { return m_storage.Send(t, d, l); });
    return 0;
  }
  void Stop() {
    m_controller.Stop();
    m_storage.Stop();
  }
  // Waits for the next heartbeat order read from the disk.
  bool WaitForHeartBeat(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const int seen = m_heart_beats;
    return m_signal.wait_for(lock, timeout, [&] { return m_heart_beats > seen; });
  }
  uint64_t HostMessages() const { return m_storage.MessagesReceived(); }

 private:
  static SimDeviceOptions Options() {
    SimDeviceOptions o;
    o.status_interval_ms = 200;
    return o;
  }
  void OnHostMessage(uint16_t type, const uint8_t* data, uint32_t len) {
    m_controller.OnHostMessage(type, data, len);
    if (type == Order && len >= 4 && kestal::LoadU16(data + OrderLayout::kSubMsgType) == HeartBeat) {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_heart_beats;
      m_signal.notify_all();
    }
  }

  SimStorageDevice m_storage;
  SimDevice m_controller;
  std::mutex m_mutex;
  std::condition_variable m_signal;
  int m_heart_beats = 0;
};

// Messages that reach the application's receive callback.
struct AppReceiver {
  std::atomic<int> status_records{0};
  static void OnMessage(unsigned short type, unsigned char*, unsigned int len, void* user) {
    if (type == ControllerStatus && len >= ControllerStatusLayout::kLength)
      ++static_cast<AppReceiver*>(user)->status_records;
  }
};

// Times at which `message` is written for the 1st, 2nd, ... `count`th time from now on.
std::vector<steady_clock::time_point> TimesOf(const LogCapture& log, const std::string& message, int count,
                                              milliseconds timeout_each) {
  std::vector<steady_clock::time_point> times;
  const int before = log.Count(message);
  for (int i = 1; i <= count; ++i) {
    if (!log.WaitFor(message, timeout_each, before + i)) break;
    times.push_back(steady_clock::now());
  }
  return times;
}

class StorageReconnect : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = (std::filesystem::current_path() / "disk.img").string();
    KestalHostCommService& service = KestalHostCommService::GetInstance();
    service.SetCommType(HostCommDeviceStorage);
    service.SetRecvHostCommMsgCallBack(&AppReceiver::OnMessage, &m_app);
    KestalHostCommServiceAccess::Engine().m_comm_dev_via_storage.SetCandidatePaths({m_path});
  }
  void TearDown() override {
    KestalHostCommService::GetInstance().SetRecvHostCommMsgCallBack(nullptr, nullptr);
    KestalHostCommServiceAccess::Engine().m_comm_dev_via_storage.SetCandidatePaths({});
  }

  // Each retry follows the last after the one-second wait and the whole stop sequence.
  static void ExpectRetryPace(const std::vector<steady_clock::time_point>& times) {
    for (std::size_t i = 1; i < times.size(); ++i) {
      const auto gap = duration_cast<milliseconds>(times[i] - times[i - 1]);
      std::printf("retry %zu after %lld ms\n", i, static_cast<long long>(gap.count()));
      EXPECT_GE(gap.count(), 2150) << "retry " << i;
      EXPECT_LE(gap.count(), 8000) << "retry " << i;
    }
  }

  std::string m_path;
  AppReceiver m_app;
};

TEST_F(StorageReconnect, LostDiskIsReportedRetriedAndRestored) {
  ASSERT_FALSE(MakeImage("disk.img").empty());
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  LogCapture log;
  EventRecorder events;
  ASSERT_EQ(service.Start(), 0);
  EXPECT_EQ(events.Count(ConnectedOk), 1);
  EXPECT_FALSE(KestalHostCommServiceAccess::NeedReconnect());

  auto device = std::make_unique<Device>(m_path);
  ASSERT_EQ(device->Start(), 0);
  ASSERT_TRUE(device->WaitForHeartBeat(milliseconds(3000)));
  ASSERT_TRUE(log.WaitFor("Recv order to heart beat", milliseconds(3000)));
  const auto deadline = steady_clock::now() + seconds(5);
  while (m_app.status_records == 0 && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_GT(m_app.status_records.load(), 0);

  // The disk goes away just after a heartbeat was written, so the host's next transfer is a
  // read from the receive worker: it finds the disk's blocks gone.
  ASSERT_TRUE(device->WaitForHeartBeat(milliseconds(3000)));
  device->Stop();
  const std::string away = m_path + ".away";
  ASSERT_EQ(std::rename(m_path.c_str(), away.c_str()), 0);
  std::filesystem::resize_file(away, 0);
  ASSERT_TRUE(log.WaitFor("Storage read error", milliseconds(3000)));
  EXPECT_TRUE(log.WaitFor("ReadMsg FAILED", milliseconds(1000)));
  const std::vector<steady_clock::time_point> retries = TimesOf(log, "Reconnect device", 2, milliseconds(8000));
  ASSERT_EQ(retries.size(), 2u);
  ExpectRetryPace(retries);
  EXPECT_TRUE(log.WaitFor("Open device error", milliseconds(5000), 2));
  EXPECT_GE(events.Count(CommError), 1);
  EXPECT_GE(events.Count(NotConnected), 1);
  EXPECT_TRUE(KestalHostCommServiceAccess::NeedReconnect());

  // The disk comes back (empty, as a freshly started device presents it).
  const int ok_before = events.Count(ConnectedOk);
  ASSERT_FALSE(MakeImage("disk.img").empty());
  const auto back_deadline = steady_clock::now() + seconds(8);
  while (events.Count(ConnectedOk) == ok_before && steady_clock::now() < back_deadline)
    std::this_thread::sleep_for(milliseconds(20));
  ASSERT_GT(events.Count(ConnectedOk), ok_before);
  EXPECT_FALSE(KestalHostCommServiceAccess::NeedReconnect());
  EXPECT_EQ(KestalHostCommServiceAccess::Engine().m_comm_dev_via_storage.DevicePath(), m_path);

  // Messages flow both ways again.
  device = std::make_unique<Device>(m_path);
  ASSERT_EQ(device->Start(), 0);
  const int records_before = m_app.status_records;
  EXPECT_TRUE(device->WaitForHeartBeat(milliseconds(3000)));
  const auto flow_deadline = steady_clock::now() + seconds(5);
  while (m_app.status_records == records_before && steady_clock::now() < flow_deadline)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_GT(m_app.status_records.load(), records_before);

  const auto stop_start = steady_clock::now();
  EXPECT_EQ(service.Stop(), 0);
  EXPECT_GE(steady_clock::now() - stop_start, milliseconds(1000));
  device->Stop();
  EXPECT_FALSE(KestalHostCommServiceAccess::WorkersRunning());
}

TEST_F(StorageReconnect, MissingDiskAtStartIsTriedUntilItAppears) {
  std::remove(m_path.c_str());
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  LogCapture log;
  EventRecorder events;
  EXPECT_EQ(service.Start(), -1);
  EXPECT_TRUE(log.Contains("Open device error"));
  EXPECT_GE(events.Count(NotConnected), 1);
  const std::vector<steady_clock::time_point> retries = TimesOf(log, "Reconnect device", 3, milliseconds(8000));
  ASSERT_EQ(retries.size(), 3u);
  ExpectRetryPace(retries);
  EXPECT_EQ(events.Count(ConnectedOk), 0);

  ASSERT_FALSE(MakeImage("disk.img").empty());
  const auto deadline = steady_clock::now() + seconds(8);
  while (events.Count(ConnectedOk) == 0 && steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(events.Count(ConnectedOk), 1);
  // Connected: no more retries.
  const int retries_now = log.Count("Reconnect device");
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_EQ(log.Count("Reconnect device"), retries_now);
  // The host wrote the init records into the fresh disk.
  EXPECT_EQ(Peek(m_path, 0, 32), RecordBytes(0, 0x40000, 512, 0));
  EXPECT_EQ(Peek(m_path, 0x20000, 32), RecordBytes(0, 0x240000, 512, 0));
  EXPECT_EQ(service.Stop(), 0);
}

}  // namespace
