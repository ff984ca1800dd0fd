// What loading the library costs a process before anything is started: the growth of VmSize and
// VmRSS across dlopen. The service object is built at load; its queues, pools and caches belong
// to Start, so loading must stay within a few MiB.
#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <string>

// One "Name:   1234 kB" line of /proc/self/status, in kB; -1 when missing.
static long StatusKb(const std::string& name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, name.size() + 1, name + ":") == 0)
      return std::stol(line.substr(name.size() + 1));
  return -1;
}

int main(int argc, char** argv) {
  const long size0 = StatusKb("VmSize"), rss0 = StatusKb("VmRSS");
  if (argc != 2 || size0 < 0 || rss0 < 0) return 2;
  if (!dlopen(argv[1], RTLD_NOW | RTLD_LOCAL)) return std::printf("%s\n", dlerror()), 2;
  const long size = StatusKb("VmSize") - size0, rss = StatusKb("VmRSS") - rss0;
  std::printf("load cost: VmSize +%ld kB (at most 4096), VmRSS +%ld kB (at most 2048)\n", size,
              rss);
  return size <= 4096 && rss <= 2048 ? 0 : 1;
}
