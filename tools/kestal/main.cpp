// kestal: a command-line tool on top of KestalHostComm, for trying, debugging and scripting
// the library with or without a device.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceGlobals.h"

namespace {

void Usage(FILE* out) {
  // The default endpoints are the library's own settings, not repeated here.
  const HostCommProtocolImpl& engine = KestalHostCommServiceAccess::Engine();
  const std::string network = engine.m_comm_dev_via_network.m_device_ip_type1 + ":" +
                              std::to_string(engine.m_device_port_type1);
  const std::string network_alt = engine.m_comm_dev_via_network.m_device_ip_type3 + ":" +
                                  std::to_string(engine.m_device_port_type3);
  std::fprintf(out,
               "usage: kestal [--transport network|network-alt|storage] [--host ADDR] [--port N]\n"
               "              [--disk PATH] [--connect-timeout-ms MS] COMMAND [ARGS...]\n"
               "\n"
               "Transports: network (default device %s), network-alt (%s),\n"
               "storage (the device's 50 MiB disk; --disk names an image file or block device\n"
               "instead of searching the disks).\n"
               "\n"
               "Commands (each takes --help):\n"
               "  watch        print connection events, the status line and controller status\n"
               "  order        send a named order and print the decoded ACK\n"
               "  capture      save complete image frames and report the frame rate\n"
               "  firmware     send a firmware update with a progress bar\n"
               "  dump-volume  write the storage mailbox's summary dump\n"
               "  demo         connection, status, orders, frames and a firmware update in one run\n"
               "\n"
               "Exit codes: 0 success, 1 failure (timeout, refused, missing device), 2 bad arguments.\n",
               network.c_str(), network_alt.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  auto value = [&](const std::string& name, std::string& out) {
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "kestal: %s needs a value\n", name.c_str());
      return false;
    }
    out = args[++i];
    return true;
  };
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--help") {
      Usage(stdout);
      return 0;
    } else if (a == "--transport") {
      if (!value(a, options.transport)) return 2;
      if (options.transport != "network" && options.transport != "network-alt" && options.transport != "storage") {
        std::fprintf(stderr, "kestal: unknown transport '%s'\n", options.transport.c_str());
        return 2;
      }
    } else if (a == "--host") {
      if (!value(a, options.host)) return 2;
    } else if (a == "--disk") {
      if (!value(a, options.disk)) return 2;
    } else if (a == "--port" || a == "--connect-timeout-ms") {
      if (!value(a, v)) return 2;
      char* end = nullptr;
      unsigned long n = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n == 0 || (a == "--port" && n > 65535) || n > 600000) {
        std::fprintf(stderr, "kestal: bad %s '%s'\n", a.c_str(), v.c_str());
        return 2;
      }
      if (a == "--port") options.port = static_cast<uint32_t>(n);
      else options.connect_timeout_ms = static_cast<int>(n);
    } else {
      std::fprintf(stderr, "kestal: unknown option '%s'\n", a.c_str());
      return 2;
    }
  }
  if (i >= args.size()) {
    Usage(stderr);
    return 2;
  }
  const std::string command = args[i];
  const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
  if (command == "watch") return CliCommands::RunWatch(options, rest);
  if (command == "order") return CliCommands::RunOrder(options, rest);
  if (command == "capture") return CliCommands::RunCapture(options, rest);
  if (command == "firmware") return CliCommands::RunFirmware(options, rest);
  if (command == "dump-volume") return CliCommands::RunDumpVolume(options, rest);
  if (command == "demo") return CliCommands::RunDemo(options, rest);
  std::fprintf(stderr, "kestal: unknown command '%s' (see kestal --help)\n", command.c_str());
  return 2;
}
