#include "common/ByteSum.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestal {

uint32_t ByteSum(const uint8_t* data, uint32_t length) {
  uint64_t sum = 0;
  uint32_t i = 0;
#if defined(__SSE2__)
  // SAD against zero adds 16 bytes into two 64-bit lanes per instruction.
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  for (; i + 16 <= length; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    acc = _mm_add_epi64(acc, _mm_sad_epu8(v, zero));
  }
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
  sum = lanes[0] + lanes[1];
#endif
  for (; i < length; ++i) sum += data[i];
  return static_cast<uint32_t>(sum);
}

}  // namespace kestal
