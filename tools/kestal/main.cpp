// kestal: a command-line tool on top of KestalHostComm, for trying, debugging and scripting
// the library with or without a device.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "CliErrors.h"
#include "common/FileNames.h"
#include "service/ServiceSettings.h"

namespace {

// The default endpoints are the library's own settings, not repeated here; read only when the
// help is shown.
std::string Footer() {
  const HostCommSettings settings = kestal::GetServiceSettings();
  return "Transports: network (default device " + settings.device_ip_type1 + ":" +
         std::to_string(settings.device_port_type1) + "), network-alt (" +
         settings.device_ip_type3 + ":" + std::to_string(settings.device_port_type3) +
         "),\nstorage (the device's 50 MiB disk; --disk names an image file or block device\n"
         "instead of searching the disks). Every command takes --help.\n\n"
         "watch and view --metrics-only take several devices: --host and --port (storage: --disk)\n"
         "once per device, or once for all of them, as in --host A --port P --host B --port Q "
         "watch.\n\n"
         "Exit codes: 0 success, 1 failure (timeout, refused, missing device or file), 2 bad "
         "arguments.";
}

// A number option: decimal, or hexadecimal with 0x (a leading zero does not make it octal),
// from `min` to `max`.
template <typename T>
CLI::Option* AddNumber(CLI::App* app, const std::string& name, T& value, int64_t min, int64_t max,
                       const std::string& help) {
  return app->add_option(name, value, help)
      ->transform([](std::string s) {
        const size_t digit = s.find_first_not_of('0');
        if (digit > 0 && digit != std::string::npos && s[digit] != 'x' && s[digit] != 'X')
          s.erase(0, digit);
        return s;
      })
      ->check(CLI::Range(min, max));
}

// The devices the options name: --host and --port pair up in order (storage: one device a --disk);
// one given once holds for every device. 0, or -1 with `error` set when the counts do not match.
int Devices(const CliOptions& common, const std::vector<std::string>& hosts,
            const std::vector<uint32_t>& ports, const std::vector<std::string>& disks,
            std::vector<CliOptions>& devices, std::string& error) {
  const bool storage = common.transport == "storage";
  const size_t n =
      std::max<size_t>({1, storage ? disks.size() : std::max(hosts.size(), ports.size())});
  if (!storage &&
      ((hosts.size() > 1 && hosts.size() != n) || (ports.size() > 1 && ports.size() != n))) {
    error = std::to_string(hosts.size()) + " --host for " + std::to_string(ports.size()) +
            " --port: give each once, or once per device";
    return -1;
  }
  auto pick = [n](const auto& values, size_t i) { return values[values.size() == n ? i : 0]; };
  // Several services must not write one capture file (the library's own choice included).
  const char* env = std::getenv("KESTAL_CAPTURE");
  const std::string capture = !common.capture.empty() || n == 1 || !env ? common.capture : env;
  for (size_t i = 0; i < n; ++i) {
    CliOptions device = common;
    if (!hosts.empty()) device.host = pick(hosts, i);
    if (!ports.empty()) device.port = pick(ports, i);
    if (!disks.empty()) device.disk = storage ? disks[i] : disks.back();
    device.capture = i == 0 || capture.empty()
                         ? capture
                         : kestal::WithMark(capture, "-" + std::to_string(i + 1));
    // A device takes one link at a time: two sessions to it would keep taking it from each other.
    for (const CliOptions& other : devices)
      if (storage ? other.disk == device.disk
                  : other.host == device.host && other.port == device.port) {
        error = "the device " +
                (storage ? device.disk : device.host + ":" + std::to_string(device.port)) +
                " is named twice";
        return -1;
      }
    devices.push_back(device);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Drives KestalHostComm from the command line.", "kestal");
  app.footer(Footer);
  UseToolConventions(app, "kestal");

  CliOptions options;
  app.add_option("--transport", options.transport, "network, network-alt or storage")
      ->check(CLI::IsMember({"network", "network-alt", "storage"}))
      ->capture_default_str();
  // Repeated, they name several devices (watch, view --metrics-only); one value an occurrence.
  std::vector<std::string> hosts, disks;
  std::vector<uint32_t> ports;
  app.add_option("--host", hosts, "device address (default: the transport's)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  AddNumber(&app, "--port", ports, 1, 65535, "device port (default: the transport's)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--disk", disks, "storage: image file or block device (default: search the disks)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  AddNumber(&app, "--connect-timeout-ms", options.connect_timeout_ms, 1, 600000, "time to connect")
      ->capture_default_str();
  app.add_option("--capture", options.capture, "write what the link carries to this pcap file");

  uint32_t seconds = 0;
  CLI::App* watch =
      app.add_subcommand("watch", "print connection events, the status line and controller status");
  watch->footer("Runs N seconds, or until Ctrl-C when N is 0.");
  AddNumber(watch, "--seconds", seconds, 0, 86400, "how long to watch")->capture_default_str();
  bool stats = false;
  watch->add_flag("--stats", stats, "also print the link's health counters once a second");

  std::string order_name;
  std::vector<uint32_t> params;
  int order_timeout_ms = 3000;
  CLI::App* order = app.add_subcommand("order", "send a named order and print the decoded ACK");
  order->footer("Orders:\n" + CliCommands::OrderNames());
  order->add_option("NAME", order_name, "the order")->required();
  AddNumber(order, "PARAMS", params, 0, 0xFFFFFFFF, "its parameters");
  AddNumber(order, "--timeout-ms", order_timeout_ms, 0, 3600000, "time to wait for the ACK")
      ->capture_default_str();

  uint32_t count = 0, width = 0;
  std::string out_dir = ".";
  int capture_timeout_ms = 10000;
  CLI::App* capture =
      app.add_subcommand("capture", "save complete image frames and report the frame rate");
  capture->footer(
      "Starts scanning, saves N complete frames as DIR/frame_NNNN.raw (80-byte header + data)\n"
      "and as 8-bit PGM (the width from --width, else the image header's); stops scanning and\n"
      "prints the frame rate and drops (gaps in the frame counter of the image header's first\n"
      "four bytes). A DIR that holds frames already is refused unless --overwrite is given.");
  AddNumber(capture, "N", count, 1, 100000, "frames to save")->required();
  capture->add_option("--out", out_dir, "directory of the files")->capture_default_str();
  AddNumber(capture, "--width", width, 1, 65535,
            "image width of the PGM files (default: the image header's)");
  bool overwrite = false;
  capture->add_flag("--overwrite", overwrite, "remove the frames that DIR holds, then save these");
  AddNumber(capture, "--timeout-ms", capture_timeout_ms, 0, 3600000, "time to wait for each frame")
      ->capture_default_str();

  std::string firmware_file;
  uint16_t firmware_type = 1;
  int firmware_timeout_ms = 10000;
  CLI::App* firmware = app.add_subcommand("firmware", "send a firmware update with a progress bar");
  firmware->add_option("FILE", firmware_file, "the firmware file")->required();
  AddNumber(firmware, "--type", firmware_type, 0, 0xFFFF, "firmware type")->capture_default_str();
  AddNumber(firmware, "--timeout-ms", firmware_timeout_ms, 0, 3600000,
            "time to wait for each progress report")
      ->capture_default_str();

  CLI::App* dump = app.add_subcommand("dump-volume", "write the storage mailbox's summary dump");
  dump->footer(
      "Needs --transport storage. Writes the mailbox's summary areas to\n"
      "volume<date>_<time>_0.txt and _1.txt here.");
  CLI::App* demo = app.add_subcommand(
      "demo", "connection, status, orders, frames and a firmware update in one run");
  demo->footer(
      "Shows the library at work against a device or the simulator: the connection, the\n"
      "status line for a few seconds, orders and their ACKs, ten image frames with their\n"
      "rate, and a firmware update with its progress; then stops.");

#ifdef KESTAL_VIEW
  std::string listen = "127.0.0.1:8080";
  uint32_t view_width = 0, view_seconds = 0;
  CLI::App* view = app.add_subcommand("view", "serve a web page that shows the device live");
  view->footer(
      "Prints the page's address once it listens. The image, frame counter and rate, the states "
      "and\n"
      "status line, the connection events, ten minutes of FPGA temperature and frame rate, the\n"
      "link's health counters, and buttons for the common orders. Loopback unless --listen says\n"
      "otherwise; port 0 picks a free one. Only the page itself, opened at the printed address,\n"
      "may use it: other Hosts, and orders without the page's token or from other pages, get 403.\n"
      "GET /metrics gives the health counters, states, link and FPGA temperature in Prometheus's\n"
      "text format (no token). --metrics-only serves nothing else, for one device or several\n"
      "(--host/--port once per device, each labelled device=\"host:port\"); the page shows one.\n"
      "Every device must connect at the start.");
  view->add_option("--listen", listen, "HOST:PORT to serve on")->capture_default_str();
  AddNumber(view, "--width", view_width, 1, 65535, "image width (default: the image header's)");
  AddNumber(view, "--seconds", view_seconds, 0, 86400, "serve N seconds (0: until Ctrl-C)")
      ->capture_default_str();
  bool metrics_only = false;
  view->add_flag("--metrics-only", metrics_only,
                 "serve only /metrics (no page, no orders), of one device or several");
#endif

  std::string replay_file;
  CLI::App* replay =
      app.add_subcommand("replay", "feed a capture file through the library's parser and engine");
  replay->footer(
      "No device, no socket: the device's side of the capture goes through the same parsing and\n"
      "message handling as a live link, and every message the application would have received\n"
      "is printed as 'message TYPE LENGTH SUM' (SUM: the byte sum of its data, hexadecimal).");
  replay->add_option("FILE", replay_file, "the capture (pcap)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return CliExit(app, e);
  }
  if (*replay) return CliCommands::RunReplay(replay_file);
  // A device address that the library refuses is a bad argument, refused before anything runs.
  std::string error;
  std::vector<CliOptions> devices;
  if (Devices(options, hosts, ports, disks, devices, error) != 0) {
    std::fprintf(stderr, "kestal: %s\n", error.c_str());
    return 2;
  }
  bool several = watch->parsed();
#ifdef KESTAL_VIEW
  several = several || (view->parsed() && metrics_only);
#endif
  if (devices.size() > 1 && !several) {
    std::fprintf(stderr, "kestal: only watch and view --metrics-only take several devices\n");
    return 2;
  }
  for (const CliOptions& device : devices)
    if (CliSession::ApplySettings(device, error) != 0) {
      std::fprintf(stderr, "kestal: %s\n", error.c_str());
      return 2;
    }
  options = devices.front();
  if (*watch) return CliCommands::RunWatch(devices, seconds, stats);
#ifdef KESTAL_VIEW
  if (*view) return CliCommands::RunView(devices, listen, view_width, view_seconds, metrics_only);
#endif
  if (*order) return CliCommands::RunOrder(options, order_name, params, order_timeout_ms);
  if (*capture)
    return CliCommands::RunCapture(options, count, out_dir, width, overwrite, capture_timeout_ms);
  if (*firmware)
    return CliCommands::RunFirmware(options, firmware_file, firmware_type, firmware_timeout_ms);
  if (*dump) return CliCommands::RunDumpVolume(options);
  if (*demo) return CliCommands::RunDemo(options);
  std::fprintf(stderr, "kestal: a command is needed (see kestal --help)\n");
  return 2;
}
