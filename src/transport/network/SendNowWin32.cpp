#include "transport/network/SendNow.h"

namespace kestal {

long SendNow(intptr_t, const uint8_t*, size_t) { return 0; }

}  // namespace kestal
