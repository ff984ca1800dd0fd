// The engine's own workers and routing, driven through its transports' queues.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "StorageTestImage.h"
#include "service/ServiceGlobals.h"
#include "transport/storage/SummaryRecord.h"
#include "protocol/HostCommProtocolImpl.h"
#include "transport/network/FrameCodec.h"

using namespace std::chrono;

namespace {

struct Forwarded {
  std::atomic<int> calls{0};
  std::atomic<uint16_t> last_type{0};
  std::atomic<uint32_t> last_len{0};
};

void OnRecv(unsigned short type, unsigned char*, unsigned int len, void* user) {
  auto* f = static_cast<Forwarded*>(user);
  f->last_type = type;
  f->last_len = len;
  ++f->calls;
}

// Puts one frame on the network transport's queue of received frames, as its parser would.
void InjectFrame(HostCommProtocolImpl& engine, uint16_t type, const std::vector<uint8_t>& payload) {
  WorkFlowBuffer* b = engine.m_comm_dev_via_network.m_recv_msg_queue.GetFree(100);
  ASSERT_NE(b, nullptr);
  int32_t n = FrameCodec::Encode(type, payload.data(), static_cast<uint32_t>(payload.size()), b->data, 65536);
  ASSERT_GT(n, 0);
  b->bytes_used = static_cast<uint32_t>(n);
  engine.m_comm_dev_via_network.m_recv_msg_queue.PutFull(b);
}

}  // namespace

TEST(EngineWorkers, ATypeThatNamesNoTransportStartsNothing) {
  LogCapture log;
  HostCommProtocolImpl engine;
  engine.SetHostCommType(2);
  EXPECT_EQ(engine.StartLoopRecv(), -1);
  uint8_t order[8] = {};
  EXPECT_EQ(engine.SendOrder(6, order, 8), -1);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(log.Contains("StartLoopRecv failed:-1"));
  EXPECT_TRUE(log.Contains("Not support host communication type:2"));
  EXPECT_FALSE(log.Contains("loop recv thread started, comm_type:2"));
  EXPECT_FALSE(log.Contains("loop send_heart_beat thread started"));
  engine.StopLoopRecv();
}

TEST(EngineWorkers, NetworkFramesWithEmptyPayloadReachNobody) {
  LogCapture log;
  HostCommProtocolImpl engine;
  Forwarded fwd;
  engine.SetRecvMsgCallBack(&OnRecv, &fwd);
  // Nothing listens on this loopback port: the transport keeps trying, the engine runs.
  engine.m_comm_dev_via_network.m_device_ip_type1 = "127.0.0.1";
  engine.m_device_port_type1 = 9;
  engine.SetHostCommType(1);
  ASSERT_EQ(engine.StartLoopRecv(), 0);
  EXPECT_TRUE(log.WaitFor("loop send_heart_beat thread started", seconds(2)));

  InjectFrame(engine, 6, {});  // empty payload: dropped
  std::vector<uint8_t> ack(10, 0);
  ack[2] = 1;                    // start-scan ACK
  InjectFrame(engine, 6, ack);   // proves the worker went on
  for (int i = 0; i < 50 && fwd.calls.load() == 0; ++i) std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(fwd.calls.load(), 1);
  EXPECT_EQ(fwd.last_type.load(), 6);
  EXPECT_EQ(fwd.last_len.load(), 10u);
  EXPECT_TRUE(log.Contains("Recv order to start scan ACK:0"));

  auto begin = steady_clock::now();
  engine.StopLoopRecv();
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begin).count(), 5000);
  EXPECT_TRUE(log.Contains("loop recv thread stopped"));
  EXPECT_TRUE(log.Contains("loop send_heart_beat thread stopped"));
}

namespace {

// A message of the host-to-device ring of a disk image, read back from the file.
struct ImageMessage {
  bool valid = false;
  uint16_t msg_type = 0;
  std::vector<uint8_t> data;
};

ImageMessage ReadHostMessage(const std::string& image, uint32_t slot) {
  ImageMessage m;
  auto rec = storage_test::Peek(image, slot * SummaryRecord::kSize, SummaryRecord::kSize);
  if (rec.size() != SummaryRecord::kSize || !SummaryRecord::IsValid(rec.data())) return m;
  SummaryRecord r = SummaryRecord::Decode(rec.data());
  m.valid = true;
  m.msg_type = r.msg_type;
  m.data = storage_test::Peek(image, r.start, r.data_len);
  return m;
}

struct ConnectCheck {
  std::string image;
  std::atomic<int> connected_events{0};
  std::atomic<bool> order_was_on_disk{false};
};

// Runs on the thread that reports the good connection, inside StartLoopRecv.
void OnConnectEvent(HostCommDeviceEvent event, const char*, void* user) {
  auto* check = static_cast<ConnectCheck*>(user);
  if (event != ConnectedOk) return;
  ++check->connected_events;
  // Slot 0 holds the init message; the comm-type order must already be in slot 1.
  ImageMessage m = ReadHostMessage(check->image, 1);
  check->order_was_on_disk = m.valid && m.msg_type == 6 && m.data.size() == 12 && m.data[2] == 70 &&
                             m.data[8] == 0;  // comm type 0: storage
}

}  // namespace

// Over the storage transport, whose writes are synchronous, the order of events is visible on
// the disk: the comm-type order is written before the device-event callback runs, and the
// first heartbeat follows as soon as the engine has started.
TEST(EngineWorkers, StorageStartSendsCommTypeBeforeTheEventAndAHeartbeatAtOnce) {
  LogCapture log;
  ConnectCheck check;
  check.image = storage_test::MakeImage("engine.img");
  ASSERT_FALSE(check.image.empty());
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  service.SetDeviceEventCallBack(&OnConnectEvent, &check);
  HostCommProtocolImpl& engine = KestalHostCommServiceAccess::Engine();
  Forwarded fwd;
  service.SetRecvHostCommMsgCallBack(&OnRecv, &fwd);
  engine.m_comm_dev_via_storage.SetCandidatePaths({check.image});
  engine.SetHostCommType(0);

  ASSERT_EQ(engine.StartLoopRecv(), 0);
  EXPECT_EQ(check.connected_events.load(), 1);
  EXPECT_TRUE(check.order_was_on_disk.load());
  ImageMessage heartbeat;
  for (int i = 0; i < 50 && !heartbeat.valid; ++i) {
    heartbeat = ReadHostMessage(check.image, 2);
    if (!heartbeat.valid) std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_TRUE(heartbeat.valid) << "no heartbeat within 500 ms of the start";
  EXPECT_EQ(heartbeat.msg_type, 6);
  EXPECT_EQ(heartbeat.data.size(), 8u);
  EXPECT_EQ(std::vector<uint8_t>(heartbeat.data.begin() + 2, heartbeat.data.end()), std::vector<uint8_t>(6, 0));

  // A storage message of 0 bytes reaches nobody; the next one does.
  WorkFlowBufferQueue& queue = engine.m_comm_dev_via_storage.m_recv_msg_queue;
  WorkFlowBuffer* empty = queue.GetFree(100);
  ASSERT_NE(empty, nullptr);
  empty->bytes_used = 0;
  empty->msg_type = 6;
  queue.PutFull(empty);
  WorkFlowBuffer* ack = queue.GetFree(100);
  ASSERT_NE(ack, nullptr);
  std::memset(ack->data, 0, 10);
  ack->data[2] = 2;  // stop-scan ACK
  ack->bytes_used = 10;
  ack->msg_type = 6;
  queue.PutFull(ack);
  for (int i = 0; i < 50 && fwd.calls.load() == 0; ++i) std::this_thread::sleep_for(milliseconds(20));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(fwd.calls.load(), 1);
  EXPECT_EQ(fwd.last_len.load(), 10u);

  engine.StopLoopRecv();
  service.SetDeviceEventCallBack(nullptr, nullptr);
  service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
}
