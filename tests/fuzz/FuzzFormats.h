// Input layouts of the fuzz programs, read by the fuzzers with FuzzReader and written by
// kestal-fuzz-seeds with Put. All fields little-endian.
// stream_fuzz: u8 chunk seed, then segments: u8 kind; odd: a frame: u16 type, u16 payload length,
//   the payload; even: garbage: u8 count, that many bytes, then (kind >> 1) & 7 bytes FF.
// dealmsg_fuzz: messages: u8 pick; below kDealImagePick: type kDealTypes[pick % 9], u16 length,
//   the payload; else a whole image frame: u8 (odd: type 8, even: 3), u16 image size, u8 pieces,
//   the image bytes.
// mailbox_fuzz: u8 mode (odd: start at the run info that follows, even: reposition), u16 next
//   slot, u64 seq_no, u16 last slot, u64 last seq_no, kMailboxSummaryBytes summary bytes (laid
//   over the ring's last block, then its start), then the bytes at the start of the data ring.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kDealImagePick = 224;
constexpr uint16_t kDealTypes[9] = {YImage, OriginalImagePiece, WriteConfig,         ReadConfig,
                                    Order,  ControllerStatus,   YOriginalImagePiece, UpdateFirmware,
                                    0x5A};  // 0x5A: unknown
constexpr uint32_t kMailboxLead = 512, kMailboxSummaryBytes = kMailboxLead + 2048;

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct FuzzReader {  // bytes past the end of the input read as 0
  const uint8_t* m_data;
  size_t m_left;
  const uint8_t* Take(size_t& n) {  // the next n bytes, n cut to what is left
    n = std::min(n, m_left);
    m_left -= n;
    return (m_data += n) - n;
  }
  template <typename T>
  T Get() {
    uint8_t bytes[8] = {};
    size_t n = sizeof(T);
    std::memcpy(bytes, Take(n), n);
    return static_cast<T>(kestal::LoadU64(bytes));
  }
};

inline void Put(Bytes&) {}
// Each field little-endian, a Bytes field as it is.
template <typename T, typename... More>
void Put(Bytes& out, const T& field, const More&... more) {
  if constexpr (std::is_same_v<T, Bytes>)
    out.insert(out.end(), field.begin(), field.end());
  else
    for (size_t i = 0; i < sizeof(T); ++i)
      out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(field) >> 8 * i));
  Put(out, more...);
}
inline uint16_t Len16(const Bytes& b) { return static_cast<uint16_t>(b.size()); }

// The pieces (type 3 or 8) of one image frame: the 80-byte image header (zero but its image size
// field), the image size, the piece's offset and length, its share of `image`. As many pieces as
// asked, at most one a byte.
inline std::vector<Bytes> BuildImagePieces(const Bytes& image, uint32_t pieces) {
  using L = ImagePieceLayout;
  static_assert(L::kImageSize == L::kHeaderImageSize + 4 && L::kPieceData == L::kImageSize + 12,
                "fields in a row");
  const uint32_t size = static_cast<uint32_t>(image.size());
  pieces = std::max(1u, std::min(pieces, size));
  std::vector<Bytes> out(pieces, Bytes(L::kHeaderImageSize));
  for (uint32_t k = 0; k < pieces; ++k) {
    const uint32_t begin = uint64_t{size} * k / pieces, end = uint64_t{size} * (k + 1) / pieces;
    Put(out[k], size, size, begin, end - begin, Bytes(image.begin() + begin, image.begin() + end));
  }
  return out;
}
