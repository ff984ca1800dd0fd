// GET /metrics: what the view knows of each device in Prometheus's text format (version 0.0.4), one
// series a device, labelled device="host:port" (or the disk). The health counters are read from the
// service's LinkHealth, the rest from what the session and the view last heard.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "ViewServer.h"
#include "common/LittleEndian.h"
#include "diag/LinkHealth.h"
#include "protocol/HostCommMsg.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceCalls.h"

namespace {

struct Family {
  LinkHealth::Counter LinkHealth::*counter;  // null: not a health counter
  const char* name;
  const char* type;
  const char* help;
};

// The health counters by the names a scraper expects: counters end in _total.
constexpr Family kHealth[] = {
    {&LinkHealth::frames_in, "kestal_frames_total", "counter",
     "Message frames received from the device."},
    {&LinkHealth::frames_out, "kestal_frames_sent_total", "counter",
     "Message frames sent to the device."},
    {&LinkHealth::bytes_in, "kestal_bytes_in_total", "counter", "Bytes received from the device."},
    {&LinkHealth::bytes_out, "kestal_bytes_out_total", "counter", "Bytes sent to the device."},
    {&LinkHealth::image_frames, "kestal_image_frames_total", "counter",
     "Whole image frames received."},
    {&LinkHealth::image_frames_dropped, "kestal_image_frames_dropped_total", "counter",
     "Image frames dropped: a piece lost, or the application too slow to take them."},
    {&LinkHealth::checksum_errors, "kestal_checksum_errors_total", "counter",
     "Received frames with a wrong checksum."},
    {&LinkHealth::resyncs, "kestal_resyncs_total", "counter",
     "Resynchronisations of the received stream."},
    {&LinkHealth::bytes_skipped, "kestal_bytes_skipped_total", "counter",
     "Received bytes skipped while resynchronising."},
    {&LinkHealth::oversize_frames, "kestal_oversize_frames_total", "counter",
     "Received frames longer than the largest message."},
    {&LinkHealth::reconnects, "kestal_reconnects_total", "counter",
     "Times the link was set up again."},
    {&LinkHealth::heartbeats_sent, "kestal_heartbeats_sent_total", "counter", "Heartbeats sent."},
    {&LinkHealth::orders_sent, "kestal_orders_sent_total", "counter", "Orders sent."},
    {&LinkHealth::orders_acked, "kestal_orders_acked_total", "counter", "Orders acknowledged."},
    {&LinkHealth::records_skipped, "kestal_records_skipped_total", "counter",
     "Mailbox records skipped on the storage link."},
    {&LinkHealth::messages_dropped, "kestal_messages_dropped_total", "counter",
     "Received messages dropped because the application had not taken the earlier ones."},
    {&LinkHealth::recv_queue_high, "kestal_recv_queue_high", "gauge",
     "Most received items ever waiting for the application."},
    {&LinkHealth::send_queue_high, "kestal_send_queue_high", "gauge",
     "Most items ever waiting to be sent."},
    {&LinkHealth::last_rtt_us, "kestal_order_rtt_seconds", "gauge",
     "Round trip of the last acknowledged order; absent before the first."},
};
constexpr Family kLinkUp{nullptr, "kestal_link_up", "gauge",
                         "1 while the link to the device is up."};
constexpr Family kScanner{nullptr, "kestal_scanner_state", "gauge",
                          "The scan head's state code (7: invalid, no controller status for 3 s)."};
constexpr Family kArm{nullptr, "kestal_arm_state", "gauge",
                      "The arm's state code (7: invalid, no controller status for 3 s)."};
constexpr Family kTemp{nullptr, "kestal_fpga_temperature_celsius", "gauge",
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

}  // namespace

std::string ViewServer::MetricsText() {
  struct Figures {
    std::string device;
    const LinkHealth* health;
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
              &session.Service().Engine().Health(),
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
    const bool rtt = f.counter == &LinkHealth::last_rtt_us;  // microseconds, 0 before any ACK
    family(f, [&](const Figures& d, char* text) {
      const uint64_t value = LinkHealth::Get(d.health->*f.counter);
      if (rtt && value == 0) return false;
      if (rtt)
        std::snprintf(text, kNumber, "%.6f", value / 1e6);
      else
        std::snprintf(text, kNumber, "%llu", static_cast<unsigned long long>(value));
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
