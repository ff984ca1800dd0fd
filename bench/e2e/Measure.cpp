#include "Measure.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <thread>

namespace {
std::atomic<uint64_t> g_allocations{0};
}

// Every heap allocation of the process is counted where it is made: malloc and its kin are
// interposed here (operator new, the C library and the library under test all end in them) and
// passed on to the C library's own allocator.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  *out = __libc_memalign(alignment, size);
  return *out ? 0 : ENOMEM;
}
void* aligned_alloc(size_t alignment, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, size);
}
}

namespace bench {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double Seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds(pthread_t thread) {
  clockid_t clock;
  timespec ts{};
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

uint64_t Allocations() { return g_allocations.load(std::memory_order_relaxed); }

int CurrentTid() { return static_cast<int>(syscall(SYS_gettid)); }

namespace {

// One number from a /proc file of the thread: the sum of the lines that begin with one of `keys`.
uint64_t SumOf(const char* path, std::initializer_list<const char*> keys) {
  FILE* f = std::fopen(path, "re");
  if (!f) return 0;
  uint64_t total = 0;
  char line[128];
  while (std::fgets(line, sizeof line, f)) {
    for (const char* key : keys) {
      const size_t n = std::strlen(key);
      if (std::strncmp(line, key, n) == 0) total += std::strtoull(line + n, nullptr, 10);
    }
  }
  std::fclose(f);
  return total;
}

}  // namespace

std::map<int, ThreadSample> SampleThreads() {
  std::map<int, ThreadSample> threads;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return threads;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char path[300];
    ThreadSample& t = threads[std::atoi(entry->d_name)];
    std::snprintf(path, sizeof path, "/proc/self/task/%s/status", entry->d_name);
    t.switches = SumOf(path, {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"});
    std::snprintf(path, sizeof path, "/proc/self/task/%s/io", entry->d_name);
    t.reads = SumOf(path, {"syscr:"});
    std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", entry->d_name);
    if (FILE* f = std::fopen(path, "re")) {
      char name[32] = {};
      if (std::fgets(name, sizeof name, f)) t.name.assign(name, std::strcspn(name, "\n"));
      std::fclose(f);
    }
  }
  closedir(dir);
  return threads;
}

std::map<std::string, ThreadSample> Between(const std::map<int, ThreadSample>& before,
                                            const std::map<int, ThreadSample>& after,
                                            const std::vector<int>& excluded) {
  std::map<std::string, ThreadSample> by_name;
  for (const auto& [tid, t] : after) {
    if (std::find(excluded.begin(), excluded.end(), tid) != excluded.end()) continue;
    const auto it = before.find(tid);
    ThreadSample& sum = by_name[t.name];
    sum.name = t.name;
    sum.switches += t.switches - (it == before.end() ? 0 : it->second.switches);
    sum.reads += t.reads - (it == before.end() ? 0 : it->second.reads);
  }
  return by_name;
}

double ResidentMiB() {
  FILE* f = std::fopen("/proc/self/status", "re");
  if (!f) return 0;
  char line[128];
  unsigned long long kib = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmRSS: %llu kB", &kib) == 1) break;
  std::fclose(f);
  return static_cast<double>(kib) / 1024.0;
}

double Percentile(std::vector<double> samples, double percent) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t at = static_cast<size_t>(percent / 100.0 * static_cast<double>(samples.size()));
  return samples[std::min(at, samples.size() - 1)];
}

namespace {

std::string Number(double v) {
  char text[32];
  if (v != 0 && std::fabs(v) < 0.01)
    std::snprintf(text, sizeof text, "%.4f", v);
  else
    std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

std::optional<double> Ratio(const Row& row) {
  if (!row.has_ratio || !row.baseline || *row.baseline == 0) return std::nullopt;
  return row.value / *row.baseline;
}

std::string JsonNumber(const std::optional<double>& v) {
  if (!v || !std::isfinite(*v)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", *v);
  return text;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

void PrintTable(const std::vector<Row>& rows) {
  std::printf("%-56s %12s %12s %8s  %-32s %s\n", "figure", "value", "baseline", "ratio", "target",
              "met");
  for (const Row& row : rows) {
    const std::optional<double> ratio = Ratio(row);
    std::printf("%-56s %12s %12s %8s  %-32s %s\n", row.figure.c_str(), Number(row.value).c_str(),
                row.baseline ? Number(*row.baseline).c_str() : "-",
                ratio ? Number(*ratio).c_str() : "-", row.target.c_str(), row.met ? "yes" : "NO");
  }
}

bool WriteJson(const std::vector<Row>& rows, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "[\n");
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const std::optional<double> ratio = Ratio(row);
    std::fprintf(f,
                 "  {\"figure\": %s, \"value\": %s, \"baseline\": %s, \"ratio\": %s, \"target\": "
                 "%s, \"met\": %s}%s\n",
                 JsonString(row.figure).c_str(), JsonNumber(row.value).c_str(),
                 JsonNumber(row.baseline).c_str(), JsonNumber(ratio).c_str(),
                 JsonString(row.target).c_str(), row.met ? "true" : "false",
                 i + 1 < rows.size() ? "," : "");
  }
  std::fprintf(f, "]\n");
  return std::fclose(f) == 0;
}

}  // namespace bench
