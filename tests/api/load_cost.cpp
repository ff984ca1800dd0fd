// What loading the library costs a process before anything is started: the growth of its address
// space (VmSize) and of its resident memory (VmRSS) across dlopen. The service object is built at
// load; its queues, pools and caches belong to Start, so loading must stay within a few MiB.
#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

constexpr long kMaxVmSizeGrowthKb = 4096;
constexpr long kMaxVmRssGrowthKb = 2048;

// One "Name:   1234 kB" line of /proc/self/status, in kB; -1 when missing.
long StatusKb(const std::string& name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, name.size() + 1, name + ":") == 0)
      return std::stol(line.substr(name.size() + 1));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const long size_before = StatusKb("VmSize"), rss_before = StatusKb("VmRSS");
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::printf("cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  const long size_after = StatusKb("VmSize"), rss_after = StatusKb("VmRSS");
  if (size_before < 0 || rss_before < 0 || size_after < 0 || rss_after < 0) return 2;
  const long size_growth = size_after - size_before, rss_growth = rss_after - rss_before;
  std::printf(
      "load cost: VmSize %ld -> %ld kB (+%ld kB, at most %ld), VmRSS %ld -> %ld kB "
      "(+%ld kB, at most %ld)\n",
      size_before, size_after, size_growth, kMaxVmSizeGrowthKb, rss_before, rss_after, rss_growth,
      kMaxVmRssGrowthKb);
  return size_growth <= kMaxVmSizeGrowthKb && rss_growth <= kMaxVmRssGrowthKb ? 0 : 1;
}
