#include "Phases.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "Baselines.h"
#include "Device.h"
#include "Library.h"
#include "devsim/SimStorageDevice.h"
#include "kestal/KestalHostCommService.h"
#include "kestal/kestal_c.h"
#include "protocol/HostCommMsg.h"
#include "transport/storage/VolumeArea.h"

namespace bench {

namespace {

constexpr int64_t kWarmupMs = 1000;
constexpr uint32_t kWarmupOrders = 200;
constexpr int64_t kStorageIdleMs = 3000;
constexpr double kMB = 1e6;

// The process's CPU time beside that of the device thread and of this (the measuring) thread.
struct Usage {
  int64_t ns;
  double process_cpu, other_cpu;
  uint64_t allocations;
};

Usage Mark(BenchDevice& device) {
  return {NowNs(), ProcessCpuSeconds(),
          ThreadCpuSeconds(device.Thread()) + ThreadCpuSeconds(pthread_self()), Allocations()};
}

double CpuBetween(const Usage& a, const Usage& b) {
  return (b.process_cpu - a.process_cpu) - (b.other_cpu - a.other_cpu);
}

Row Relative(std::string figure, double value, double baseline, std::string target, bool met) {
  return Row{std::move(figure), value, baseline, true, std::move(target), met};
}
// A figure with a fixed target: its ratio to the baseline means nothing.
Row Absolute(std::string figure, double value, double baseline, std::string target, bool met) {
  return Row{std::move(figure), value, baseline, false, std::move(target), met};
}

// What a stream client delivered over its windows, summed over the rounds.
struct StreamTotals {
  double mb = 0, seconds = 0, cpu_seconds = 0;
  // faults: frames lost without a count, or damaged; dropped: frames the library dropped for an
  // application that had not taken the earlier ones yet, and counted (image_frames_dropped).
  uint64_t allocations = 0, frames = 0, faults = 0, dropped = 0;
  double MBPerSecond() const { return seconds > 0 ? mb / seconds : 0; }
  double CpuMsPerMB() const { return mb > 0 ? cpu_seconds * 1e3 / mb : 0; }
  double AllocationsPerFrame() const {
    return frames ? static_cast<double>(allocations) / frames : 0;
  }
};

// Measures a running client for `ms` after a warm-up; `count` gives image bytes and frames so far.
template <typename Count>
void Window(BenchDevice& device, int64_t ms, Count count, StreamTotals* totals) {
  SleepMs(kWarmupMs);
  const Usage a = Mark(device);
  const std::pair<uint64_t, uint64_t> ca = count();
  SleepMs(ms);
  const Usage b = Mark(device);
  const std::pair<uint64_t, uint64_t> cb = count();
  totals->mb += static_cast<double>(cb.first - ca.first) / kMB;
  totals->seconds += Seconds(b.ns - a.ns);
  totals->cpu_seconds += CpuBetween(a, b);
  totals->allocations += b.allocations - a.allocations;
  totals->frames += cb.second - ca.second;
}

bool StreamToLibrary(int64_t ms, StreamTotals* totals, double* rss) {
  Library& library = Library::Get();
  BenchDevice device(DeviceMode::Stream);
  FrameTally tally;
  library.DeliverFramesTo(&tally);
  const uint64_t comm_errors = library.CommErrors();
  const bool started = device.Start() && library.StartNetwork(device.Port());
  if (started) {
    Window(
        device, ms, [&] { return std::make_pair(tally.ImageBytes(), tally.Frames()); }, totals);
    *rss = ResidentMiB();
    library.Stop();
  }
  library.DeliverFramesTo(nullptr);
  kestal_health health{};
  kestal_get_health(&health);  // this session's, until the next start
  const uint64_t dropped = started ? health.image_frames_dropped : 0;
  totals->dropped += dropped;
  totals->faults += (tally.Lost() > dropped ? tally.Lost() - dropped : 0) + tally.Damaged();
  std::printf(
      "[stream] library: %llu frames, %llu lost (%llu of them dropped and counted by the library), "
      "%llu damaged, %llu Comm Error events\n",
      static_cast<unsigned long long>(tally.Frames()),
      static_cast<unsigned long long>(tally.Lost()), static_cast<unsigned long long>(dropped),
      static_cast<unsigned long long>(tally.Damaged()),
      static_cast<unsigned long long>(library.CommErrors() - comm_errors));
  return started;
}

bool StreamToPlainClient(bool parse, int64_t ms, StreamTotals* totals) {
  BenchDevice device(DeviceMode::Stream);
  if (!device.Start()) return false;
  StreamClient client(device.Port(), parse);
  if (!client.Start()) return false;
  Window(
      device, ms,
      [&] {
        return parse
                   ? std::make_pair(client.Tally().ImageBytes(), client.Tally().Frames())
                   : std::make_pair(static_cast<uint64_t>(client.WireBytes() * ImageShareOfWire()),
                                    uint64_t{0});
      },
      totals);
  client.Stop();
  if (parse)
    totals->faults += client.Tally().Lost() + client.Tally().Damaged() + client.BadPieces();
  return true;
}

}  // namespace

bool RunStream(const Options& options, std::vector<Row>* rows) {
  StreamTotals lib, raw, one;
  double rss = 0;
  const int64_t ms = int64_t{options.stream_seconds} * 1000 / options.rounds;
  for (int round = 0; round < options.rounds; ++round) {
    if (!StreamToLibrary(ms, &lib, &rss) || !StreamToPlainClient(false, ms, &raw) ||
        !StreamToPlainClient(true, ms, &one))
      return false;
  }
  std::printf("[stream] library %.1f MB/s, recv loop %.1f MB/s, one-copy parser %.1f MB/s\n",
              lib.MBPerSecond(), raw.MBPerSecond(), one.MBPerSecond());
  const double ratio = raw.MBPerSecond() > 0 ? lib.MBPerSecond() / raw.MBPerSecond() : 0;
  rows->push_back(Relative("network: frames delivered, MB/s", lib.MBPerSecond(), raw.MBPerSecond(),
                           ">= 0.85 x baseline", ratio >= 0.85));
  rows->push_back(Relative("network: one-copy parser, MB/s", one.MBPerSecond(), raw.MBPerSecond(),
                           "reported", true));
  rows->push_back(Relative("network: CPU ms per MB delivered", lib.CpuMsPerMB(), raw.CpuMsPerMB(),
                           "<= 1.6 x baseline", lib.CpuMsPerMB() <= 1.6 * raw.CpuMsPerMB()));
  rows->push_back(Relative("network: one-copy parser CPU ms per MB", one.CpuMsPerMB(),
                           raw.CpuMsPerMB(), "reported", true));
  rows->push_back(Absolute("network: frames lost or damaged", static_cast<double>(lib.faults),
                           static_cast<double>(one.faults), "= 0", lib.faults == 0));
  rows->push_back(Absolute("network: frames dropped for the application, counted",
                           static_cast<double>(lib.dropped), 0, "reported", true));
  rows->push_back(Absolute("heap allocations per frame (streaming)", lib.AllocationsPerFrame(),
                           one.AllocationsPerFrame(), "= 0", lib.allocations == 0));
  rows->push_back(Relative("resident memory after streaming, MiB", rss, options.rss_at_start_mib,
                           "reported", true));
  return lib.faults == 0 && one.faults == 0 && lib.frames > 0;
}

namespace {

// One order at a time through the service, each timed until its ACK reaches the receive callback
// (`request` false) or until kestal_request returns with it (`request` true: the thread that read
// the ACK wakes the caller).
bool LibraryRoundTrips(bool request, uint32_t count, std::vector<double>* us, uint64_t* allocations,
                       uint64_t* unanswered) {
  Library& library = Library::Get();
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  BenchDevice device(DeviceMode::Answer);
  AckWaiter acks;
  library.DeliverAcksTo(&acks);
  if (!device.Start() || !library.StartNetwork(device.Port())) {
    library.DeliverAcksTo(nullptr);
    return false;
  }
  SleepMs(500);
  uint8_t order[OrderLayout::kHeaderLength] = {};
  order[OrderLayout::kSubMsgType] = GetFpgaTemp;
  uint64_t before = 0;
  for (uint32_t i = 0; i < kWarmupOrders + count; ++i) {
    if (i == kWarmupOrders) before = Allocations();
    int64_t start = NowNs(), arrived = -1;
    if (request) {
      kestal_ack ack;
      if (kestal_request(GetFpgaTemp, nullptr, 0, 1000, &ack) == KESTAL_OK) arrived = NowNs();
    } else {
      const uint16_t seq_no = service.GetMsgSeqNo();
      order[0] = static_cast<uint8_t>(seq_no);
      order[1] = static_cast<uint8_t>(seq_no >> 8);
      acks.Expect(seq_no);
      start = NowNs();
      arrived = service.SendHostCommMsg(Order, order, sizeof order) == 0 ? acks.Wait(1000) : -1;
    }
    if (arrived < 0)
      ++*unanswered;
    else if (i >= kWarmupOrders)
      us->push_back(static_cast<double>(arrived - start) / 1e3);
  }
  *allocations += Allocations() - before;
  library.Stop();
  library.DeliverAcksTo(nullptr);
  return true;
}

}  // namespace

bool RunRoundTrip(const Options& options, std::vector<Row>* rows) {
  std::vector<double> lib_us, callback_us, plain_us;
  lib_us.reserve(options.orders);
  callback_us.reserve(options.orders);
  plain_us.reserve(options.orders);
  uint64_t unanswered = 0, lib_allocations = 0, plain_allocations = 0;
  const uint32_t per_round = std::max<uint32_t>(1, options.orders / options.rounds);
  for (int round = 0; round < options.rounds; ++round) {
    if (!LibraryRoundTrips(true, per_round, &lib_us, &lib_allocations, &unanswered) ||
        !LibraryRoundTrips(false, per_round, &callback_us, &lib_allocations, &unanswered))
      return false;
    BenchDevice device(DeviceMode::Answer);
    if (!device.Start()) return false;
    const uint64_t before = Allocations();
    if (!PlainRoundTrips(device.Port(), kWarmupOrders, per_round, &plain_us)) ++unanswered;
    plain_allocations += Allocations() - before;
  }
  const double lib_p50 = Percentile(lib_us, 50), lib_p99 = Percentile(lib_us, 99);
  const double plain_p50 = Percentile(plain_us, 50), plain_p99 = Percentile(plain_us, 99);
  const double cb_p50 = Percentile(callback_us, 50), cb_p99 = Percentile(callback_us, 99);
  std::printf(
      "[orders] kestal_request p50 %.1f us p99 %.1f us; to the receive callback p50 %.1f us p99 "
      "%.1f us; plain p50 %.1f us p99 %.1f us; %llu without ACK\n",
      lib_p50, lib_p99, cb_p50, cb_p99, plain_p50, plain_p99,
      static_cast<unsigned long long>(unanswered));
  const double orders = static_cast<double>(per_round) * options.rounds * 2;
  rows->push_back(Relative("order round trip p50, us", lib_p50, plain_p50, "<= baseline + 15 us",
                           lib_p50 <= plain_p50 + 15));
  rows->push_back(Relative("order round trip p99, us", lib_p99, plain_p99, "<= baseline + 60 us",
                           lib_p99 <= plain_p99 + 60));
  rows->push_back(Relative("order round trip to the receive callback p50, us", cb_p50, plain_p50,
                           "reported", true));
  rows->push_back(Relative("order round trip to the receive callback p99, us", cb_p99, plain_p99,
                           "reported", true));
  rows->push_back(
      Absolute("orders without ACK", static_cast<double>(unanswered), 0, "= 0", unanswered == 0));
  rows->push_back(Absolute(
      "heap allocations per order round trip", static_cast<double>(lib_allocations) / orders,
      static_cast<double>(plain_allocations) / orders, "= 0", lib_allocations == 0));
  return unanswered == 0;
}

namespace {

struct IdleRun {
  double cpu_percent = 0, wakeups_per_s = 0, allocations_per_s = 0;
};

IdleRun IdleWindow(BenchDevice& device, int seconds, const char* who) {
  const std::map<int, ThreadSample> before = SampleThreads();
  const Usage a = Mark(device);
  const uint64_t answered = device.OrdersAnswered();
  SleepMs(int64_t{seconds} * 1000);
  const Usage b = Mark(device);
  const std::map<int, ThreadSample> after = SampleThreads();
  const double s = Seconds(b.ns - a.ns);
  const std::map<std::string, ThreadSample> threads =
      Between(before, after, {device.Tid(), CurrentTid()});
  IdleRun run;
  run.cpu_percent = std::max(
      0.0, CpuBetween(a, b) / s * 100);  // the clocks' granularity can leave a trace below 0
  for (const auto& [name, t] : threads) run.wakeups_per_s += static_cast<double>(t.switches) / s;
  run.allocations_per_s = static_cast<double>(b.allocations - a.allocations) / s;
  std::printf(
      "[idle] %s: %.3f %% of a core, %.1f wake-ups/s, %llu orders answered by the device; per "
      "thread:",
      who, run.cpu_percent, run.wakeups_per_s,
      static_cast<unsigned long long>(device.OrdersAnswered() - answered));
  for (const auto& [name, t] : threads)
    std::printf(" %s %.1f", name.c_str(), static_cast<double>(t.switches) / s);
  std::printf("\n");
  return run;
}

}  // namespace

bool RunIdle(const Options& options, std::vector<Row>* rows) {
  Library& library = Library::Get();
  IdleRun lib, plain;
  {
    BenchDevice device(DeviceMode::Answer);
    if (!device.Start() || !library.StartNetwork(device.Port())) return false;
    SleepMs(3000);
    lib = IdleWindow(device, options.idle_seconds, "library");
    library.Stop();
  }
  {
    BenchDevice device(DeviceMode::Answer);
    if (!device.Start()) return false;
    IdleSocket socket(device.Port());
    if (!socket.Start()) return false;
    SleepMs(kWarmupMs);
    plain = IdleWindow(device, options.idle_seconds, "plain socket");
  }
  rows->push_back(Absolute("idle: CPU % of one core", lib.cpu_percent, plain.cpu_percent,
                           "<= 0.08 %", lib.cpu_percent <= 0.08));
  rows->push_back(Absolute("idle: wake-ups per second", lib.wakeups_per_s, plain.wakeups_per_s,
                           "<= 8 /s", lib.wakeups_per_s <= 8));
  rows->push_back(Absolute("heap allocations per second idle", lib.allocations_per_s,
                           plain.allocations_per_s, "= 0", lib.allocations_per_s == 0));
  return true;
}

namespace {

// Reads of the disk per second by the library's mailbox reader (its thread "kestal-disk") between
// two samples.
double MailboxReadsPerSecond(const std::map<int, ThreadSample>& before,
                             const std::map<int, ThreadSample>& after, int64_t ns) {
  const std::map<std::string, ThreadSample> threads = Between(before, after, {});
  const auto it = threads.find("kestal-disk");
  return it == threads.end() ? 0 : static_cast<double>(it->second.reads) / Seconds(ns);
}

struct StorageRun {
  double per_second = 0;
  double reads_per_second =
      0;  // the mailbox reader's reads of the disk while the rate was measured
  double writer_per_second = 0;  // the device's bursts alone: messages / time spent inside SendMany
  std::vector<double> latencies_us;
  std::vector<double>
      after_write_us;  // the same less the device's Send: from the record on the disk on
  uint64_t faults = 0;
};

// `latency_count` messages one at a time, then `count` with at most a window of them unread.
bool StorageMessages(SimStorageDevice& device, StorageSink& sink, uint32_t size,
                     const Options& options, StorageRun* run) {
  std::vector<uint8_t> payload = StorageSink::Payload(size);
  sink.Reset(size, options.latency_count);
  uint64_t sent = 0;
  int64_t send_ns = 0, last_send_ns = 0;
  auto send = [&] {
    const int64_t start = NowNs();
    StorageSink::Stamp(payload.data(), sent, start);
    ++sent;
    const bool written = device.Send(Order, payload.data(), size) == 0;
    last_send_ns = NowNs() - start;
    send_ns += last_send_ns;
    return written;
  };
  bool ok = true;
  std::vector<double> send_us;
  send_us.reserve(options.latency_count);
  sink.RecordLatencies(true);
  for (uint32_t i = 0; ok && i < options.latency_count; ++i) {
    ok = send() && sink.WaitReceived(sent, 1000);
    send_us.push_back(static_cast<double>(last_send_ns) / 1e3);
  }
  sink.RecordLatencies(false);
  run->latencies_us = sink.TakeLatenciesUs();
  for (size_t i = 0; i < run->latencies_us.size() && i < send_us.size(); ++i)
    run->after_write_us.push_back(run->latencies_us[i] - send_us[i]);
  send_ns = 0;
  const VolumeArea& area = kVolumeAreas[kVolumeTypeDeviceToHost];
  const uint64_t window = std::min<uint64_t>(1024, area.DataSize() / RoundUpToBlock(size) / 4);
  const uint64_t first = sent;
  const std::map<int, ThreadSample> threads_before = SampleThreads();
  const int64_t start = NowNs();
  // The rate: the device writes bursts (SendMany: the data of a burst in one write, its records in
  // another), as a device with a queue of messages would, so that the writer is not what is
  // measured.
  const uint32_t burst = size <= 512 ? 64 : 16;
  std::vector<std::vector<uint8_t>> burst_payloads(burst, payload);
  std::vector<SimStorageDevice::Message> messages(burst);
  for (uint64_t i = 0; ok && i < options.storage_count;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(burst, options.storage_count - i));
    if (sent + n - sink.Count(sent).received > window)
      ok = sink.WaitReceived(sent + n - window, 5000);
    const int64_t t = NowNs();
    for (uint32_t k = 0; k < n; ++k) {
      StorageSink::Stamp(burst_payloads[k].data(), sent + k, t);
      messages[k] = {burst_payloads[k].data(), size};
    }
    ok = ok && device.SendMany(Order, messages.data(), n) == 0;
    send_ns += NowNs() - t;
    sent += n;
    i += n;
  }
  ok = ok && sink.WaitReceived(sent, 10000);
  run->reads_per_second = MailboxReadsPerSecond(threads_before, SampleThreads(), NowNs() - start);
  const StorageSink::Counts counts = sink.Count(sent);
  run->per_second = static_cast<double>(sent - first) / Seconds(counts.last_arrival_ns - start);
  run->writer_per_second = send_ns > 0 ? static_cast<double>(sent - first) / Seconds(send_ns) : 0;
  run->faults = counts.lost + counts.duplicated + counts.damaged;
  std::printf(
      "[storage] %u B: %.0f messages/s (the device's bursts alone: %.0f/s; p50 %.0f us a Send one "
      "at a time; %.0f mailbox reads/s); "
      "%llu sent, %llu received, %llu lost, %llu duplicated, %llu damaged\n",
      size, run->per_second, run->writer_per_second, Percentile(send_us, 50), run->reads_per_second,
      static_cast<unsigned long long>(sent), static_cast<unsigned long long>(counts.received),
      static_cast<unsigned long long>(counts.lost),
      static_cast<unsigned long long>(counts.duplicated),
      static_cast<unsigned long long>(counts.damaged));
  return ok;
}

bool DirectIoWorks(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_DIRECT);
  if (fd < 0) return false;
  void* block = nullptr;
  const bool ok = posix_memalign(&block, 4096, 4096) == 0 && pread(fd, block, 512, 0) == 512;
  std::free(block);
  close(fd);
  return ok;
}

}  // namespace

bool RunStorage(const Options& options, std::vector<Row>* rows) {
  const std::string image = (std::filesystem::current_path() / "kestal-bench-disk.img").string();
  {
    const int fd = open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, kStorageDeviceSize) != 0) return false;
    close(fd);
  }
  std::printf("[storage] image %s, O_DIRECT %s\n", image.c_str(),
              DirectIoWorks(image) ? "works" : "refused");
  Library& library = Library::Get();
  StorageRun small, large;
  double idle_reads = 0;
  bool ok = false;
  {
    SimStorageDevice device(image);
    StorageSink sink;
    library.DeliverStorageTo(&sink);
    if (device.Open() != 0 || !library.StartStorage(image)) {
      library.DeliverStorageTo(nullptr);
      return false;
    }
    // The reader's cost on the device's disk while nothing is sent.
    SleepMs(kWarmupMs);
    const std::map<int, ThreadSample> before = SampleThreads();
    const int64_t idle_start = NowNs();
    SleepMs(kStorageIdleMs);
    idle_reads = MailboxReadsPerSecond(before, SampleThreads(), NowNs() - idle_start);
    std::printf("[storage] idle: %.0f mailbox reads/s\n", idle_reads);
    ok = StorageMessages(device, sink, 64, options, &small) &&
         StorageMessages(device, sink, 65536, options, &large);
    library.Stop();
    library.DeliverStorageTo(nullptr);
    device.Stop();
  }
  const ReadStats reads = PlainReads(image, 65536, 20000, 3000);
  const ReadStats sectors = PlainReads(image, 512, 20000, 3000);
  std::printf("[storage] plain pread%s: 64 KiB %.0f/s p50 %.1f us p99 %.1f us; 512 B %.0f/s\n",
              reads.direct ? " (O_DIRECT)" : "", reads.per_second, reads.p50_us, reads.p99_us,
              sectors.per_second);
  rows->push_back(Relative("storage: 64 B messages/s (vs 512 B preads/s)", small.per_second,
                           sectors.per_second, "reported", true));
  rows->push_back(Relative("storage: 65536 B messages/s (vs 64 KiB preads/s)", large.per_second,
                           reads.per_second, ">= 0.5 x baseline",
                           large.per_second >= 0.5 * reads.per_second));
  rows->push_back(Row{"storage: mailbox reads per second, idle", idle_reads, std::nullopt, false,
                      "<= 1000 /s", idle_reads <= 1000});
  for (const StorageRun* run : {&small, &large})
    rows->push_back(Row{std::string("storage: mailbox reads per second, streaming ") +
                            (run == &small ? "64 B" : "65536 B"),
                        run->reads_per_second, std::nullopt, false, "reported", true});
  rows->push_back(Row{"storage: device writer's bursts alone, 64 B/s", small.writer_per_second,
                      std::nullopt, false, "reported", true});
  rows->push_back(Row{"storage: device writer's bursts alone, 65536 B/s", large.writer_per_second,
                      std::nullopt, false, "reported", true});
  for (const StorageRun* run : {&small, &large}) {
    const char* size = run == &small ? "64 B" : "65536 B";
    const double p50 = Percentile(run->latencies_us, 50), p99 = Percentile(run->latencies_us, 99);
    rows->push_back(Relative(std::string("storage: one-way latency p50, us (") + size + ")", p50,
                             reads.p50_us, "reported", true));
    rows->push_back(Relative(std::string("storage: one-way latency p99, us (") + size + ")", p99,
                             reads.p99_us, "<= 1000 us + 2 x baseline",
                             p99 <= 1000 + 2 * reads.p99_us));
    for (double percent : {50.0, 99.0})
      rows->push_back(Relative(std::string("storage: latency less device write p") +
                                   (percent == 50 ? "50" : "99") + ", us (" + size + ")",
                               Percentile(run->after_write_us, percent),
                               percent == 50 ? reads.p50_us : reads.p99_us, "reported", true));
  }
  const uint64_t faults = small.faults + large.faults;
  rows->push_back(Absolute("storage: messages lost, duplicated or damaged",
                           static_cast<double>(faults), 0, "= 0", faults == 0));
  return ok && faults == 0;
}

}  // namespace bench
