#include <pthread.h>

#include "AppCallbacks.h"

std::string ThisThreadName() {
  char name[16] = {};  // the most a thread's name holds, with its terminator
  return pthread_getname_np(pthread_self(), name, sizeof name) == 0 ? name : "";
}
