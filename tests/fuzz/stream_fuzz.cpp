// Fuzzes the TCP receive stream: frames and garbage cut into random chunks and fed to
// FrameStreamParser as the transport feeds it: the bytes it left unconsumed, then the next chunk,
// in one exactly sized block (so that a look past the valid bytes is an overflow). The sink has
// room for a random number of frames per scan, as the message queue has. Checks that the sink gets
// exactly the encoded frames, byte for byte, each once, in order, and that only the trailing FF
// bytes (which may yet begin a frame) are left unconsumed.
#include <cstdint>
#include <memory>

#include "FuzzFormats.h"
#include "transport/network/FrameCodec.h"
#include "transport/network/FrameStreamParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in{data, size};
  uint32_t rng = in.Get<uint8_t>() * 2654435761u + 1;
  Bytes stream;
  std::vector<std::pair<size_t, uint32_t>> frames;  // offset and length of each encoded frame
  size_t ff_run = 0;
  while (in.m_left > 0) {
    const uint8_t kind = in.Get<uint8_t>();
    const uint16_t type = (kind & 1) ? in.Get<uint16_t>() : 0;
    size_t n = (kind & 1) ? std::min<size_t>(in.Get<uint16_t>(), FrameCodec::kMaxPayloadLength)
                          : in.Get<uint8_t>();
    const uint8_t* bytes = in.Take(n);
    if (kind & 1) {
      stream.insert(stream.end(), ff_run, 0xFF);
      frames.emplace_back(stream.size(), n + FrameCodec::kFrameOverhead);
      stream.resize(stream.size() + frames.back().second);
      // No device type has a low byte 0: a frame of such a type may hold another in its header
      // (FrameInsideHeader).
      FrameCodec::Encode(type & 0xFF ? type : type | 1, bytes, n, &stream[frames.back().first],
                         frames.back().second);
      ff_run = 0;
    } else {
      for (size_t i = 0; i < n; ++i) stream.push_back(bytes[i] == 0xFF ? 0xFE : bytes[i]);
      // FF bytes go only right before a frame or at the end: followed by garbage they make a header
      // whose length holds back all behind it until that many bytes came, as it must.
      ff_run = (kind >> 1) & 7;
    }
  }
  stream.insert(stream.end(), ff_run, 0xFF);
  // A whole valid frame starting among the garbage (a stray FF heading a longer frame whose
  // checksum the fuzzer matched) makes the stream ambiguous: no parser can tell, so it is no test.
  for (size_t at = 0, f = 0; at < stream.size(); ++at) {
    if (f < frames.size() && at == frames[f].first)
      at += frames[f++].second - 1;
    else if (FrameCodec::IsFrameAt(&stream[at], static_cast<uint32_t>(stream.size() - at)))
      return 0;
  }
  size_t next = 0;    // the frame expected next
  uint32_t room = 0;  // frames the sink still takes in this scan
  auto sink = [&](uint8_t* frame, uint32_t length) {
    if (room == 0) return false;
    --room;
    if (next == frames.size() || length != frames[next].second ||
        std::memcmp(frame, &stream[frames[next].first], length) != 0)
      Fail("a frame came out that is not the next one encoded");
    ++next;
    return true;
  };
  FrameStreamParser parser;
  Bytes kept;
  auto scan = [&](const uint8_t* chunk, size_t n) {
    const size_t total = kept.size() + n;
    std::unique_ptr<uint8_t[]> block(new uint8_t[total ? total : 1]);
    if (!kept.empty()) std::memcpy(block.get(), kept.data(), kept.size());
    if (n) std::memcpy(block.get() + kept.size(), chunk, n);
    const uint32_t used = parser.Scan(block.get(), static_cast<uint32_t>(total), sink);
    if (used > total) Fail("the parser consumed more bytes than it was given");
    kept.assign(block.get() + used, block.get() + total);
  };
  for (size_t at = 0; at < stream.size();) {
    // Chunks of 1..4096 bytes, small ones as likely as large ones.
    rng = rng * 1103515245u + 12345u;
    const size_t chunk =
        std::min<size_t>(1 + (((rng >> 4) % 4096) >> ((rng >> 27) % 13)), stream.size() - at);
    room = (rng & 8) ? 1 + (rng >> 17) % 300 : UINT32_MAX;  // a queue that fills up now and then
    scan(&stream[at], chunk);
    at += chunk;
  }
  for (room = UINT32_MAX; parser.FramesWaiting();) scan(nullptr, 0);  // the queue empties at last
  if (next != frames.size()) Fail("an encoded frame never came out");
  if (kept.size() != ff_run)
    Fail("the parser leaves more or less than the trailing FF bytes unconsumed");
  return 0;
}
