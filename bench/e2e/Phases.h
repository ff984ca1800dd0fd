// The figures, phase by phase: the library first, then its baselines against the same device.
// Each phase appends its rows and returns false when a frame or message was lost or damaged or
// the phase could not run at all (a missed target is only a row that is not met).
#pragma once

#include <cstdint>
#include <vector>

#include "Measure.h"

namespace bench {

struct Options {
  int stream_seconds = 10;  // per client, split over the rounds
  // The library and its baselines take turns this many times (streaming and orders), so that a
  // change in the machine's load hits them alike.
  int rounds = 2;
  int idle_seconds = 30;
  uint32_t orders = 10000;
  uint32_t storage_count = 100000;
  uint32_t latency_count = 1000;
  double rss_at_start_mib = 0;
};

bool RunStream(const Options& options, std::vector<Row>* rows);
bool RunRoundTrip(const Options& options, std::vector<Row>* rows);
bool RunIdle(const Options& options, std::vector<Row>* rows);
bool RunStorage(const Options& options, std::vector<Row>* rows);

}  // namespace bench
