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

// Calls of the global operator new since the program started.
uint64_t Allocations();

// Voluntary + involuntary context switches of every thread of the process, by thread id.
std::map<int, uint64_t> TaskSwitches();
// Switches between two samples, over the threads not in `excluded` (a thread that appeared in
// between counts whole).
uint64_t SwitchesBetween(const std::map<int, uint64_t>& before,
                         const std::map<int, uint64_t>& after, const std::vector<int>& excluded);
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
