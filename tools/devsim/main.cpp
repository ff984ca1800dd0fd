// kestal-devsim: the simulated scan head's controller, over TCP or over a disk image, with
// the arm companion's side of the arm link. For developing and testing without hardware.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "CliErrors.h"
#include "SimArmCompanion.h"
#include "SimReplay.h"
#include "SimRig.h"
#include "common/ProtocolCatalogue.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "The simulated scan head's controller, over TCP or over a disk image, with the arm\n"
      "companion's side of the arm link.",
      "kestal-devsim");
  UseToolConventions(app, "kestal-devsim");
  SimDeviceOptions options;
  std::string listen = "127.0.0.1", storage, fault;
  uint16_t port = kestal::catalogue::kDevicePortType1;
  uint32_t fault_every_ms = 3000, duration_s = 0, arm_rate = 0;
  std::string replay;
  bool alt = false, create_image = false, arm_companion = false, quiet = false, fast = false;

  CLI::Option_group* tcp = app.add_option_group("Transport (TCP by default)");
  tcp->add_option("--listen", listen, "listen address")
      ->check(CLI::ValidIPV4)
      ->capture_default_str();
  CLI::Option* port_option =
      tcp->add_option("--port", port, "listen port (29372 with --alt; 0 = any free port)")
          ->check(CLI::Range(0, 65535))
          ->capture_default_str();
  tcp->add_flag("--alt", alt, "use the second endpoint's default port");
  CLI::Option* storage_option =
      tcp->add_option("--storage", storage, "act over a disk image or block device");
  tcp->add_flag("--create-image", create_image,
                "create the --storage image (52428800 zero bytes) first")
      ->needs(storage_option);
  CLI::Option_group* dev = app.add_option_group("Device");
  dev->add_option("--image-size", options.image_size, "image data per frame")
      ->check(CLI::Range(0, 4194304))
      ->capture_default_str();
  dev->add_option("--piece-size", options.piece_data_len, "image data per piece")
      ->check(CLI::Range(0u, SimDevice::kMaxPieceDataLen))
      ->capture_default_str();
  dev->add_option("--fps", options.frame_rate, "frames per second while scanning")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str();
  dev->add_option("--status-ms", options.status_interval_ms, "controller status period (0 = none)")
      ->check(CLI::Range(0, 3600000))
      ->capture_default_str();
  dev->add_option("--scanner-state", options.scanner_state, "scan head state code")
      ->capture_default_str();
  dev->add_option("--arm-state", options.arm_state, "arm state code")->capture_default_str();
  dev->add_option("--fpga-temp", options.fpga_temp_raw,
                  "raw FPGA temperature, degrees = RAW*0.01-40")
      ->capture_default_str();
  dev->add_option("--seed", options.seed, "seed of the image content")
      ->check([](const std::string& v) {
        return v.find('-') == std::string::npos ? "" : v + " is negative";
      })
      ->capture_default_str();
  CLI::Option_group* link = app.add_option_group("Arm link");
  link->add_flag("--arm-companion", arm_companion, "play the arm companion on 127.0.0.1:27000");
  link->add_option("--arm-rate", arm_rate, "device arm messages per second")
      ->check(CLI::Range(0, 1000));
  CLI::Option_group* run = app.add_option_group("Faults (TCP only) and the run");
  run->add_option("--fault", fault, "inject this fault every --fault-every-ms")
      ->check(CLI::IsMember({"drop", "garbage", "bad-checksum", "oversize", "stall"}))
      ->excludes(storage_option);
  run->add_option("--fault-every-ms", fault_every_ms, "fault period")
      ->check(CLI::Range(0, 3600000))
      ->capture_default_str();
  run->add_option("--duration-s", duration_s, "exit after N seconds (0: at Ctrl-C)")
      ->check(CLI::Range(0, 86400));
  run->add_flag("--quiet", quiet, "no periodic statistics");
  CLI::Option* replay_option =
      run->add_option("--replay", replay,
                      "play the device's side of a capture file back (TCP), answering heartbeats")
          ->excludes(storage_option);
  run->add_flag("--fast", fast, "replay without the captured pauses")->needs(replay_option);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return CliExit(app, e);
  }
  if (alt && !*port_option) port = kestal::catalogue::kDevicePortType3;

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
#ifdef SIGBREAK
  std::signal(SIGBREAK, OnSignal);  // Ctrl+Break in a Windows console
#endif
  if (!storage.empty() && create_image && CreateImage(storage) != 0) {
    std::fprintf(stderr, "kestal-devsim: cannot create %s\n", storage.c_str());
    return 1;
  }
  if (!replay.empty()) {  // the capture speaks for the device
    options.heartbeats_only = true;
    options.status_interval_ms = 0;
  }
  SimRig rig(storage.empty() ? SimLink::Network : SimLink::Storage, options,
             {listen, port, storage, false});
  SimDevice& device = rig.Device();
  SimNetworkServer* server = storage.empty() ? &rig.Server() : nullptr;
  if (rig.Start() < 0) {
    if (server) {
      std::fprintf(stderr, "kestal-devsim: cannot listen on %s:%llu: %s\n", listen.c_str(),
                   static_cast<unsigned long long>(port), server->Error().c_str());
    } else {
      // The system's reason when the file cannot be opened; else it holds no usable mailbox.
      std::string reason = OpenError(storage);
      if (reason.empty()) reason = "no mailbox of 52428800 bytes there";
      std::fprintf(stderr, "kestal-devsim: cannot open %s as the device's disk: %s\n",
                   storage.c_str(), reason.c_str());
    }
    return 1;
  }
  std::unique_ptr<SimReplay> player;
  std::string error;
  if (!replay.empty()) {
    player = std::make_unique<SimReplay>(rig.Server());
    if (player->Load(replay, error) < 0) {
      std::fprintf(stderr, "kestal-devsim: %s\n", error.c_str());
      return 1;
    }
    player->Start(fast);
  }
  if (server)
    std::printf("kestal-devsim: listening on %s:%u\n", listen.c_str(), server->Port());
  else
    std::printf("kestal-devsim: serving the mailbox on %s\n", storage.c_str());
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
      if (fault == "drop")
        server->DropMidFrame(7, kStatus, sizeof kStatus, 20);
      else if (fault == "garbage")
        server->SendGarbageThenFrame(16, 7, kStatus, sizeof kStatus);
      else if (fault == "bad-checksum")
        server->SendBadChecksumFrame(7, kStatus, sizeof kStatus);
      else if (fault == "oversize")
        server->SendOversizeFrame(70000);
      else
        server->StallReading(static_cast<uint32_t>(fault_every_ms / 2));
      std::printf("kestal-devsim: injected fault %s\n", fault.c_str());
      std::fflush(stdout);
      next_fault = now + std::chrono::milliseconds(fault_every_ms);
    }
    if (!quiet && now >= next_report) {
      std::printf("kestal-devsim: %s, host messages %zu, frames sent %llu%s\n",
                  server ? (server->Connected() ? "connected" : "waiting for the host") : "mailbox",
                  device.HostMessages().size(),
                  static_cast<unsigned long long>(device.FramesSent()),
                  device.Scanning() ? ", scanning" : "");
      std::fflush(stdout);
      next_report = now + std::chrono::seconds(1);
    }
  }
  companion.Stop();
  if (player) player->Stop();
  rig.Stop();
  std::printf("kestal-devsim: stopped\n");
  return 0;
}
