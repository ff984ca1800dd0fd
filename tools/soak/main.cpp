// kestal-soak: the library against the in-process simulator for a long while, over either
// transport, with the simulator misbehaving at random every few seconds. Image frames stream and an
// order goes out every 100 ms; once a minute the counters and the resident memory are printed. Exit
// 1 when a frame or an ACK is missing that no fault can explain (none within kExcuseMs of its
// loss), when a frame arrives damaged, or when resident memory grew more than 5 % after the first
// minute; 2 for bad arguments. Everything stays on 127.0.0.1 or the image file.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/LittleEndian.h"
#include "devsim/SimRig.h"
#include "kestal/KestalHostCommService.h"
#include "protocol/HostCommMsg.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kExcuseMs =
    8000;  // a loss this close after a fault (a reconnect included) is the fault's
constexpr int64_t kAckWaitMs = 3000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

double ResidentMiB() {  // VmRSS of this process; 0 where /proc has none
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// What the application saw, checked as it arrives (on the library's receive thread).
struct Tally {
  SimDevice* device = nullptr;
  std::mutex mutex;
  uint32_t last_frame = 0;
  uint64_t frames = 0, frames_missing = 0, frames_unexplained = 0, damaged = 0;
  std::vector<std::pair<uint16_t, int64_t>>
      pending;  // orders waiting for their ACK: seq_no, sent at
  uint64_t orders = 0, acks = 0, acks_missing = 0, acks_unexplained = 0, connects = 0;
  std::atomic<int64_t> last_fault_ms{-kExcuseMs};

  bool Excused(int64_t at) const { return at - last_fault_ms.load() < kExcuseMs; }
  void Frame(const uint8_t* data, uint32_t len) {
    const uint32_t number = len >= 4 ? kestal::LoadU32(data) : 0;
    const std::vector<uint8_t> expected = device->ExpectedFrame(number, OriginalImagePiece);
    std::lock_guard<std::mutex> lock(mutex);
    if (expected.size() != len || !std::equal(expected.begin(), expected.end(), data)) ++damaged;
    if (last_frame != 0 && number > last_frame + 1) {
      frames_missing += number - last_frame - 1;
      if (!Excused(NowMs())) frames_unexplained += number - last_frame - 1;
    }
    last_frame = number;
    ++frames;
  }
  void Ack(uint16_t seq_no) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = pending.begin(); it != pending.end(); ++it)
      if (it->first == seq_no) return pending.erase(it), void(++acks);
  }
  void Expire(int64_t now) {  // orders whose ACK is overdue
    std::lock_guard<std::mutex> lock(mutex);
    while (!pending.empty() && now - pending.front().second > kAckWaitMs) {
      ++acks_missing;
      if (!Excused(pending.front().second) && !Excused(now)) ++acks_unexplained;
      pending.erase(pending.begin());
    }
  }
};

Tally g_tally;

void OnMessage(unsigned short type, unsigned char* data, unsigned int len, void*) {
  if (type == OriginalImagePiece) g_tally.Frame(data, len);
  if (type == Order && len >= 4 && kestal::LoadU16(data + 2) == GetFpgaTemp)
    g_tally.Ack(kestal::LoadU16(data));
}
void OnEvent(HostCommDeviceEvent event, const char*, void*) {
  if (event == ConnectedOk) {
    std::lock_guard<std::mutex> lock(g_tally.mutex);
    ++g_tally.connects;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The library against the in-process simulator for a long while, with faults."};
  std::string transport = "network", disk = "kestal-soak.img";
  int minutes = 30, fault_every_ms = 5000;
  uint64_t seed = 1;
  app.add_option("--transport", transport, "network or storage")
      ->check(CLI::IsMember({"network", "storage"}));
  app.add_option("--minutes", minutes, "how long (default 30)")->check(CLI::Range(1, 24 * 60));
  app.add_option("--fault-every-ms", fault_every_ms, "a random fault this often (default 5000)")
      ->check(CLI::Range(500, 600000));
  app.add_option("--seed", seed, "random choice of the faults");
  app.add_option("--disk", disk, "image file of the storage transport (created, 50 MiB sparse)");
  CLI11_PARSE(app, argc, argv);

  SimDeviceOptions options;
  options.frame_rate = 20;
  options.keep_host_messages =
      false;  // the simulator's own record would grow the process for the whole run
  SimRig rig(transport == "network" ? SimLink::Network : SimLink::Storage, options,
             {"127.0.0.1", 0, disk, true});
  SimDevice& device = rig.Device();
  g_tally.device = &device;
  if (rig.Start() < 0) return std::fprintf(stderr, "kestal-soak: cannot start the simulator\n"), 1;
  rig.PointService();
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  service.SetRecvHostCommMsgCallBack(&OnMessage, nullptr);
  service.SetDeviceEventCallBack(&OnEvent, nullptr);
  service.Start();  // a failed start is retried by the service itself

  std::mt19937_64 random(seed);
  const auto begin = Clock::now();
  auto next_order = begin, next_fault = begin + std::chrono::milliseconds(fault_every_ms);
  auto next_minute = begin + std::chrono::minutes(1);
  const std::vector<uint8_t> filler(56, 0x5A);
  double first_minute_mib = 0, mib = 0;
  uint64_t faults = 0;
  for (int minute = 1; minute <= minutes;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto now = Clock::now();
    if (now >= next_order) {  // scanning is ordered again now and then: a lost order or a reconnect
                              // may stop it
      const bool scan = !device.Scanning();
      const uint16_t seq_no = service.GetMsgSeqNo();
      std::vector<uint8_t> order =
          HostCommMsg::BuildOrder(seq_no, scan ? StartScan : GetFpgaTemp, {});
      if (!scan) {
        std::lock_guard<std::mutex> lock(g_tally.mutex);
        g_tally.pending.emplace_back(seq_no, NowMs());
        ++g_tally.orders;
      }
      service.SendHostCommMsg(Order, order.data(), static_cast<unsigned>(order.size()));
      next_order = now + std::chrono::milliseconds(100);
    }
    g_tally.Expire(NowMs());
    if (now >= next_fault) {
      const int kind = static_cast<int>(random() % 4);
      int r = 0;
      if (rig.Link() == SimLink::Network) {
        r = kind == 0   ? rig.Server().DropMidFrame(ControllerStatus, filler.data(), 56, 20)
            : kind == 1 ? rig.Server().SendGarbageThenFrame(16, ControllerStatus, filler.data(), 56)
            : kind == 2 ? rig.Server().SendBadChecksumFrame(ControllerStatus, filler.data(), 56)
                        : rig.Server().SendOversizeFrame(70000);
      } else {
        r = kind == 0   ? rig.StorageHalf().SendFaulty(ControllerStatus, filler.data(), 56, -1)
            : kind == 1 ? rig.StorageHalf().SendFaulty(ControllerStatus, filler.data(), 56, 30)
                        : (rig.StorageHalf().SkipSeqNos(1 + random() % 5), 0);
      }
      if (r == 0) ++faults, g_tally.last_fault_ms = NowMs();
      next_fault = now + std::chrono::milliseconds(fault_every_ms);
    }
    if (now >= next_minute) {
      mib = ResidentMiB();
      if (minute == 1) first_minute_mib = mib;
      std::lock_guard<std::mutex> lock(g_tally.mutex);
      std::printf(
          "minute %d: frames %llu (missing %llu, unexplained %llu, damaged %llu), orders %llu, "
          "acks %llu "
          "(missing %llu, unexplained %llu), faults %llu, connects %llu, resident %.1f MiB\n",
          minute, (unsigned long long)g_tally.frames, (unsigned long long)g_tally.frames_missing,
          (unsigned long long)g_tally.frames_unexplained, (unsigned long long)g_tally.damaged,
          (unsigned long long)g_tally.orders, (unsigned long long)g_tally.acks,
          (unsigned long long)g_tally.acks_missing, (unsigned long long)g_tally.acks_unexplained,
          (unsigned long long)faults, (unsigned long long)g_tally.connects, mib);
      std::fflush(stdout);
      ++minute;
      next_minute += std::chrono::minutes(1);
    }
  }
  service.Stop();
  rig.Stop();
  const bool grew = first_minute_mib > 0 && mib > first_minute_mib * 1.05;
  const bool lost = g_tally.frames_unexplained + g_tally.acks_unexplained + g_tally.damaged > 0 ||
                    g_tally.frames == 0;
  if (grew)
    std::printf("kestal-soak: resident memory grew from %.1f to %.1f MiB\n", first_minute_mib, mib);
  if (lost)
    std::printf(
        "kestal-soak: messages missing or damaged that no fault explains (or no frame at all)\n");
  return grew || lost ? 1 : 0;
}
