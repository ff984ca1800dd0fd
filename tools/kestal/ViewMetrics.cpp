// GET /metrics: what the view knows of each device in Prometheus's text format (version 0.0.4), one
// series a device, labelled device="host:port" (or the disk). The health counters come from the
// service's health line, the rest from what the session and the view last heard.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>

#include "ViewServer.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "service/ServiceCalls.h"

namespace {

struct Family {
  const char* counter;  // the name in the health line; empty: not a health counter
  const char* name;
  const char* type;
  const char* help;
};

// The health counters by the names a scraper expects: counters end in _total.
constexpr Family kHealth[] = {
    {"frames_in", "kestal_frames_total", "counter", "Message frames received from the device."},
    {"frames_out", "kestal_frames_sent_total", "counter", "Message frames sent to the device."},
    {"bytes_in", "kestal_bytes_in_total", "counter", "Bytes received from the device."},
    {"bytes_out", "kestal_bytes_out_total", "counter", "Bytes sent to the device."},
    {"image_frames", "kestal_image_frames_total", "counter", "Whole image frames received."},
    {"image_frames_dropped", "kestal_image_frames_dropped_total", "counter",
     "Image frames dropped: a piece lost, or the application too slow to take them."},
    {"checksum_errors", "kestal_checksum_errors_total", "counter",
     "Received frames with a wrong checksum."},
    {"resyncs", "kestal_resyncs_total", "counter", "Resynchronisations of the received stream."},
    {"bytes_skipped", "kestal_bytes_skipped_total", "counter",
     "Received bytes skipped while resynchronising."},
    {"oversize_frames", "kestal_oversize_frames_total", "counter",
     "Received frames longer than the largest message."},
    {"reconnects", "kestal_reconnects_total", "counter", "Times the link was set up again."},
    {"heartbeats_sent", "kestal_heartbeats_sent_total", "counter", "Heartbeats sent."},
    {"orders_sent", "kestal_orders_sent_total", "counter", "Orders sent."},
    {"orders_acked", "kestal_orders_acked_total", "counter", "Orders acknowledged."},
    {"records_skipped", "kestal_records_skipped_total", "counter",
     "Mailbox records skipped on the storage link."},
    {"messages_dropped", "kestal_messages_dropped_total", "counter",
     "Received messages dropped because the application had not taken the earlier ones."},
    {"recv_queue_high", "kestal_recv_queue_high", "gauge",
     "Most received items ever waiting for the application."},
    {"send_queue_high", "kestal_send_queue_high", "gauge", "Most items ever waiting to be sent."},
    {"last_rtt_us", "kestal_order_rtt_seconds", "gauge",
     "Round trip of the last acknowledged order; absent before the first."},
};
constexpr Family kLinkUp{"", "kestal_link_up", "gauge", "1 while the link to the device is up."};
constexpr Family kScanner{"", "kestal_scanner_state", "gauge",
                          "The scan head's state code (7: invalid, no controller status for 3 s)."};
constexpr Family kArm{"", "kestal_arm_state", "gauge",
                      "The arm's state code (7: invalid, no controller status for 3 s)."};
constexpr Family kTemp{"", "kestal_fpga_temperature_celsius", "gauge",
                       "FPGA temperature of the last controller status; absent when none came for "
                       "3 s."};

constexpr size_t kNumber = 48;  // room for one value

// A label value: backslash, double quote and line feed escaped.
std::string Label(const std::string& text) {
  std::string out;
  for (char c : text)
    out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
  return out;
}

// The value of `name` in a health line ("bytes_in=1 bytes_out=2 ..."); false when it has none.
bool HealthValue(const std::string& line, const std::string& name, unsigned long long& value) {
  std::istringstream words(line);
  for (std::string word; words >> word;)
    if (word.size() > name.size() && word.compare(0, name.size(), name) == 0 &&
        word[name.size()] == '=')
      return std::sscanf(word.c_str() + name.size() + 1, "%llu", &value) == 1;
  return false;
}

}  // namespace

std::string ViewServer::MetricsText() {
  struct Figures {
    std::string device, health;
    int link_up, scanner, arm;
    bool fresh;
    double temp;
  };
  const double now =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  std::vector<Figures> devices;
  for (const Device& device : m_devices) {
    CliSession& session = *device.session;
    Figures f{session.Endpoint(),
              session.Service().LinkHealthLine(),
              kestal::calls::IsConnected(session.Service()),
              session.ScannerState(),
              session.ArmState(),
              false,
              0};
    std::lock_guard<std::mutex> lock(m_mutex);
    // The library's own limit for a status, after which it reports state 7.
    using L = ControllerStatusLayout;
    if (device.status.size() >= L::kFpgaTemp + 4 && device.status_time &&
        now - device.status_time < 3.0)
      f.fresh = true,
      f.temp = HostCommMsg::FpgaTempCelsius(kestal::LoadU32(device.status.data() + L::kFpgaTemp));
    devices.push_back(f);
  }
  std::string out;
  char number[kNumber];
  // One family: its HELP and TYPE lines, then the value of each device that has one.
  auto family = [&](const Family& f, auto value) {
    out +=
        std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
    for (const Figures& d : devices)
      if (value(d, number))
        out += std::string(f.name) + "{device=\"" + Label(d.device) + "\"} " + number + "\n";
  };
  for (const Family& f : kHealth) {
    const bool rtt = std::string(f.counter) == "last_rtt_us";  // microseconds, 0 before any ACK
    family(f, [&](const Figures& d, char* text) {
      unsigned long long value;
      if (!HealthValue(d.health, f.counter, value) || (rtt && value == 0)) return false;
      if (rtt)
        std::snprintf(text, kNumber, "%.6f", value / 1e6);
      else
        std::snprintf(text, kNumber, "%llu", value);
      return true;
    });
  }
  auto integer = [](int value, char* text) {
    std::snprintf(text, kNumber, "%d", value);
    return true;
  };
  family(kLinkUp, [&](const Figures& d, char* text) { return integer(d.link_up, text); });
  // -1: not reported yet
  family(kScanner,
         [&](const Figures& d, char* text) { return d.scanner >= 0 && integer(d.scanner, text); });
  family(kArm, [&](const Figures& d, char* text) { return d.arm >= 0 && integer(d.arm, text); });
  family(kTemp, [&](const Figures& d, char* text) {
    return d.fresh && std::snprintf(text, kNumber, "%.2f", d.temp) > 0;
  });
  return out;
}
