// One send that never blocks, on a connected TCP socket that the io worker also uses, without
// touching the socket's mode or the io worker's state: what SendOrder's own write needs of the
// platform.
// SendNowPosix.cpp sends with MSG_DONTWAIT. SendNowWin32.cpp sends nothing: Winsock has no such
// flag, and a socket switched to non-blocking mode changes how its pending overlapped writes end
// when it is closed (a stop could wait for the device to read them); there the send chain writes
// every order.
//
// Thread safety: any thread, while the caller keeps the socket from being closed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestal {

// The bytes of [data, data + len) that the socket took at once: 0 when it is full or the platform
// cannot send without blocking, -1 on an error (which the next write on the socket meets again).
long SendNow(intptr_t handle, const uint8_t* data, size_t len);

}  // namespace kestal
