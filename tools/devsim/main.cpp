// kestal-devsim: the simulated scan head's controller, over TCP or over a disk image, with
// the arm companion's side of the arm link. For developing and testing without hardware.
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "SimArmCompanion.h"
#include "SimDevice.h"
#include "SimNetworkServer.h"
#include "SimStorageDevice.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

constexpr uint64_t kDiskSize = 52428800;

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: kestal-devsim [options]\n"
               "\n"
               "Transport (TCP by default):\n"
               "  --listen ADDR          listen address (default 127.0.0.1)\n"
               "  --port N               listen port (default 28992; with --alt 29372; 0 = any free port)\n"
               "  --alt                  use the second endpoint's default port\n"
               "  --storage PATH         act over a disk image or block device instead of TCP\n"
               "  --create-image         create PATH as a zeroed 52428800-byte image first\n"
               "Device:\n"
               "  --image-size BYTES     image data per frame (default 307200)\n"
               "  --piece-size BYTES     image data per piece (default 60000, at most 65428)\n"
               "  --fps N                frames per second while scanning (default 10)\n"
               "  --status-ms N          controller status period (default 1000, 0 = none)\n"
               "  --scanner-state N      scan head state code (default 0)\n"
               "  --arm-state N          arm state code (default 0)\n"
               "  --fpga-temp RAW        raw FPGA temperature, degrees = RAW*0.01-40 (default 6500)\n"
               "  --seed N               seed of the image content (default 1)\n"
               "Arm link:\n"
               "  --arm-companion        play the arm companion on 127.0.0.1:27000\n"
               "  --arm-rate N           device arm messages per second (default 0)\n"
               "Faults (TCP only), repeated every --fault-every-ms (default 3000):\n"
               "  --fault KIND           drop | garbage | bad-checksum | oversize | stall\n"
               "  --duration-s N         exit after N seconds (default: until Ctrl-C)\n"
               "  --quiet                no periodic statistics\n");
}

bool Number(const char* text, uint64_t max, uint64_t& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (!*text || *end || errno || v > max || text[0] == '-') return false;
  out = v;
  return true;
}

int CreateImage(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) return -1;
  int r = ftruncate(fd, static_cast<off_t>(kDiskSize));
  close(fd);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  SimDeviceOptions device_options;
  std::string listen = "127.0.0.1", storage, fault;
  uint64_t port = 0, fault_every_ms = 3000, duration_s = 0, arm_rate = 0, v = 0;
  bool port_given = false, alt = false, create_image = false, arm_companion = false, quiet = false;

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](uint64_t max, uint64_t& out) {
      if (i + 1 >= argc || !Number(argv[i + 1], max, out)) {
        std::fprintf(stderr, "kestal-devsim: bad or missing value for %s\n", a.c_str());
        std::exit(2);
      }
      ++i;
    };
    auto text = [&](std::string& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kestal-devsim: missing value for %s\n", a.c_str());
        std::exit(2);
      }
      out = argv[++i];
    };
    if (a == "--help" || a == "-h") { Usage(stdout); return 0; }
    else if (a == "--listen") text(listen);
    else if (a == "--port") { next(65535, port); port_given = true; }
    else if (a == "--alt") alt = true;
    else if (a == "--storage") text(storage);
    else if (a == "--create-image") create_image = true;
    else if (a == "--image-size") { next(4194304, v); device_options.image_size = static_cast<uint32_t>(v); }
    else if (a == "--piece-size") { next(SimDevice::kMaxPieceDataLen, v); device_options.piece_data_len = static_cast<uint32_t>(v); }
    else if (a == "--fps") { next(1000, v); device_options.frame_rate = static_cast<double>(v); }
    else if (a == "--status-ms") { next(3600000, v); device_options.status_interval_ms = static_cast<uint32_t>(v); }
    else if (a == "--scanner-state") { next(0xFFFFFFFF, v); device_options.scanner_state = static_cast<uint32_t>(v); }
    else if (a == "--arm-state") { next(0xFFFFFFFF, v); device_options.arm_state = static_cast<uint32_t>(v); }
    else if (a == "--fpga-temp") { next(0xFFFFFFFF, v); device_options.fpga_temp_raw = static_cast<uint32_t>(v); }
    else if (a == "--seed") next(UINT64_MAX, device_options.seed);
    else if (a == "--arm-companion") arm_companion = true;
    else if (a == "--arm-rate") next(1000, arm_rate);
    else if (a == "--fault") text(fault);
    else if (a == "--fault-every-ms") next(3600000, fault_every_ms);
    else if (a == "--duration-s") next(86400, duration_s);
    else if (a == "--quiet") quiet = true;
    else {
      std::fprintf(stderr, "kestal-devsim: unknown option '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (!fault.empty() && fault != "drop" && fault != "garbage" && fault != "bad-checksum" && fault != "oversize" &&
      fault != "stall") {
    std::fprintf(stderr, "kestal-devsim: unknown fault '%s'\n", fault.c_str());
    return 2;
  }
  if (!fault.empty() && !storage.empty()) {
    std::fprintf(stderr, "kestal-devsim: faults are injected over TCP only\n");
    return 2;
  }
  if (!port_given) port = alt ? 29372 : 28992;  // --port 0 picks a free port

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  SimDevice device(device_options);
  std::unique_ptr<SimNetworkServer> server;
  std::unique_ptr<SimStorageDevice> disk;
  if (storage.empty()) {
    server = std::make_unique<SimNetworkServer>(device, listen, static_cast<uint16_t>(port));
    if (server->Start() < 0) {
      std::fprintf(stderr, "kestal-devsim: cannot listen on %s:%llu\n", listen.c_str(),
                   static_cast<unsigned long long>(port));
      return 1;
    }
    std::printf("kestal-devsim: listening on %s:%u\n", listen.c_str(), server->Port());
  } else {
    if (create_image && CreateImage(storage) != 0) {
      std::fprintf(stderr, "kestal-devsim: cannot create %s\n", storage.c_str());
      return 1;
    }
    disk = std::make_unique<SimStorageDevice>(storage);
    SimStorageDevice* d = disk.get();
    if (d->Start([&device](uint16_t t, const uint8_t* p, uint32_t l) { device.OnHostMessage(t, p, l); }) < 0) {
      std::fprintf(stderr, "kestal-devsim: cannot open %s as the device's disk\n", storage.c_str());
      return 1;
    }
    device.Start([d](uint16_t t, const uint8_t* p, uint32_t l) { return d->Send(t, p, l); });
    std::printf("kestal-devsim: serving the mailbox on %s\n", storage.c_str());
  }
  std::fflush(stdout);

  SimArmCompanion companion;
  if (arm_companion && companion.Start() < 0) {
    std::fprintf(stderr, "kestal-devsim: cannot bind the arm companion's port 127.0.0.1:27000\n");
    return 1;
  }

  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  auto next_fault = begin + std::chrono::milliseconds(fault_every_ms);
  auto next_arm = begin;
  auto next_report = begin + std::chrono::seconds(1);
  uint32_t arm_counter = 0;
  while (!g_stop && (duration_s == 0 || Clock::now() - begin < std::chrono::seconds(duration_s))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto now = Clock::now();
    if (arm_rate && now >= next_arm) {
      uint8_t arm[32] = {0xA5};
      std::memcpy(arm + 1, &++arm_counter, sizeof arm_counter);
      device.SendArmMsg(arm, sizeof arm);
      next_arm = now + std::chrono::microseconds(1000000 / arm_rate);
    }
    if (server && !fault.empty() && now >= next_fault && server->Connected()) {
      static const uint8_t kStatus[56] = {};
      if (fault == "drop") server->DropMidFrame(7, kStatus, sizeof kStatus, 20);
      else if (fault == "garbage") server->SendGarbageThenFrame(16, 7, kStatus, sizeof kStatus);
      else if (fault == "bad-checksum") server->SendBadChecksumFrame(7, kStatus, sizeof kStatus);
      else if (fault == "oversize") server->SendOversizeFrame(70000);
      else server->StallReading(static_cast<uint32_t>(fault_every_ms / 2));
      std::printf("kestal-devsim: injected fault %s\n", fault.c_str());
      std::fflush(stdout);
      next_fault = now + std::chrono::milliseconds(fault_every_ms);
    }
    if (!quiet && now >= next_report) {
      std::printf("kestal-devsim: %s, host messages %zu, frames sent %llu%s\n",
                  server ? (server->Connected() ? "connected" : "waiting for the host") : "mailbox",
                  device.HostMessages().size(), static_cast<unsigned long long>(device.FramesSent()),
                  device.Scanning() ? ", scanning" : "");
      std::fflush(stdout);
      next_report = now + std::chrono::seconds(1);
    }
  }
  companion.Stop();
  if (server) server->Stop();
  device.Stop();
  if (disk) disk->Stop();
  std::printf("kestal-devsim: stopped\n");
  return 0;
}
