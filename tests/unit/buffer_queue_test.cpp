#include <atomic>
#include <cstring>
#include <mutex>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/WorkFlowBufferQueue.h"

using namespace std::chrono;

namespace {
template <typename F>
milliseconds Elapsed(F&& f) {
  auto start = steady_clock::now();
  f();
  return duration_cast<milliseconds>(steady_clock::now() - start);
}
}  // namespace

TEST(WorkFlowBufferQueue, FreeBuffersComeInIndexOrderThenTimeouts) {
  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(4), 0);
  std::vector<WorkFlowBuffer*> got;
  for (int i = 0; i < 4; ++i) got.push_back(q.GetFree(0));
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(got[i], nullptr);
    EXPECT_EQ(got[i]->bytes_used, 0u);
    if (i > 0) {
      EXPECT_EQ(got[i]->data - got[i - 1]->data, 65536);
    }
  }
  WorkFlowBuffer* none = nullptr;
  auto waited = Elapsed([&] { none = q.GetFree(10); });
  EXPECT_EQ(none, nullptr);
  EXPECT_GE(waited.count(), 9);
  EXPECT_LT(waited.count(), 1000);
  waited = Elapsed([&] { none = q.GetFree(-1); });
  EXPECT_EQ(none, nullptr);
  EXPECT_LT(waited.count(), 5);
}

TEST(WorkFlowBufferQueue, FullListIsFirstInFirstOut) {
  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(3), 0);
  WorkFlowBuffer* a = q.GetFree(-1);
  WorkFlowBuffer* b = q.GetFree(-1);
  WorkFlowBuffer* c = q.GetFree(-1);
  q.PutFull(b);
  q.PutFull(a);
  q.PutFull(c);
  EXPECT_EQ(q.GetFull(-1), b);
  EXPECT_EQ(q.GetFull(-1), a);
  EXPECT_EQ(q.GetFull(-1), c);
  EXPECT_EQ(q.GetFull(-1), nullptr);
  // Returned buffers come back after the ones never taken, in return order.
  q.PutFree(c);
  q.PutFree(a);
  EXPECT_EQ(q.GetFree(-1), c);
  EXPECT_EQ(q.GetFree(-1), a);
}

TEST(WorkFlowBufferQueue, UninitialisedQueueNeverWaits) {
  WorkFlowBufferQueue never;
  auto waited = Elapsed([&] {
    EXPECT_EQ(never.GetFree(0), nullptr);
    EXPECT_EQ(never.GetFull(100), nullptr);
  });
  EXPECT_LT(waited.count(), 50);

  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(2), 0);
  WorkFlowBuffer* held = q.GetFree(-1);
  q.Deinit();
  q.PutFull(held);  // ignored
  EXPECT_EQ(q.GetFull(0), nullptr);
  EXPECT_EQ(q.GetFree(0), nullptr);
}

TEST(WorkFlowBufferQueue, EmptyPoolWaitsUntilDeinit) {
  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(0), 0);
  EXPECT_EQ(q.GetFree(-1), nullptr);
  auto waited = Elapsed([&] { EXPECT_EQ(q.GetFull(20), nullptr); });
  EXPECT_GE(waited.count(), 19);

  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    EXPECT_EQ(q.GetFull(0), nullptr);
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(returned);
  q.Deinit();
  waiter.join();
  EXPECT_TRUE(returned);
}

TEST(WorkFlowBufferQueue, BlockedGetIsWokenByPutAndByDeinit) {
  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(1), 0);
  WorkFlowBuffer* b = q.GetFree(-1);
  WorkFlowBuffer* got = nullptr;
  std::thread consumer([&] { got = q.GetFull(0); });
  std::this_thread::sleep_for(milliseconds(30));
  b->bytes_used = 5;
  q.PutFull(b);
  consumer.join();
  EXPECT_EQ(got, b);

  std::thread waiter([&] { got = q.GetFree(0); });  // the only buffer is held: waits
  std::this_thread::sleep_for(milliseconds(30));
  q.Deinit();
  waiter.join();
  EXPECT_EQ(got, nullptr);
}

TEST(WorkFlowBufferQueue, OversizeBytesUsedIsCutWithAnErrorLine) {
  LogCapture log;
  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(2), 0);
  WorkFlowBuffer* b = q.GetFree(-1);
  b->bytes_used = 70000;
  q.PutFull(b);
  EXPECT_EQ(q.GetFull(-1)->bytes_used, 65536u);
  ASSERT_EQ(log.Count("ERROR, bytes used:70000 is large than malloc buffer size:65536\n"), 1);
  EXPECT_EQ(log.Lines().back().level, kestal::LogLevel::Error);
  EXPECT_EQ(log.Lines().back().function, "WorkFlowBufferQueue::PutFull");

  WorkFlowBuffer* exact = q.GetFree(-1);
  exact->bytes_used = 65536;
  q.PutFull(exact);
  EXPECT_EQ(q.GetFull(-1)->bytes_used, 65536u);
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST(WorkFlowBufferQueue, RefusesPoolsOf65536BuffersOrMore) {
  WorkFlowBufferQueue q;
  EXPECT_EQ(q.Init(65536), -1);
  EXPECT_EQ(q.GetFree(-1), nullptr);
}

// Several producers and consumers pass numbered messages through a small pool; every
// message arrives exactly once and every buffer returns to the pool.
TEST(WorkFlowBufferQueue, ConcurrentProducersAndConsumersLoseAndDuplicateNothing) {
  constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 20000;
  WorkFlowBufferQueue q;
  ASSERT_EQ(q.Init(8), 0);
  std::atomic<int> consumed{0};
  std::vector<std::vector<int>> seen(kConsumers);

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer;) {
        WorkFlowBuffer* b = q.GetFree(5);
        if (!b) continue;
        int value = p * kPerProducer + i;
        std::memcpy(b->data, &value, sizeof value);
        b->bytes_used = sizeof value;
        q.PutFull(b);
        ++i;
      }
    });
  }
  std::mutex seen_mutex;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      while (consumed.load() < kProducers * kPerProducer) {
        WorkFlowBuffer* b = q.GetFull(5);
        if (!b) continue;
        int value;
        ASSERT_EQ(b->bytes_used, sizeof value);
        std::memcpy(&value, b->data, sizeof value);
        {
          std::lock_guard<std::mutex> lock(seen_mutex);
          seen[c].push_back(value);
          ++consumed;
        }
        q.PutFree(b);
      }
    });
  }
  for (auto& t : threads) t.join();

  std::set<int> all;
  size_t total = 0;
  for (auto& v : seen) {
    total += v.size();
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(total, static_cast<size_t>(kProducers * kPerProducer));
  EXPECT_EQ(all.size(), static_cast<size_t>(kProducers * kPerProducer));
  // Every buffer is back on the free list.
  int free_count = 0;
  while (q.GetFree(-1)) ++free_count;
  EXPECT_EQ(free_count, 8);
}
