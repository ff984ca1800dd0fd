#include <sys/socket.h>

#include <cerrno>

#include "transport/network/SendNow.h"

namespace kestal {

long SendNow(intptr_t handle, const uint8_t* data, size_t len) {
  for (;;) {
    const ssize_t n = ::send(static_cast<int>(handle), data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

}  // namespace kestal
