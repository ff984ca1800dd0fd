// Throughput of the checksum every received byte passes through, and of frame validation.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "transport/network/FrameCodec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

static void BM_CalcCrc(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
  for (auto _ : state)
    benchmark::DoNotOptimize(FrameCodec::CalcCrc(data.data(), static_cast<uint32_t>(data.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CalcCrc)->Arg(64)->Arg(4096)->Arg(65520);

// The plain byte loop, for comparison with the vectorised sum.
static void BM_CalcCrcScalarReference(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 7);
  for (auto _ : state) {
    uint32_t sum = 0;
    const volatile uint8_t* p = data.data();
    for (size_t i = 0; i < data.size(); ++i) sum += p[i];
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CalcCrcScalarReference)->Arg(65520);

#if defined(__SSE2__)
// The bare SAD-against-zero loop over the same bytes: what CalcCrc should come close to.
static void BM_CalcCrcSse2Reference(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
  const __m128i zero = _mm_setzero_si128();
  for (auto _ : state) {
    __m128i acc = zero;
    size_t i = 0;
    for (; i + 16 <= data.size(); i += 16)
      acc = _mm_add_epi64(
          acc,
          _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data.data() + i)), zero));
    uint64_t sum = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
                   static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
    for (; i < data.size(); ++i) sum += data[i];
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CalcCrcSse2Reference)->Arg(65520);
#endif

static void BM_CheckFrame(benchmark::State& state) {
  std::vector<uint8_t> payload(65520, 3), frame(65536);
  FrameCodec::Encode(6, payload.data(), 65520, frame.data(), 65536);
  for (auto _ : state) benchmark::DoNotOptimize(FrameCodec::Check(frame.data(), 65536, 65536));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65536);
}
BENCHMARK(BM_CheckFrame);
