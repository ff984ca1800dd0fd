// The buffer pool between the library's threads: list order, limits, waits, and many threads at
// once; the delivery queue between the reading side and the receive worker.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/WorkFlowBufferQueue.h"
#include "diag/LinkHealth.h"
#include "protocol/DeliveryQueue.h"

using namespace std::chrono;

TEST(WorkFlowBufferQueue, ListOrderLimitsAndWaits) {
  WorkFlowBufferQueue q, too_many, never;
  EXPECT_EQ(too_many.Init(65536), -1);
  // No pool: nothing waits.
  EXPECT_TRUE(!too_many.GetFree(-1) && !never.GetFree(0) && !never.GetFull(0));
  ASSERT_EQ(q.Init(3), 0);
  WorkFlowBuffer* b[3] = {q.GetFree(-1), q.GetFree(-1), q.GetFree(-1)};  // in index order
  ASSERT_TRUE(b[0] && b[1] && b[2] && b[2]->bytes_used == 0);
  EXPECT_TRUE(b[1]->data - b[0]->data == 65536 && b[2]->data - b[1]->data == 65536);
  const auto start = steady_clock::now();
  EXPECT_EQ(q.GetFree(20), nullptr);
  EXPECT_GE(steady_clock::now() - start, 19ms);
  LogCapture log;
  b[1]->bytes_used = 70000, b[0]->bytes_used = 65536;
  for (int i : {1, 0, 2}) q.PutFull(b[i]);
  for (int i : {1, 0, 2}) EXPECT_EQ(q.GetFull(-1), b[i]);
  EXPECT_EQ(b[1]->bytes_used, 65536u);  // cut, with an error line
  const std::string cut = "ERROR, bytes used:70000 is large than malloc buffer size:65536\n";
  EXPECT_EQ(log.Messages(), std::vector<std::string>{cut});
  for (int i : {2, 0}) q.PutFree(b[i]);
  for (int i : {2, 0}) EXPECT_EQ(q.GetFree(-1), b[i]);
  // Gets without limit: woken by a put, and (both lists empty) by Deinit.
  std::atomic<int> woken{0};
  std::thread consumer([&] { woken += q.GetFull(0) == b[2]; });
  std::this_thread::sleep_for(30ms);
  q.PutFull(b[2]);
  consumer.join();
  std::thread free_waiter([&] { woken += !q.GetFree(0); }),
      full_waiter([&] { woken += !q.GetFull(0); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(woken, 1);
  q.Deinit();
  free_waiter.join(), full_waiter.join();
  EXPECT_EQ(woken, 3);
  q.PutFull(b[2]);  // ignored after Deinit
  EXPECT_EQ(q.GetFull(0), nullptr);
}

// Four producers, three consumers, eight buffers: every message arrives once, every buffer returns.
TEST(WorkFlowBufferQueue, ConcurrentProducersAndConsumersLoseAndDuplicateNothing) {
  constexpr int kTotal = 40000;
  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(8), 0);
  std::vector<std::atomic<int>> hits(kTotal);
  std::atomic<int> next{0}, received{0};
  const auto deadline = steady_clock::now() + 30s;  // a lost or doubled message fails, never hangs
  auto produce = [&] {
    for (int value = next++; value < kTotal && steady_clock::now() < deadline;) {
      if (WorkFlowBuffer* b = q.GetFree(5)) {
        std::memcpy(b->data, &value, sizeof value);
        b->bytes_used = sizeof value;
        q.PutFull(b);
        value = next++;
      }
    }
  };
  auto consume = [&] {
    while (received < kTotal && steady_clock::now() < deadline) {
      if (WorkFlowBuffer* b = q.GetFull(5)) {
        int value;
        std::memcpy(&value, b->data, sizeof value);
        if (b->bytes_used == sizeof value && value >= 0 && value < kTotal) ++hits[value];
        q.PutFree(b);
        ++received;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 7; ++i)
    threads.push_back(i < 4 ? std::thread(produce) : std::thread(consume));
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), kTotal);
  int free_count = 0;
  while (q.GetFree(-1)) ++free_count;
  EXPECT_EQ(free_count, 8);
}

// The hand-over from the reading side to the receive worker: one sequence in arrival order; a slow
// application costs the oldest waiting frames, never the frame it holds; messages that find no room
// are refused and counted; a message across the ring's end comes out whole.
TEST(DeliveryQueue, ArrivalOrderOldestWaitingFrameDroppedHeldFrameKeptMessagesBounded) {
  LinkHealth health;
  DeliveryQueue q(&health);
  q.Reserve(8, 3, 64);
  std::vector<std::string> got;  // "type:bytes" per delivery
  const DeliveryQueue::DeliverFn record = [&](const DeliveryQueue::Item& item) {
    got.push_back(std::to_string(item.type) + ":" +
                  std::string(reinterpret_cast<const char*>(item.data), item.len));
  };
  const auto frame = [&](const char* text) {
    std::memcpy(q.FrameBuffer(), text, 2);
    q.PushFrame(3, 1, 2);
  };
  const auto message = [&](const std::string& text) {
    return q.PushMessage(6, reinterpret_cast<const uint8_t*>(text.data()),
                         static_cast<uint32_t>(text.size()));
  };
  uint8_t buffer[DeliveryQueue::kMaxMessage];
  const auto deliver_all = [&] {
    while (q.DeliverNext(0, buffer, record)) {
    }
  };
  EXPECT_TRUE(message("m1"));
  for (const char* f : {"F1", "F2"}) frame(f);
  EXPECT_TRUE(message(std::string(30, 'a')));
  for (const char* f : {"F3", "F4"}) frame(f);  // three buffers: F1, then F2 give theirs up
  EXPECT_FALSE(message(std::string(40, 'b')));  // 2 + 30 + 40 bytes exceed the ring's 64
  EXPECT_EQ(q.Waiting(), 6u);
  deliver_all();
  EXPECT_EQ(got, (std::vector<std::string>{"6:m1", "6:" + std::string(30, 'a'), "3:F3", "3:F4"}));
  EXPECT_TRUE(LinkHealth::Get(health.image_frames_dropped) == 2 &&
              LinkHealth::Get(health.messages_dropped) == 1 &&
              LinkHealth::Get(health.recv_queue_high) == 6);
  // While the application holds a frame, the reading side assembles only in the other buffers.
  frame("H1");
  got.clear();
  q.DeliverNext(0, buffer, [&](const DeliveryQueue::Item& held) {
    for (const char* f : {"G1", "G2", "G3", "G4"}) {
      EXPECT_NE(q.FrameBuffer(), held.data);
      frame(f);
    }
    record(held);
  });
  EXPECT_TRUE(message(std::string(50, 'c')));  // past the ring's end: 72 bytes went through it
  deliver_all();
  EXPECT_EQ(got, (std::vector<std::string>{"3:H1", "3:G4", "6:" + std::string(50, 'c')}));
  // A stop: a waiting receive worker returns at once, and nothing waiting survives.
  frame("S1");
  q.DropWaiting();
  std::thread stopper([&] { std::this_thread::sleep_for(50ms), q.Interrupt(); });
  const auto start = steady_clock::now();
  EXPECT_FALSE(q.DeliverNext(10000, buffer, record));
  EXPECT_LT(steady_clock::now() - start, 5s);
  stopper.join();
}
