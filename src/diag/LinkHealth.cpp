#include "diag/LinkHealth.h"

#include <cstdio>

namespace {
// Names and members in the order of the line.
struct Entry {
  const char* name;
  LinkHealth::Counter LinkHealth::*counter;
};
constexpr Entry kEntries[] = {
    {"bytes_in", &LinkHealth::bytes_in},
    {"bytes_out", &LinkHealth::bytes_out},
    {"frames_in", &LinkHealth::frames_in},
    {"frames_out", &LinkHealth::frames_out},
    {"checksum_errors", &LinkHealth::checksum_errors},
    {"resyncs", &LinkHealth::resyncs},
    {"bytes_skipped", &LinkHealth::bytes_skipped},
    {"oversize_frames", &LinkHealth::oversize_frames},
    {"reconnects", &LinkHealth::reconnects},
    {"heartbeats_sent", &LinkHealth::heartbeats_sent},
    {"orders_sent", &LinkHealth::orders_sent},
    {"orders_acked", &LinkHealth::orders_acked},
    {"last_rtt_us", &LinkHealth::last_rtt_us},
    {"image_frames", &LinkHealth::image_frames},
    {"image_frames_dropped", &LinkHealth::image_frames_dropped},
    {"records_skipped", &LinkHealth::records_skipped},
    {"recv_queue_high", &LinkHealth::recv_queue_high},
    {"send_queue_high", &LinkHealth::send_queue_high},
    {"messages_dropped", &LinkHealth::messages_dropped},
};
static_assert(sizeof kEntries / sizeof kEntries[0] == LinkHealth::kCounters, "every counter");
}  // namespace

void LinkHealth::CopyTo(uint64_t (&values)[kCounters]) const {
  for (size_t i = 0; i < kCounters; ++i) values[i] = Get(this->*kEntries[i].counter);
}

std::string LinkHealth::Line() const {
  LineBuffer line;
  return std::string(Write(line));
}

const char* LinkHealth::Write(LineBuffer& line) const {
  size_t at = 0;
  for (const Entry& e : kEntries) {
    const int n = std::snprintf(line + at, sizeof line - at, "%s%s=%llu", at ? " " : "", e.name,
                                static_cast<unsigned long long>(Get(this->*e.counter)));
    if (n < 0 || static_cast<size_t>(n) >= sizeof line - at) break;  // the buffer holds all 18
    at += static_cast<size_t>(n);
  }
  return line;
}

void LinkHealth::Reset() {
  for (const Entry& e : kEntries) Set(this->*e.counter, 0);
}
