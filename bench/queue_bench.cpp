// One buffer's trip through the pool every hand-over between the library's threads makes:
// GetFree, PutFull, GetFull, PutFree (uncontended, one thread).
#include <benchmark/benchmark.h>

#include "common/WorkFlowBufferQueue.h"

static void BM_QueueRoundTrip(benchmark::State& state) {
  WorkFlowBufferQueue queue;
  if (queue.Init(256) != 0) {
    state.SkipWithError("Init failed");
    return;
  }
  const int32_t wait_ms = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    WorkFlowBuffer* buffer = queue.GetFree(wait_ms);
    buffer->bytes_used = 64;
    queue.PutFull(buffer);
    WorkFlowBuffer* full = queue.GetFull(wait_ms);
    benchmark::DoNotOptimize(full->bytes_used);
    queue.PutFree(full);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
// -1: the io worker's non-waiting gets; 50: the parse worker's bounded wait (never taken here).
BENCHMARK(BM_QueueRoundTrip)->Arg(-1)->Arg(50);
