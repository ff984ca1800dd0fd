// The sum of a range's bytes, each taken unsigned, modulo 2^32: what the device calls the CRC of a
// network frame and the check of a firmware file.
#pragma once

#include <cstdint>

namespace kestal {

// Pure function; any thread.
uint32_t ByteSum(const uint8_t* data, uint32_t length);

}  // namespace kestal
