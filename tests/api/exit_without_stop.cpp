// A host that starts the library and returns from main without kestal_stop, as many do: the
// process must end all the same, with the library's workers in their waits and its link retrying.
#include <chrono>
#include <cstdio>
#include <thread>

#include "kestal/kestal_c.h"

int main() {
  kestal_set_event_callback([](int, const char* text, void*) { std::printf("event: %s\n", text); },
                            nullptr);
  if (kestal_set_network_endpoint(KESTAL_COMM_NETWORK, "127.0.0.1", 9) != 0)
    return 2;  // nothing listens there
  kestal_set_comm_type(KESTAL_COMM_NETWORK);
  kestal_start();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  return 0;
}
