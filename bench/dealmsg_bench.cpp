// The engine's handling of image pieces (HostCommProtocolImpl::DealMsg, type 3): each piece of a
// 4 MiB frame in the largest pieces is copied into the frame buffer, and the whole frame is
// forwarded to the receive callback.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/LittleEndian.h"
#include "protocol/HostCommProtocolImpl.h"

namespace {

constexpr uint32_t kImage = 4194304, kPiece = 65428;

std::vector<uint8_t> Piece(uint32_t offset, uint32_t len) {
  std::vector<uint8_t> p(92 + len);
  const uint32_t fields[] = {kImage, kImage, offset, len};
  for (int i = 0; i < 4; ++i) kestal::StoreU32(p.data() + 76 + 4 * i, fields[i]);
  for (uint32_t i = 0; i < len; ++i) p[92 + i] = static_cast<uint8_t>((offset + i) * 7);
  return p;
}

}  // namespace

static void BM_DealMsgImagePiece(benchmark::State& state) {
  static HostCommProtocolImpl engine;
  static int64_t forwarded = 0;
  engine.SetRecvMsgCallBack(
      [](unsigned short, unsigned char* data, unsigned int len, void*) {
        benchmark::DoNotOptimize(data[len - 1]);
        ++forwarded;
      },
      nullptr);
  std::vector<std::vector<uint8_t>> pieces;
  for (uint32_t offset = 0; offset < kImage; offset += kPiece)
    pieces.push_back(Piece(offset, kImage - offset < kPiece ? kImage - offset : kPiece));
  const int64_t before = forwarded;
  size_t next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& piece = pieces[next];
    engine.DealMsg(3, piece.data(), static_cast<uint32_t>(piece.size()));
    engine.DeliverWaiting();
    bytes += static_cast<int64_t>(piece.size()) - 92;
    next = next + 1 == pieces.size() ? 0 : next + 1;
  }
  state.SetBytesProcessed(bytes);
  state.counters["frames"] = static_cast<double>(forwarded - before);
  if (state.iterations() >= static_cast<int64_t>(pieces.size()) && forwarded == before)
    state.SkipWithError("no frame was forwarded");
}
BENCHMARK(BM_DealMsgImagePiece);
