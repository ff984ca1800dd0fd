// Names the library's threads, so that a debugger, `top -H` or /proc/PID/task/*/comm tells them
// apart ("kestal-io", "kestal-parse", ...). Names longer than 15 characters are cut.
#pragma once

#include <string>

namespace kestal {

// Names the calling thread; silently does nothing where the platform cannot.
void NameThisThread(const char* name);
// The calling thread's name; empty where the platform keeps none.
std::string ThisThreadName();

}  // namespace kestal
