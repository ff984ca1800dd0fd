// kestal-bench: the library end to end against a device of its own on 127.0.0.1 and on a disk
// image, beside plain baselines measured in the same run. Prints a table, optionally writes it
// as JSON. Exit 0; 1 when a frame or message was lost or damaged or a phase could not run;
// 2 for bad arguments. Missed targets show in the table only.
//
// The service is one object per process: its phases run one after another, with Stop and Start
// between them.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "Measure.h"
#include "Phases.h"

namespace {

const char* const kUsage =
    "usage: kestal-bench [--only stream,orders,idle,storage|network|all] [--json FILE] [--quick]\n"
    "                    [--seconds N] [--rounds N] [--idle-seconds N] [--orders N] "
    "[--storage-count N]\n"
    "                    [--latency-count N]\n"
    "  --seconds N         streaming time per client (default 10)\n"
    "  --rounds N          turns the library and its baselines take in streaming and orders "
    "(default 2)\n"
    "  --idle-seconds N    idle window per client (default 30)\n"
    "  --orders N          order round trips per client (default 10000)\n"
    "  --storage-count N   storage messages per size at full rate (default 100000)\n"
    "  --latency-count N   storage messages per size sent one at a time (default 1000)\n"
    "  --quick             2 s in 1 round, 5 s, 2000 orders, 5000 and 300 storage messages\n";

bool ParseCount(const char* text, long max, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!text[0] || *end || v <= 0 || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bench::Options options;
  options.rss_at_start_mib = bench::ResidentMiB();
  std::set<std::string> phases = {"stream", "orders", "idle", "storage"};
  std::string json;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    if (arg == "--help") {
      std::printf("%s", kUsage);
      return 0;
    }
    if (arg == "--quick") {
      options.stream_seconds = 2, options.rounds = 1, options.idle_seconds = 5,
      options.orders = 2000;
      options.storage_count = 5000, options.latency_count = 300;
      continue;
    }
    if (!value) {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
    ++i;
    if (arg == "--json") {
      json = value;
    } else if (arg == "--only") {
      phases.clear();
      std::stringstream list(value);
      for (std::string name; std::getline(list, name, ',');) {
        if (name == "network")
          phases.insert({"stream", "orders", "idle"});
        else if (name == "all")
          phases.insert({"stream", "orders", "idle", "storage"});
        else if (name == "stream" || name == "orders" || name == "idle" || name == "storage")
          phases.insert(name);
        else {
          std::fprintf(stderr, "unknown phase: %s\n%s", name.c_str(), kUsage);
          return 2;
        }
      }
    } else if (arg == "--seconds" && ParseCount(value, 3600, &n)) {
      options.stream_seconds = static_cast<int>(n);
    } else if (arg == "--rounds" && ParseCount(value, 100, &n)) {
      options.rounds = static_cast<int>(n);
    } else if (arg == "--idle-seconds" && ParseCount(value, 3600, &n)) {
      options.idle_seconds = static_cast<int>(n);
    } else if (arg == "--orders" && ParseCount(value, 10000000, &n)) {
      options.orders = static_cast<uint32_t>(n);
    } else if (arg == "--storage-count" && ParseCount(value, 100000000, &n)) {
      options.storage_count = static_cast<uint32_t>(n);
    } else if (arg == "--latency-count" && ParseCount(value, 1000000, &n)) {
      options.latency_count = static_cast<uint32_t>(n);
    } else {
      std::fprintf(stderr, "bad argument: %s %s\n%s", arg.c_str(), value, kUsage);
      return 2;
    }
  }

  std::vector<bench::Row> rows;
  bool ok = true;
  const int64_t start = bench::NowNs();
  if (phases.count("stream")) ok = bench::RunStream(options, &rows) && ok;
  if (phases.count("orders")) ok = bench::RunRoundTrip(options, &rows) && ok;
  if (phases.count("idle")) ok = bench::RunIdle(options, &rows) && ok;
  if (phases.count("storage")) ok = bench::RunStorage(options, &rows) && ok;
  std::printf("\n");
  bench::PrintTable(rows);
  std::printf(
      "\n%s after %.0f s\n",
      ok ? "done" : "FAILED: a frame or message was lost or damaged, or a phase could not run",
      bench::Seconds(bench::NowNs() - start));
  if (!json.empty() && !bench::WriteJson(rows, json)) {
    std::fprintf(stderr, "cannot write %s\n", json.c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}
