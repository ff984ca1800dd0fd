#include "Measure.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

namespace {
std::atomic<uint64_t> g_allocations{0};
}

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

std::map<int, uint64_t> TaskSwitches() {
  std::map<int, uint64_t> switches;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return switches;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char path[300], line[128];
    std::snprintf(path, sizeof path, "/proc/self/task/%s/status", entry->d_name);
    FILE* f = std::fopen(path, "re");
    if (!f) continue;
    uint64_t total = 0;
    while (std::fgets(line, sizeof line, f)) {
      unsigned long long n = 0;
      if (std::sscanf(line, "voluntary_ctxt_switches: %llu", &n) == 1 ||
          std::sscanf(line, "nonvoluntary_ctxt_switches: %llu", &n) == 1)
        total += n;
    }
    std::fclose(f);
    switches[std::atoi(entry->d_name)] = total;
  }
  closedir(dir);
  return switches;
}

uint64_t SwitchesBetween(const std::map<int, uint64_t>& before,
                         const std::map<int, uint64_t>& after, const std::vector<int>& excluded) {
  uint64_t sum = 0;
  for (const auto& [tid, count] : after) {
    if (std::find(excluded.begin(), excluded.end(), tid) != excluded.end()) continue;
    auto it = before.find(tid);
    const uint64_t start = it == before.end() ? 0 : it->second;
    sum += count >= start ? count - start : 0;
  }
  return sum;
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
