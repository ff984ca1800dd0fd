// How long a transport's send may wait for room (a free send buffer) and what ends that wait
// early. The caller chooses it: a single order gives up almost at once, a firmware update waits
// while the link is up. The transport looks at the caller's stop flag but knows nothing of the
// caller.
#pragma once

#include <atomic>
#include <cstdint>

struct SendWait {
  // 0: a single order, which waits at most the transport's own short time for room. Above 0: one
  // message of a long transfer, which waits up to this many milliseconds for room (each message
  // afresh).
  int32_t max_wait_ms = 0;
  // Set by the caller when its stop begins; the wait then ends at once. May be null.
  const std::atomic<bool>* cancel = nullptr;

  bool Cancelled() const { return cancel && cancel->load(); }
};
