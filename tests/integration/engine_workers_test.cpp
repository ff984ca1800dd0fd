// The engine's own workers and routing, driven through its transports' queues.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
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
