// The storage transport end to end against the simulated device on one disk image: the
// transport with the device's storage half directly (traffic both ways at once), and the
// protocol engine with the full simulated controller behind the mailbox.
#include <atomic>
#include <chrono>
#include <cstring>
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
#include "transport/storage/HostCommViaStorage.h"

using namespace storage_test;
using namespace std::chrono;

namespace {

// Message i: type 1 + i % 9, length 4 + i % 300, starting with i.
std::vector<uint8_t> Message(uint32_t i) {
  std::vector<uint8_t> v(4 + i % 300);
  for (std::size_t k = 0; k < v.size(); ++k) v[k] = static_cast<uint8_t>(i ^ (k * 13));
  kestal::StoreU32(v.data(), i);
  return v;
}
uint16_t MessageType(uint32_t i) { return static_cast<uint16_t>(1 + i % 9); }

// Checks that messages arrive as 0, 1, 2, ... with the right type and bytes.
class InOrderChecker {
 public:
  void Take(uint16_t type, const uint8_t* data, uint32_t len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint32_t expected = m_next;
    const std::vector<uint8_t> want = Message(expected);
    const bool ok = type == MessageType(expected) && len == want.size() && std::memcmp(data, want.data(), len) == 0;
    if (!ok) {
      if (m_first_error.empty())
        m_first_error = "expected message " + std::to_string(expected) + ", got type " + std::to_string(type) +
                        " len " + std::to_string(len) + " index " + std::to_string(len >= 4 ? kestal::LoadU32(data) : 0);
      ++m_errors;
    }
    ++m_next;
    m_count = m_next;
  }
  uint32_t Count() const { return m_count.load(); }
  std::string FirstError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_first_error;
  }
  int Errors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
  }

 private:
  mutable std::mutex m_mutex;
  uint32_t m_next = 0;
  std::atomic<uint32_t> m_count{0};
  int m_errors = 0;
  std::string m_first_error;
};

// The mailbox has no flow control: a writer more than a ring ahead of its reader overwrites
// what is unread. Senders here stay well within a ring.
constexpr uint32_t kMaxAhead = 1500;

TEST(StorageExchange, TenThousandMessagesEachWayConcurrently) {
  constexpr uint32_t kCount = 10000;
  const std::string path = MakeImage("disk.img");
  ASSERT_FALSE(path.empty());
  kestal::Log::SetLevel(kestal::LogLevel::Error);  // some 200,000 debug lines otherwise

  InOrderChecker at_device;
  InOrderChecker at_host;
  SimStorageDevice device(path);
  ASSERT_EQ(device.Open(), 0);
  HostCommViaStorage host;
  host.SetCandidatePaths({path});
  ASSERT_EQ(host.StartLoopRecv(), 0);
  ASSERT_EQ(device.Start([&](uint16_t type, const uint8_t* data, uint32_t len) { at_device.Take(type, data, len); }),
            0);

  const auto deadline = steady_clock::now() + seconds(60);
  std::atomic<bool> host_done{false};
  std::thread consumer([&] {
    while (!host_done) {
      WorkFlowBuffer* b = host.m_recv_msg_queue.GetFull(50);
      if (!b) continue;
      at_host.Take(static_cast<uint16_t>(b->msg_type), b->data, b->bytes_used);
      host.m_recv_msg_queue.PutFree(b);
      if (at_host.Count() == kCount) host_done = true;
    }
  });
  std::atomic<int> host_send_failures{0};
  std::thread host_sender([&] {
    for (uint32_t i = 0; i < kCount && steady_clock::now() < deadline; ++i) {
      while (i - at_device.Count() > kMaxAhead && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
      const std::vector<uint8_t> m = Message(i);
      if (host.SendOrder(MessageType(i), m.data(), static_cast<uint32_t>(m.size())) != 0) ++host_send_failures;
    }
  });
  int device_send_failures = 0;
  for (uint32_t i = 0; i < kCount && steady_clock::now() < deadline; ++i) {
    while (i - at_host.Count() > kMaxAhead && steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(1));
    const std::vector<uint8_t> m = Message(i);
    if (device.Send(MessageType(i), m.data(), static_cast<uint32_t>(m.size())) != 0) ++device_send_failures;
  }
  host_sender.join();
  while ((at_device.Count() < kCount || at_host.Count() < kCount) && steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(5));
  host_done = true;
  consumer.join();
  // Nothing more arrives after the last message: no duplicates trail behind.
  std::this_thread::sleep_for(milliseconds(30));
  device.Stop();
  host.StopLoopRecv();
  kestal::Log::SetLevel(kestal::LogLevel::Debug);

  EXPECT_EQ(host_send_failures, 0);
  EXPECT_EQ(device_send_failures, 0);
  EXPECT_EQ(at_device.Count(), kCount);
  EXPECT_EQ(at_host.Count(), kCount);
  EXPECT_EQ(at_device.Errors(), 0) << at_device.FirstError();
  EXPECT_EQ(at_host.Errors(), 0) << at_host.FirstError();
  EXPECT_EQ(host.m_recv_msg_queue.GetFull(-1), nullptr);
  EXPECT_EQ(device.Resyncs(), 0u);
  EXPECT_LT(steady_clock::now(), deadline);
}

// The protocol engine over the mailbox with the simulated controller behind it.
class EngineOverStorage : public ::testing::Test {
 protected:
  struct Received {
    uint16_t type;
    std::vector<uint8_t> data;
  };

  void SetUp() override {
    m_path = MakeImage("disk.img");
    ASSERT_FALSE(m_path.empty());
    SimDeviceOptions options;
    options.image_size = 200000;
    options.piece_data_len = 50000;
    options.frame_rate = 20.0;
    options.status_interval_ms = 200;
    m_device = std::make_unique<SimDevice>(options);
    m_storage = std::make_unique<SimStorageDevice>(m_path);
    ASSERT_EQ(m_storage->Open(), 0);
    m_engine.SetHostCommType(HostCommTypeStorage);
    m_engine.m_comm_dev_via_storage.SetCandidatePaths({m_path});
    m_engine.SetRecvMsgCallBack(&EngineOverStorage::OnMessage, this);
    ASSERT_EQ(m_engine.StartLoopRecv(), 0);
    ASSERT_EQ(m_storage->Start([this](uint16_t t, const uint8_t* d, uint32_t l) { m_device->OnHostMessage(t, d, l); }),
              0);
    m_device->Start([this](uint16_t t, const uint8_t* d, uint32_t l) { return m_storage->Send(t, d, l); });
  }

  void TearDown() override {
    if (m_device) m_device->Stop();
    if (m_storage) m_storage->Stop();
    m_engine.StopLoopRecv();
  }

  static void OnMessage(unsigned short type, unsigned char* data, unsigned int len, void* user) {
    auto* self = static_cast<EngineOverStorage*>(user);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_received.push_back({type, std::vector<uint8_t>(data, data + len)});
  }

  std::vector<Received> ReceivedOf(uint16_t type) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Received> out;
    for (const Received& r : m_received)
      if (r.type == type) out.push_back(r);
    return out;
  }

  template <typename Pred>
  bool WaitUntil(Pred pred, milliseconds timeout) {
    const auto end = steady_clock::now() + timeout;
    while (!pred()) {
      if (steady_clock::now() > end) return false;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
  }

  int SendOrder(uint16_t seq_no, uint16_t sub_type) {
    uint8_t order[OrderLayout::kHeaderLength] = {};
    kestal::StoreU16(order + OrderLayout::kSeqNo, seq_no);
    kestal::StoreU16(order + OrderLayout::kSubMsgType, sub_type);
    return m_engine.SendOrder(Order, order, sizeof order);
  }

  std::string m_path;
  HostCommProtocolImpl m_engine;
  std::unique_ptr<SimDevice> m_device;
  std::unique_ptr<SimStorageDevice> m_storage;
  std::mutex m_mutex;
  std::vector<Received> m_received;
};

TEST_F(EngineOverStorage, OrdersStatusAndImageFramesCrossTheMailbox) {
  LogCapture log;
  // The heartbeat worker's first order is acknowledged.
  ASSERT_TRUE(m_device->WaitForHostMessages(Order, 1, 3000));
  ASSERT_TRUE(log.WaitFor("Recv order to heart beat", milliseconds(3000)));
  // Controller status records arrive and are kept.
  ASSERT_TRUE(WaitUntil([&] { return ReceivedOf(ControllerStatus).size() >= 2; }, milliseconds(3000)));
  EXPECT_NE(m_engine.GetControllerStatus().time_ms, 0u);

  ASSERT_EQ(SendOrder(77, GetDeviceStaticInfo), 0);
  ASSERT_TRUE(log.WaitFor("Recv order to get device static info ACK:77", milliseconds(3000)));
  EXPECT_TRUE(log.WaitFor("Static fpga version:2.0.7.0012, app version:1.2.3.0045", milliseconds(1000)));

  ASSERT_EQ(SendOrder(78, StartScan), 0);
  ASSERT_TRUE(WaitUntil([&] { return ReceivedOf(OriginalImagePiece).size() >= 5; }, milliseconds(5000)));
  ASSERT_EQ(SendOrder(79, StopScan), 0);
  ASSERT_TRUE(log.WaitFor("Recv order to stop scan ACK:79", milliseconds(3000)));
  const std::vector<Received> frames = ReceivedOf(OriginalImagePiece);
  ASSERT_GE(frames.size(), 5u);
  uint32_t previous = 0;
  for (const Received& f : frames) {
    ASSERT_GE(f.data.size(), 4u);
    const uint32_t frame_no = kestal::LoadU32(f.data.data());
    EXPECT_GT(frame_no, previous);
    previous = frame_no;
    EXPECT_EQ(f.data, m_device->ExpectedFrame(frame_no, OriginalImagePiece)) << "frame " << frame_no;
  }
}

TEST_F(EngineOverStorage, FirmwareFileArrivesWhole) {
  std::vector<uint8_t> file(300000);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  EXPECT_EQ(m_engine.SendUpdateFirmware(2, file.data(), static_cast<uint32_t>(file.size())), 0);
  ASSERT_TRUE(WaitUntil([&] { return m_device->FirmwareComplete(); }, milliseconds(5000)));
  EXPECT_TRUE(m_device->FirmwareCheckOk());
  EXPECT_EQ(m_device->FirmwareImage(), file);
  // Progress comes back as update-firmware ACKs.
  EXPECT_TRUE(WaitUntil([&] { return !ReceivedOf(UpdateFirmware).empty(); }, milliseconds(3000)));
}

}  // namespace
