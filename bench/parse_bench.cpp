// The TCP transport's cutting of received bytes into frames: FrameStreamParser over a receive
// cache, driven as the transport's parse worker drives it. Each chunk is appended to a 4 MiB cache
// behind the bytes not yet consumed (as a read brings it), the unconsumed bytes are scanned in
// place, and the consumed front is reclaimed by moving the rest when too little room is left behind
// it. Every frame is copied into a buffer of a 256-buffer WorkFlowBufferQueue, as the transport's
// sink does when no frame sink is configured, and the queued frames are taken back after every
// chunk. Image pieces come in 64 KiB chunks, small frames in 4 KiB ones: a chunk holding more
// frames than the queue's 256 buffers would make the sink wait 50 ms for a free buffer that only
// the engine gives back. (The names are those of the benchmarks of HostCommViaNetwork::ParseChunk,
// which did the same through a transport never started.)
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/LittleEndian.h"
#include "transport/network/FrameCodec.h"
#include "common/WorkFlowBufferQueue.h"
#include "transport/network/FrameStreamParser.h"

namespace {

void Append(std::vector<uint8_t>& stream, uint16_t type, const std::vector<uint8_t>& payload) {
  const size_t at = stream.size();
  stream.resize(at + payload.size() + FrameCodec::kFrameOverhead);
  FrameCodec::Encode(type, payload.data(), static_cast<uint32_t>(payload.size()),
                     stream.data() + at,
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

// The receive cache and the message queue of the transport, without its sockets and threads.
class Receiver {
 public:
  Receiver() : m_cache(new uint8_t[kCapacity]()) { m_queue.Init(256); }
  ~Receiver() { m_queue.Deinit(); }

  void Receive(const uint8_t* data, uint32_t n) {
    if (kCapacity - m_end < n) {  // reclaim the consumed front
      std::memmove(m_cache.get(), m_cache.get() + m_begin, m_end - m_begin);
      m_end -= m_begin, m_begin = 0;
    }
    std::memcpy(m_cache.get() + m_end, data, n);
    m_end += n;
    m_begin += m_parser.Scan(
        m_cache.get() + m_begin, m_end - m_begin,
        [this](uint8_t* frame, uint32_t length) { return QueueFrame(frame, length); });
  }
  WorkFlowBufferQueue& Queue() { return m_queue; }

 private:
  static constexpr uint32_t kCapacity = 0x400000;
  bool QueueFrame(uint8_t* frame, uint32_t length) {
    WorkFlowBuffer* msg = m_queue.GetFree(50);
    if (!msg) return false;
    msg->bytes_used = length;
    std::memcpy(msg->data, frame, length);
    m_queue.PutFull(msg);
    return true;
  }

  std::unique_ptr<uint8_t[]> m_cache;
  uint32_t m_begin = 0, m_end = 0;
  WorkFlowBufferQueue m_queue;
  LinkHealth m_health;
  FrameStreamParser m_parser{{&m_health}};
};

void RunParse(benchmark::State& state, const std::vector<uint8_t>& stream, uint32_t chunk) {
  Receiver receiver;
  WorkFlowBufferQueue& queue = receiver.Queue();
  size_t pos = 0;
  int64_t bytes = 0, frames = 0;
  for (auto _ : state) {
    const uint32_t n =
        static_cast<uint32_t>(stream.size() - pos < chunk ? stream.size() - pos : chunk);
    receiver.Receive(stream.data() + pos, n);
    pos = (pos + n) % stream.size();
    bytes += n;
    while (WorkFlowBuffer* frame = queue.GetFull(-1)) {
      benchmark::DoNotOptimize(frame->data[frame->bytes_used - 1]);
      queue.PutFree(frame);
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
