#include "SimLog.h"

#include <cstdarg>
#include <cstdio>

void SimLog(const char* format, ...) {
  char line[512] = "kestal-devsim: ";
  constexpr int kPrefix = 15;
  constexpr int kRoom = static_cast<int>(sizeof line) - kPrefix - 1;  // and the line end
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line + kPrefix, kRoom, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > kRoom - 1) n = kRoom - 1;  // cut short
  n += kPrefix;
  line[n++] = '\n';
  std::fwrite(line, 1, static_cast<size_t>(n), stderr);  // one write a line: threads never mix
  // Redirected to a file, Windows' C runtime buffers stderr: the line is out before anything can
  // end the simulator.
  std::fflush(stderr);
}
