// `kestal view`: a web page that shows the device live, served by the tool itself on a local
// address.
//
// The library's callbacks only store the latest values here (the newest whole frame, the controller
// status, the events with their times, the state codes and status lines) under a mutex held for a
// few copies; the web server reads them on its own threads, so a slow or stalled browser never
// holds up the library. The page gets its figures through Server-Sent Events twice a second and
// fetches a frame's raw bytes only when it has drawn the last one. Orders from the page's buttons
// run on the web server's threads and wait there for their ACKs.
//
// What the page shows of the device is what the library reports: its state codes (7 once no
// controller status came for 3 s) and its device events, which tell whether the link is up. Each
// figure carries its age, so a page left open after the device went away shows it gone rather than
// its last good values.
//
// Only the page itself may use the view, not another web page in the same browser: every request
// must name the view's own address as its Host (a page of another name rebound to this address
// cannot read the device; a view on a wildcard address takes every name of this machine: localhost,
// a loopback address, an address of its interfaces, its host name), and an order (POST) must carry
// the token of this run that the page was served with and no other page's Origin (a page elsewhere
// can send a simple POST, but can neither read the token nor add a header without asking first).
// Refused requests get 403 with the reason.
//
// GET /metrics gives the link's health counters, the states, whether the link is up and the FPGA
// temperature in Prometheus's text format, one series a device (labelled device="host:port" or the
// disk). A view that serves only them (no page, no orders) watches several devices, one session
// each; the page shows the first.
//
// Thread safety: Listen and Run on the tool's main thread; OnMessage on the library's receive
// thread; OnEvent on the thread that reports the event; everything else on the web server's
// threads. The session must remain live while Run runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CliSession.h"

namespace httplib {
class Server;
}

class ViewServer {
 public:
  // `devices`: the page shows the first; with `page` false only /metrics is served, of them all.
  // `width`: the image's width in pixels; 0 takes the image header's nominal width when it fits the
  // image.
  ViewServer(const std::vector<CliSession*>& devices, uint32_t width, bool page);
  ~ViewServer();

  // The message tap of the session of `device`: keeps image frames and the controller status, lets
  // the rest (ACKs) be queued for the page's orders; without the page it keeps every message.
  bool OnMessage(size_t device, uint16_t type, const uint8_t* data, uint32_t len);
  // The session's event tap: keeps the event with its time, and whether the link is up.
  void OnEvent(HostCommDeviceEvent event, const char* text);
  // Binds host:port (port 0: any free one; an IPv6 address without brackets). 0, or 1 with `error`
  // set when the address cannot be bound, with the system's reason.
  int Listen(const std::string& host, int port, std::string& error);
  // Once listening: prints the page's address and serves it; returns after `seconds` (0: until
  // `interrupted`).
  void Run(uint32_t seconds, const std::atomic<bool>& interrupted);

  // The whole page: HTML, style and script, nothing fetched from elsewhere; kTokenMark stands for
  // the token.
  static const char* Page();
  static constexpr const char* kTokenMark = "@TOKEN@";

 private:
  struct Frame {
    uint32_t number = 0;
    std::vector<uint8_t> bytes;  // 80-byte image header, then the image
  };
  std::string StateJson();    // the page's figures, one Server-Sent Event
  std::string MetricsText();  // every device's figures in Prometheus's text format
  void Sample();  // once a second: history, and the status lines drained from the session
  // Why a request is refused (not to this view's address, or an order not from its own page);
  // empty: served.
  std::string Refusal(const std::string& method, const std::string& host, const std::string& origin,
                      const std::string& token) const;
  bool IsOwnHost(const std::string& host) const;  // a Host header that names this view
  void Route();                                   // the handlers of the page's requests

  struct Device {
    CliSession* session;
    std::vector<uint8_t> status;  // the last controller status; guarded by m_mutex
    double status_time = 0;       // when it came; 0: never
  };
  CliSession& m_session;  // the page's device, the first
  const uint32_t m_width;
  const bool m_with_page;     // false: /metrics only
  const std::string m_token;  // random, new every run; the page sends it with its orders
  std::unique_ptr<httplib::Server> m_server;
  std::string m_page;                // the page with this run's token
  std::vector<std::string> m_hosts;  // the Host values of this view: host:port as served, the first
                                     // as printed; set by Listen
  bool m_wildcard = false;  // listening on every address (0.0.0.0, ::): any name of this machine
  int m_port = 0;           // the port bound
  std::mutex m_mutex;       // guards everything below
  // The page's first; set by the constructor, after which only their status changes.
  std::vector<Device> m_devices;
  std::shared_ptr<Frame> m_frame;  // requests take copies as shared_ptr<const Frame>
  std::shared_ptr<Frame>
      m_spare;  // the frame before it, once no request holds it: filled by the next frame
  uint64_t m_frames = 0;
  std::deque<double> m_frame_times;  // seconds of the frames of the last second
  std::string m_status_line;
  double m_frame_time = 0, m_status_line_time = 0;  // when the last of each came; 0: never
  std::deque<std::pair<int64_t, std::string>>
      m_events;  // the newest 100, with their wall-clock times in ms
  bool m_connected = false;
  std::string m_link_event;  // the last event that told the link's state
  std::deque<std::pair<double, double>>
      m_history;  // temperature and frames per second, a sample a second
  std::atomic<bool> m_stop{false};
};
