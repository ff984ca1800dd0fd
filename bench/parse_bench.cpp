// The TCP transport's cutting of received chunks into frames (HostCommViaNetwork::ParseChunk on a
// transport never started), fed a chunk at a time as the receive chain reads them; the frames
// queued for the engine are taken back after every chunk. Image pieces come in 64 KiB chunks,
// small frames in 4 KiB ones: a chunk holding more frames than the message queue's 256 buffers
// would make ParseChunk wait 50 ms for a free buffer that only the engine gives back.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/LittleEndian.h"
#include "transport/network/FrameCodec.h"
#include "transport/network/HostCommViaNetwork.h"

namespace {

void Append(std::vector<uint8_t>& stream, uint16_t type, const std::vector<uint8_t>& payload) {
  const size_t at = stream.size();
  stream.resize(at + payload.size() + FrameCodec::kFrameOverhead);
  FrameCodec::Encode(type, payload.data(), static_cast<uint32_t>(payload.size()), stream.data() + at,
                     static_cast<uint32_t>(payload.size() + FrameCodec::kFrameOverhead));
}

// One 4 MiB image in the largest pieces (type 3, no checksum).
std::vector<uint8_t> ImageStream() {
  constexpr uint32_t kImage = 4194304, kPiece = 65428;
  std::vector<uint8_t> stream;
  for (uint32_t offset = 0; offset < kImage; offset += kPiece) {
    const uint32_t len = kImage - offset < kPiece ? kImage - offset : kPiece;
    std::vector<uint8_t> payload(92 + len, 0x5A);
    kestal::StoreU32(payload.data() + 76, kImage);
    kestal::StoreU32(payload.data() + 80, kImage);
    kestal::StoreU32(payload.data() + 84, offset);
    kestal::StoreU32(payload.data() + 88, len);
    Append(stream, 3, payload);
  }
  return stream;
}

// 4 MiB of small checksummed order ACKs (type 6).
std::vector<uint8_t> SmallStream(uint32_t payload_len) {
  std::vector<uint8_t> stream, payload(payload_len, 0x21);
  for (uint16_t seq = 0; stream.size() < 4194304; ++seq) {
    kestal::StoreU16(payload.data(), seq);
    Append(stream, 6, payload);
  }
  return stream;
}

void RunParse(benchmark::State& state, const std::vector<uint8_t>& stream, uint32_t chunk) {
  HostCommViaNetwork net;
  size_t pos = 0;
  int64_t bytes = 0, frames = 0;
  for (auto _ : state) {
    const uint32_t n = static_cast<uint32_t>(stream.size() - pos < chunk ? stream.size() - pos : chunk);
    net.ParseChunk(stream.data() + pos, n);
    pos = (pos + n) % stream.size();
    bytes += n;
    while (WorkFlowBuffer* frame = net.m_recv_msg_queue.GetFull(-1)) {
      benchmark::DoNotOptimize(frame->data[frame->bytes_used - 1]);
      net.m_recv_msg_queue.PutFree(frame);
      ++frames;
    }
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(frames);
  if (frames == 0) state.SkipWithError("no frame was cut from the stream");
}

}  // namespace

static void BM_ParseChunkImagePieces(benchmark::State& state) {
  static const std::vector<uint8_t> stream = ImageStream();
  RunParse(state, stream, 65536);
}
BENCHMARK(BM_ParseChunkImagePieces);

static void BM_ParseChunkSmallFrames(benchmark::State& state) {
  const std::vector<uint8_t> stream = SmallStream(static_cast<uint32_t>(state.range(0)));
  RunParse(state, stream, 4096);
}
BENCHMARK(BM_ParseChunkSmallFrames)->Arg(14)->Arg(64);
