#include "ViewServer.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "CliCommands.h"
#include "ViewNet.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "service/ServiceSettings.h"

namespace {

constexpr size_t kEvents = 100,
                 kHistory = 600;  // the events kept; ten minutes of a sample a second
constexpr uint32_t kImageHeader = ImagePieceLayout::kImageHeaderLength;
constexpr double kStaleStatus =
    3.0;  // seconds: the library's own limit, after which it reports state 7

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Json(const std::string& text) {  // a JSON string
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\')
      out += '\\', out += static_cast<char>(c);
    else if (c < 0x20)
      out += "\\u00", out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    else
      out += static_cast<char>(c);
  }
  return out + "\"";
}

std::string RandomToken() {
  std::random_device random;
  char text[33];
  for (int i = 0; i < 4; ++i)
    std::snprintf(text + 8 * i, 9, "%08x", static_cast<unsigned>(random()));
  return text;
}

}  // namespace

ViewServer::ViewServer(const std::vector<CliSession*>& devices, uint32_t width, bool page)
    : m_session(*devices.front()),
      m_width(width),
      m_with_page(page),
      m_token(RandomToken()),
      m_server(std::make_unique<httplib::Server>()),
      m_page(Page()) {
  m_page.replace(m_page.find(kTokenMark), std::strlen(kTokenMark), m_token);
  for (CliSession* session : devices) m_devices.push_back({session, {}, 0});
  Route();
}

ViewServer::~ViewServer() = default;

bool ViewServer::IsOwnHost(const std::string& host) const {
  if (std::find(m_hosts.begin(), m_hosts.end(), host) != m_hosts.end()) return true;
  if (!m_wildcard) return false;
  // "name:port" or "[IPv6]:port"; without a port, the one a browser leaves out (80).
  std::string name = host, port = "80";
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return false;
    name = host.substr(1, close - 1);
    if (close + 1 < host.size() && host[close + 1] != ':') return false;
    if (close + 1 < host.size()) port = host.substr(close + 2);
  } else if (host.find(':') != std::string::npos) {
    name = host.substr(0, host.find(':'));
    port = host.substr(host.find(':') + 1);
  }
  return port == std::to_string(m_port) && !name.empty() && NamesThisMachine(name);
}

std::string ViewServer::Refusal(const std::string& method, const std::string& host,
                                const std::string& origin, const std::string& token) const {
  if (!IsOwnHost(host))
    return "Host '" + host + "' is not this view's address: open http://" + m_hosts.front() + "/";
  if (method == "GET" || method == "HEAD") return "";
  if (!origin.empty() && origin != "http://" + host)
    return "an order from another page (" + origin + ")";
  if (token != m_token)
    return "an order without this run's token: use the buttons of the view's own page";
  return "";
}

bool ViewServer::OnMessage(size_t device, uint16_t type, const uint8_t* data, uint32_t len) {
  if (type == ControllerStatus) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices[device].status.assign(data, data + len);
    m_devices[device].status_time = Now();
    return true;
  }
  // Without the page nothing waits for a message: none is queued.
  if (!m_with_page) return true;
  if ((type == OriginalImagePiece || type == YOriginalImagePiece) && len >= kImageHeader) {
    // The buffer of an earlier frame that no page request holds any more is filled again: no
    // allocation per frame.
    std::shared_ptr<Frame> frame;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      frame = std::move(m_spare);
    }
    if (!frame) frame = std::make_shared<Frame>();
    frame->number = kestal::LoadU32(data);
    frame->bytes.assign(data, data + len);  // outside the lock
    const double now = Now();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(m_frame, frame);
    // Requests copy m_frame only under this lock, so a count of one means nobody else can reach it.
    if (frame && frame.use_count() == 1) m_spare = std::move(frame);
    ++m_frames;
    m_frame_time = now;
    m_frame_times.push_back(now);
    while (m_frame_times.front() < now - 1.0) m_frame_times.pop_front();
    return true;
  }
  return false;  // ACKs and the rest go to the session's queue, where orders wait for them
}

void ViewServer::OnEvent(HostCommDeviceEvent event, const char* text) {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_events.emplace_back(ms, text);
  if (m_events.size() > kEvents) m_events.pop_front();
  if (event != DeviceArrival)
    m_connected = event == ConnectedOk, m_link_event = text;  // a disk found is no link yet
}

void ViewServer::Sample() {
  // "status: ..." lines; the events came through OnEvent with their times.
  const std::vector<std::string> lines = m_session.TakeEvents();
  for (size_t i = 1; i < m_devices.size(); ++i)
    m_devices[i].session->TakeEvents();  // kept by nothing: only the first device has a page
  const double now = Now();
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const std::string& line : lines)
    if (line.rfind("status: ", 0) == 0) m_status_line = line.substr(8), m_status_line_time = now;
  while (!m_frame_times.empty() && m_frame_times.front() < now - 1.0) m_frame_times.pop_front();
  const Device& first = m_devices.front();
  uint8_t status[ControllerStatusLayout::kLength] = {};
  std::copy_n(first.status.begin(), std::min(first.status.size(), sizeof status), status);
  // No temperature while there is no fresh status: the plot shows a gap rather than the last value
  // held.
  const double temp = first.status_time && now - first.status_time < kStaleStatus
                          ? HostCommMsg::FpgaTempCelsius(kestal::LoadU32(status + 28))
                          : std::nan("");
  m_history.emplace_back(temp, static_cast<double>(m_frame_times.size()));
  if (m_history.size() > kHistory) m_history.pop_front();
}

std::string ViewServer::StateJson() {
  const std::string health = kestal::GetLinkHealthLine();
  // Copied under the lock, formatted after it: the frame callback never waits for the formatting.
  uint8_t status[ControllerStatusLayout::kLength] = {};
  uint64_t frames;
  uint32_t frame_no;
  size_t fps;
  bool connected;
  double frame_time, status_time, status_line_time;
  std::string status_line, link_event;
  std::deque<std::pair<int64_t, std::string>> events;
  std::deque<std::pair<double, double>> history;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Device& first = m_devices.front();
    std::copy_n(first.status.begin(), std::min(first.status.size(), sizeof status), status);
    frames = m_frames, frame_no = m_frame ? m_frame->number : 0, fps = m_frame_times.size();
    frame_time = m_frame_time, status_time = first.status_time,
    status_line_time = m_status_line_time;
    connected = m_connected, link_event = m_link_event;
    status_line = m_status_line, events = m_events, history = m_history;
  }
  auto field = [&](uint32_t at) { return std::to_string(kestal::LoadU32(status + at)); };
  char number[48];
  const double now = Now();
  auto age = [&](double time) {  // seconds since `time`; -1 for never
    std::snprintf(number, sizeof number, "%.1f", time ? now - time : -1.0);
    return std::string(number);
  };
  std::string out =
      "{\"frames\":" + std::to_string(frames) + ",\"frame\":" + std::to_string(frame_no) +
      ",\"fps\":" + std::to_string(fps) + ",\"frame_age\":" + age(frame_time) +
      ",\"connected\":" + (connected ? "true" : "false") + ",\"link\":" + Json(link_event) +
      ",\"scanner\":" + std::to_string(m_session.ScannerState()) +
      ",\"arm\":" + std::to_string(m_session.ArmState()) + ",\"status_age\":" + age(status_time) +
      ",\"fpga_fps\":" + field(8) + ",\"arm_fps\":" + field(16);
  char temp[24];
  std::snprintf(temp, sizeof temp, "%.2f",
                HostCommMsg::FpgaTempCelsius(kestal::LoadU32(status + 28)));
  out += ",\"temp\":" + std::string(temp) + ",\"status_line\":" + Json(status_line) +
         ",\"status_line_age\":" + age(status_line_time) + ",\"health\":" + Json(health) +
         ",\"events\":[";
  for (size_t i = 0; i < events.size(); ++i)
    out += (i ? ",[" : "[") + std::to_string(events[i].first) + "," + Json(events[i].second) + "]";
  out += "],\"history\":[";
  for (size_t i = 0; i < history.size(); ++i) {
    if (std::isnan(history[i].first))
      std::snprintf(number, sizeof number, "%s[null,%.0f]", i ? "," : "", history[i].second);
    else
      std::snprintf(number, sizeof number, "%s[%.2f,%.0f]", i ? "," : "", history[i].first,
                    history[i].second);
    out += number;
  }
  return out + "]}";
}

void ViewServer::Route() {
  httplib::Server& server = *m_server;
  server.set_socket_options([](socket_t socket) { SetViewSocketOptions(socket); });
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const std::string reason =
        Refusal(req.method, req.get_header_value("Host"), req.get_header_value("Origin"),
                req.get_header_value("X-Kestal-Token"));
    if (reason.empty()) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content("403: refused, " + reason + "\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_error_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    // The server reads a POST's body by its length only: one without Content-Length (nor chunks) is
    // refused before it reaches /order.
    const std::string reason =
        req.method == "POST" && !req.has_header("Content-Length") &&
                !req.has_header("Transfer-Encoding")
            ? "a POST needs a Content-Length (0 for no body)"
            : "no " + req.method + " " + req.path + " here (" +
                  (m_with_page ? "GET /, /events, /frame, /metrics; POST /order?name=...&value=...)"
                               : "GET /metrics)");
    res.set_content(std::to_string(res.status) + ": " + reason + "\n", "text/plain");
  });
  // Read only, so no token: a scraper on another machine names this one as its Host.
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
  });
  if (!m_with_page) return;
  server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(m_page, "text/html; charset=utf-8");
  });
  server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider("text/event-stream", [this](size_t, httplib::DataSink& sink) {
      while (!m_stop) {
        const std::string event = "data: " + StateJson() + "\n\n";
        if (!sink.write(event.data(), event.size())) return false;  // the page went away
        for (int i = 0; i < 10 && !m_stop; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      sink.done();
      return true;
    });
  });
  server.Get("/frame", [this](const httplib::Request& req, httplib::Response& res) {
    std::shared_ptr<const Frame> frame;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      frame = m_frame;
    }
    // No frame yet, or none newer than the one the page has.
    if (!frame ||
        (req.has_param("after") && req.get_param_value("after") == std::to_string(frame->number)))
      return void(res.status = 204);
    const uint32_t size = static_cast<uint32_t>(frame->bytes.size()) - kImageHeader;
    uint32_t width = CliCommands::ImageWidth(frame->bytes.data(), frame->bytes.size(), m_width);
    if (width == 0 && !m_width && size % 640 == 0) width = 640;
    if (width == 0) width = size ? size : 1;  // a single row rather than a torn picture
    res.set_header("X-Frame-Number", std::to_string(frame->number));
    res.set_header("X-Width", std::to_string(width));
    res.set_header("X-Height", std::to_string(size / width));
    res.set_header("Cache-Control", "no-store");
    res.set_content(reinterpret_cast<const char*>(frame->bytes.data()) + kImageHeader, size,
                    "application/octet-stream");
  });
  server.Post("/order", [this](const httplib::Request& req, httplib::Response& res) {
    std::vector<uint32_t> values;
    if (req.has_param("value")) {
      const std::string v = req.get_param_value("value");
      char* end = nullptr;
      const unsigned long long n = v.empty() ? 0 : std::strtoull(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || v[0] == '-' || n > 0xFFFFFFFFull) {
        res.status = 400;
        return res.set_content("{\"error\":" + Json("bad value '" + v + "'") + "}",
                               "application/json");
      }
      values.push_back(static_cast<uint32_t>(n));
    }
    std::string text;
    const int r = CliCommands::OrderAck(m_session, req.get_param_value("name"), values, 3000, text);
    res.status = r == 0 ? 200 : r == 2 ? 400 : 504;
    res.set_content("{\"" + std::string(r == 0 ? "ack" : "error") + "\":" + Json(text) + "}",
                    "application/json");
  });
}

int ViewServer::Listen(const std::string& host, int port, std::string& error) {
  errno = 0;
  const int bound = port == 0                            ? m_server->bind_to_any_port(host)
                    : m_server->bind_to_port(host, port) ? port
                                                         : -1;
  if (bound <= 0)
    return error = "cannot listen on " + host + ":" + std::to_string(port) + ": " +
                   (errno ? std::strerror(errno) : "not an address of this machine"),
           1;
  m_port = bound;
  m_wildcard = host == "0.0.0.0" || host == "::";
  const std::string suffix = ":" + std::to_string(bound);
  // On every address the page is opened at loopback, which a wildcard listener takes too.
  if (m_wildcard)
    m_hosts = {(host == "::" ? "[::1]" : "127.0.0.1") + suffix};
  else
    m_hosts = {(host.find(':') != std::string::npos ? "[" + host + "]" : host) +
               suffix};  // IPv6 in brackets
  if (host == "127.0.0.1") m_hosts.push_back("localhost" + suffix);
  return 0;
}

void ViewServer::Run(uint32_t seconds, const std::atomic<bool>& interrupted) {
  httplib::Server& server = *m_server;
  std::printf("kestal view: http://%s/%s\n", m_hosts.front().c_str(), m_with_page ? "" : "metrics");
  std::fflush(stdout);
  std::thread worker([&] { server.listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!interrupted && (seconds == 0 || std::chrono::steady_clock::now() < deadline)) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    Sample();
  }
  m_stop = true;  // ends the event streams, so the server's stop can join their threads
  server.stop();
  worker.join();
}
