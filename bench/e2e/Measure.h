// What the end-to-end figures are made of: clocks, CPU time, context switches, heap
// allocations, resident memory, percentiles, and the table and JSON of the results.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

int64_t NowNs();
void SleepMs(int64_t ms);
double Seconds(int64_t ns);

// User + system CPU seconds of the whole process, and of one thread.
double ProcessCpuSeconds();
double ThreadCpuSeconds(pthread_t thread);

// Heap allocations (malloc, calloc, realloc, aligned allocations; operator new among them) of the
// whole process since it started.
uint64_t Allocations();

// What a thread did so far: voluntary + involuntary context switches, and read system calls
// (reads of the disk image among them).
struct ThreadSample {
  std::string name;  // as the thread named itself, e.g. "kestal-io"
  uint64_t switches = 0, reads = 0;
};
// Every thread of the process, by thread id.
std::map<int, ThreadSample> SampleThreads();
// What the threads not in `excluded` did between two samples, summed by thread name (a thread that
// appeared in between counts whole).
std::map<std::string, ThreadSample> Between(const std::map<int, ThreadSample>& before,
                                            const std::map<int, ThreadSample>& after,
                                            const std::vector<int>& excluded);
int CurrentTid();

// VmRSS of the process in MiB.
double ResidentMiB();

// The value at `percent` of the sorted samples.
double Percentile(std::vector<double> samples, double percent);

struct Row {
  std::string figure;
  double value = 0;
  std::optional<double> baseline;
  bool has_ratio = true;  // value / baseline is shown
  std::string target;     // "reported" for figures without one
  bool met = true;
};

void PrintTable(const std::vector<Row>& rows);
bool WriteJson(const std::vector<Row>& rows, const std::string& path);

}  // namespace bench
