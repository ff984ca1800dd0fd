/// \file
/// The header-only C++17 wrapper over the C interface: Session, Error, Ack, Frame, FrameQueue.
///
/// It uses kestal_c.h and kestal_protocol.h only, so it builds with any C++17 compiler that can
/// call the shared library or the DLL (g++, clang++, MinGW, MSVC); nothing of the library's C++
/// class crosses the boundary. Link the library as for the C interface.
///
/// \code
/// kestal::Session session(kestal::Config::network("127.0.0.1", 28992));
/// kestal::FrameQueue frames(8);
/// session.on_frame(frames.sink());
/// session.start();
/// session.wait_connected(std::chrono::seconds(10));
/// std::printf("%.2f C\n", session.fpga_temperature());
/// session.request(KESTAL_ORDER_START_SCAN);
/// std::optional<kestal::OwnedFrame> frame = frames.pop(std::chrono::seconds(5));
/// \endcode
///
/// Each Session is a service of its own (a kestal_session: its own workers, callbacks, sequence
/// numbers and counters), so several Sessions may run at once, one per device. The library's
/// process-wide service, which the global kestal_* functions drive, is reached with
/// Session(config, kestal::process_wide): one such Session at a time (a second one throws
/// kestal::Error with KESTAL_E_INVALID; the check lives in this header, so it covers one executable
/// or shared library that includes it). Session objects are neither copied nor moved. The session
/// registers the library's event-detail callback itself (connected(), wait_connected()) and every
/// other callback whose handler is set, and unregisters them at stop.
///
/// <b>Threads.</b> Handlers (on_event, on_message, on_scanner_state, on_arm_state, on_status_line,
/// on_frame) are registered while the session is stopped, and run on the library's threads: the
/// message and frame handlers on its receive thread, the state and status-line handlers once a
/// second on its log-report worker, the event handler on one thread at a time, in the order the
/// events were raised. They must return promptly: a slow message or frame handler delays the later
/// ones and costs frames (the oldest waiting frame is dropped and counted in image_frames_dropped),
/// never the link. request() works from the message and frame handlers too (its ACK is matched on
/// the thread that reads the link); start() and stop() from any handler throw Error with
/// KESTAL_E_IN_CALLBACK at once (they would wait for that handler). A pointer or view passed to a
/// handler is valid only during the call. request(), the helpers, health(), last_error() and
/// version() may be called from any thread; start() and stop() from one application thread at a
/// time. A handler still running two seconds after stop() began is given up by the library (it
/// never calls back again); its Session then leaves the handlers allocated for it when destroyed.
///
/// <b>Exceptions.</b> An exception thrown by a handler never reaches the C library: the wrapper
/// catches it, counts it (handler_failures()) and keeps its text (last_handler_failure()); the
/// library and the session carry on, and the handler is called again for the next event. Nothing
/// here calls std::terminate. The destructor stops the session and never throws.
#ifndef KESTAL_KESTAL_HPP
#define KESTAL_KESTAL_HPP

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestal_c.h"
#include "kestal_protocol.h"

namespace kestal {

namespace detail {
// The reason that `read` (kestal_last_error or a session's) writes, however long it is.
template <typename Read>
std::string read_reason(Read read) {
  std::string reason(256, '\0');
  for (int attempt = 0; attempt < 4; ++attempt) {  // the reason may change between two calls
    const int len = read(&reason[0], static_cast<unsigned int>(reason.size()));
    if (len < 0) return std::string();
    if (static_cast<std::size_t>(len) < reason.size()) {
      reason.resize(static_cast<std::size_t>(len));
      return reason;
    }
    reason.assign(static_cast<std::size_t>(len) + 1, '\0');
  }
  reason.resize(reason.size() - 1);  // cut, as the C function cuts
  return reason;
}
}  // namespace detail

/// The reason of the library's last reported failure (kestal_last_error); "" when none yet.
inline std::string last_error() { return detail::read_reason(&kestal_last_error); }

/// The reason of session `s`'s last failure (kestal_session_last_error); "" when none yet.
inline std::string last_error(kestal_session* s) {
  return detail::read_reason(
      [s](char* buf, unsigned int len) { return kestal_session_last_error(s, buf, len); });
}

/// "MAJOR.MINOR.PATCH" of the library loaded (KESTAL_VERSION_STRING is the header's).
inline std::string version() {
  const char* v = kestal_version();
  return v ? v : "";
}

/// The name of a KESTAL_OK / KESTAL_E_* result (the library's kestal_error_name).
inline const char* result_name(int code) noexcept {
  const char* name = kestal_error_name(code);
  return name && *name ? name : "unknown result";
}

/// A failure: the KESTAL_E_* code and the reason. what() reads "REASON (KESTAL_E_...)".
/// The wrapper's own failures use KESTAL_E_INVALID: a second process-wide Session, a bad setting, a
/// handler registered while started, an ACK refused by the device (its code in the reason) or a
/// reply too short for its decoder.
class Error : public std::runtime_error {
 public:
  /// An Error with `code` (KESTAL_E_*) and `reason`.
  Error(int code, const std::string& reason)
      : std::runtime_error(reason + " (" + result_name(code) + ")"), code_(code), reason_(reason) {}
  /// An Error with `code`, its reason `what_failed` followed by the library's reason: that of
  /// kestal_last_error, or with a session its own (kestal_session_last_error).
  static Error from_library(int code, const std::string& what_failed,
                            kestal_session* session = nullptr) {
    const std::string reason = session ? last_error(session) : last_error();
    return Error(code, reason.empty() ? what_failed : what_failed + ": " + reason);
  }
  /// The KESTAL_E_* code.
  int code() const noexcept { return code_; }
  /// The reason alone, without the code's name.
  const std::string& reason() const noexcept { return reason_; }

 private:
  int code_;
  std::string reason_;
};

/// The link's counters since the last start.
inline kestal_health health() {
  kestal_health h{};
  const int rc = kestal_get_health(&h);
  if (rc != KESTAL_OK) throw Error::from_library(rc, "kestal_get_health");
  return h;
}

/// The ACK of an order, as request() returns it.
class Ack {
 public:
  /// The ACK as the C interface filled it.
  explicit Ack(const kestal_ack& raw) : raw_(raw) {}
  /// The sequence number of the order it answers.
  unsigned short seq_no() const noexcept { return raw_.seq_no; }
  /// The order's sub type (KESTAL_ORDER_*).
  unsigned short sub_type() const noexcept { return raw_.sub_type; }
  /// KESTAL_ACK_OK, or the device's refusal code.
  unsigned short code() const noexcept { return raw_.code; }
  /// True when the device took the order (code() is KESTAL_ACK_OK).
  bool ok() const noexcept { return raw_.code == KESTAL_ACK_OK; }
  bool truncated() const noexcept { return raw_.truncated != 0; }  ///< reply cut at 4096 bytes
  /// The reply data that follows the ACK's header (reply_size() bytes), valid while this lives.
  const std::uint8_t* reply_data() const noexcept { return raw_.reply; }
  /// Bytes of reply data.
  std::size_t reply_size() const noexcept { return raw_.reply_len; }
  /// A copy of the reply data.
  std::vector<std::uint8_t> reply() const { return {raw_.reply, raw_.reply + raw_.reply_len}; }
  /// The C interface's ACK.
  const kestal_ack& raw() const noexcept { return raw_; }

  /// The FPGA temperature in degrees Celsius (KESTAL_ORDER_FPGA_TEMP). This and the two below
  /// decode the catalogue's replies; each throws Error (KESTAL_E_INVALID) when this is not the ACK
  /// of that order or its reply is too short.
  double fpga_temp() const {
    double celsius = 0;
    decode(KESTAL_ORDER_FPGA_TEMP, "FPGA temperature",
           [&](const kestal_order_ack& v) { return kestal_decode_fpga_temp(&v, &celsius); });
    return celsius;
  }
  /// The device's static information (KESTAL_ORDER_STATIC_INFO).
  kestal_static_info static_info() const {
    kestal_static_info info{};
    decode(KESTAL_ORDER_STATIC_INFO, "static information",
           [&](const kestal_order_ack& v) { return kestal_decode_static_info(&v, &info); });
    return info;
  }
  /// The sensor's register map (KESTAL_ORDER_SENSOR_REG_MAP).
  kestal_sensor_map sensor_map() const {
    kestal_sensor_map map{};
    decode(KESTAL_ORDER_SENSOR_REG_MAP, "sensor map",
           [&](const kestal_order_ack& v) { return kestal_decode_sensor_map(&v, &map); });
    return map;
  }

 private:
  template <typename Decoder>
  void decode(unsigned short sub_type, const char* what, Decoder decoder) const {
    if (raw_.sub_type != sub_type)
      throw Error(KESTAL_E_INVALID, std::string("not the ACK of the ") + what +
                                        " order (sub type " + std::to_string(raw_.sub_type) + ")");
    kestal_order_ack view{};
    int rc = kestal_view_ack(&raw_, &view);
    if (rc == KESTAL_OK) rc = decoder(view);
    if (rc != KESTAL_OK)
      throw Error(rc, std::string("the ") + what + " reply of " + std::to_string(raw_.reply_len) +
                          " bytes cannot be decoded");
  }

  kestal_ack raw_;
};

/// Nanoseconds since 1970-01-01 00:00 UTC on the system clock.
using UtcTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

class OwnedFrame;

/// One complete image frame as the frame handler receives it: a view whose pointers are valid only
/// during the call. copy() keeps it.
struct Frame {
  unsigned short kind = 0;  ///< KESTAL_MSG_IMAGE_PIECE, _Y_IMAGE_PIECE or _Y_IMAGE
  unsigned int number = 0;  ///< the device's frame counter (0 for a Y image)
  unsigned int width = 0;   ///< from the image header (0 for a Y image)
  unsigned int height = 0;  ///< from the image header (0 for a Y image)
  const std::uint8_t* pixels =
      nullptr;                  ///< 8-bit grey, width x height; 32-bit floats for a Y image
  std::size_t pixels_size = 0;  ///< bytes at `pixels`
  const std::uint8_t* header = nullptr;   ///< 80 bytes (72 for a Y image)
  std::size_t header_size = 0;            ///< bytes at `header`
  std::chrono::nanoseconds host_time{0};  ///< the library's steady clock at the last piece
  UtcTime utc_time{};                     ///< the same moment in UTC

  /// An empty frame.
  Frame() = default;
  /// A view of the C interface's frame.
  explicit Frame(const kestal_frame& f)
      : kind(f.kind),
        number(f.number),
        width(f.width),
        height(f.height),
        pixels(f.pixels),
        pixels_size(f.pixels_len),
        header(f.header),
        header_size(f.header_len),
        host_time(f.host_time_ns),
        utc_time(std::chrono::nanoseconds(f.utc_time_ns)) {}
  /// A copy that owns its bytes.
  inline OwnedFrame copy() const;
};

/// A frame that owns its bytes.
class OwnedFrame {
 public:
  unsigned short kind = 0;                ///< as Frame::kind
  unsigned int number = 0;                ///< as Frame::number
  unsigned int width = 0;                 ///< as Frame::width
  unsigned int height = 0;                ///< as Frame::height
  std::vector<std::uint8_t> pixels;       ///< as Frame::pixels
  std::vector<std::uint8_t> header;       ///< as Frame::header
  std::chrono::nanoseconds host_time{0};  ///< as Frame::host_time
  UtcTime utc_time{};                     ///< as Frame::utc_time

  /// An empty frame.
  OwnedFrame() = default;
  /// A copy of `f`'s bytes.
  explicit OwnedFrame(const Frame& f)
      : kind(f.kind),
        number(f.number),
        width(f.width),
        height(f.height),
        pixels(f.pixels, f.pixels + (f.pixels ? f.pixels_size : 0)),
        header(f.header, f.header + (f.header ? f.header_size : 0)),
        host_time(f.host_time),
        utc_time(f.utc_time) {}
  /// A view of this frame, valid while it lives unchanged.
  Frame view() const {
    Frame f;
    f.kind = kind;
    f.number = number;
    f.width = width;
    f.height = height;
    f.pixels = pixels.data();
    f.pixels_size = pixels.size();
    f.header = header.data();
    f.header_size = header.size();
    f.host_time = host_time;
    f.utc_time = utc_time;
    return f;
  }
};

inline OwnedFrame Frame::copy() const { return OwnedFrame(*this); }

/// A bounded queue of frames between the frame handler and the application's threads. When it is
/// full, push drops the oldest frame and counts it (dropped()); so a slow consumer loses old
/// frames, never holds up the library's receive thread. Every member may be called from any thread.
class FrameQueue {
 public:
  /// A queue of up to `capacity` frames (at least 1: Error, KESTAL_E_INVALID, otherwise).
  explicit FrameQueue(std::size_t capacity = 8) : capacity_(capacity) {
    if (capacity == 0) throw Error(KESTAL_E_INVALID, "a FrameQueue holds at least one frame");
  }
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;

  /// Queues a copy of `frame` (made outside the queue's lock), dropping the oldest when full.
  void push(const Frame& frame) { push(frame.copy()); }
  /// Queues `frame`, dropping the oldest when full.
  void push(OwnedFrame frame) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (frames_.size() == capacity_) {
        frames_.pop_front();
        ++dropped_;
      }
      frames_.push_back(std::move(frame));
    }
    ready_.notify_one();
  }
  /// The oldest frame, waiting up to `timeout` for one; nullopt when none came.
  template <typename Rep, typename Period>
  std::optional<OwnedFrame> pop(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !frames_.empty(); })) return std::nullopt;
    std::optional<OwnedFrame> frame(std::move(frames_.front()));
    frames_.pop_front();
    return frame;
  }
  /// The oldest frame if one is queued, at once.
  std::optional<OwnedFrame> try_pop() { return pop(std::chrono::milliseconds(0)); }

  /// Frames queued now.
  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
  }
  /// The most frames it holds.
  std::size_t capacity() const noexcept { return capacity_; }
  /// Frames dropped because the queue was full, since it was made.
  std::uint64_t dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
  }
  /// A frame handler that copies every frame into this queue: session.on_frame(queue.sink()).
  /// The queue must outlive the session's run.
  std::function<void(const Frame&)> sink() {
    return [this](const Frame& frame) { push(frame); };
  }

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<OwnedFrame> frames_;
  std::uint64_t dropped_ = 0;
};

/// Which transport a Session uses, with its device address.
enum class Transport {
  network = KESTAL_COMM_NETWORK,          ///< TCP, first device endpoint
  network_alt = KESTAL_COMM_NETWORK_ALT,  ///< TCP, second device endpoint
  storage = KESTAL_COMM_STORAGE           ///< the device's 50 MiB disk as a mailbox
};

/// Where a Session finds its device, and how it runs; see the named constructors.
struct Config {
  Transport transport = Transport::network;  ///< the link to the device
  std::string host;  ///< network transports: the device's address; "" keeps the one set before
  unsigned short port = 0;  ///< network transports: the device's port; 0: the transport's default
  std::string disk;         ///< storage: a disk or image file; "" searches the disks
  /// A Session of its own: the local UDP port of its arm relay; 0 runs none. (The process-wide
  /// service keeps the arm port set before.)
  unsigned short arm_port = 0;
  /// A Session of its own: after a reconnect, send START_SCAN again when the application's last
  /// scan order was a start (a restarted device has forgotten it). The process-wide service has
  /// no such setting: it refuses `true`.
  bool resume_scan = false;

  /// TCP to the first device endpoint at `host`:`port`.
  static Config network(std::string host, unsigned short port) {
    return {Transport::network, std::move(host), port, {}, 0};
  }
  /// TCP to the second device endpoint at `host`:`port`.
  static Config network_alt(std::string host, unsigned short port) {
    return {Transport::network_alt, std::move(host), port, {}, 0};
  }
  /// The device's disk (or an image file); empty: search the disks.
  static Config storage(std::string disk = {}) {
    return {Transport::storage, {}, 0, std::move(disk), 0};
  }
};

/// Passed to the constructor to start at once (for a session without handlers).
struct StartNow {};
inline constexpr StartNow start_now{};

/// Passed to the constructor for the library's process-wide service instead of a session of its
/// own: the service that the global kestal_* functions drive, one such Session at a time.
struct ProcessWide {};
inline constexpr ProcessWide process_wide{};

namespace detail {
inline std::atomic<bool> process_wide_live{false};

// What the library's callbacks reach through their user_data: the handlers and what the wrapper
// keeps about them. Handlers are written only while the library is stopped.
struct SessionState {
  std::function<void(int, std::string_view, std::string_view)> on_event;
  std::function<void(unsigned short, const std::uint8_t*, std::size_t)> on_message;
  std::function<void(unsigned short)> on_scanner_state;
  std::function<void(unsigned short)> on_arm_state;
  std::function<void(std::string_view)> on_status_line;
  std::function<void(const Frame&)> on_frame;

  std::atomic<int> in_flight{0};  // trampolines running now
  std::atomic<std::uint64_t> failures{0};
  std::mutex mutex;
  std::condition_variable changed;
  std::string last_failure;  // guarded by mutex

  // Runs one handler for the library: never lets an exception out.
  template <typename Call>
  void guard(Call call) noexcept {
    in_flight.fetch_add(1);
    try {
      call();
    } catch (const std::exception& e) {
      note_failure(e.what());
    } catch (...) {
      note_failure("an exception that is not a std::exception");
    }
    in_flight.fetch_sub(1);
  }
  void note_failure(const char* what) noexcept {
    failures.fetch_add(1);
    try {
      std::lock_guard<std::mutex> lock(mutex);
      last_failure = what;
    } catch (...) {  // the count is kept even when the text cannot be
    }
  }
  // Wakes wait_connected, which asks the library (kestal_is_connected) whether the link is up.
  void connection_changed() {
    { std::lock_guard<std::mutex> lock(mutex); }
    changed.notify_all();
  }

  static void event(int event, const char* text, const char* detail, void* user) {
    auto* s = static_cast<SessionState*>(user);
    s->guard([&] {
      s->connection_changed();
      if (s->on_event) s->on_event(event, text ? text : "", detail ? detail : "");
    });
  }
  static void message(unsigned short type, const unsigned char* data, unsigned int len,
                      void* user) {
    auto* s = static_cast<SessionState*>(user);
    s->guard([&] { s->on_message(type, data, len); });
  }
  static void scanner_state(unsigned short state, void* user) {
    auto* s = static_cast<SessionState*>(user);
    s->guard([&] { s->on_scanner_state(state); });
  }
  static void arm_state(unsigned short state, void* user) {
    auto* s = static_cast<SessionState*>(user);
    s->guard([&] { s->on_arm_state(state); });
  }
  static void status_line(const char* text, void* user) {
    auto* s = static_cast<SessionState*>(user);
    s->guard([&] { s->on_status_line(text ? text : ""); });
  }
  static void frame(const kestal_frame* f, void* user) {
    auto* s = static_cast<SessionState*>(user);
    if (f) s->guard([&] { s->on_frame(Frame(*f)); });
  }
};
}  // namespace detail

/// A device's service, configured, with handlers, started and stopped: a session of its own, or
/// the library's process-wide service (see the top of this file for threads and handler
/// exceptions).
class Session {
 public:
  /// Opens a session of its own for the device of `config` (throws Error, KESTAL_E_INVALID, for a
  /// bad setting). An empty host is the transport's default address. Starts later, with start().
  explicit Session(const Config& config) : state_(new detail::SessionState) {
    kestal_session_config c{};
    c.size = sizeof c;
    c.comm_type = static_cast<int>(config.transport);
    c.host = config.host.empty() ? nullptr : config.host.c_str();
    c.port = config.port;
    c.disk = config.disk.empty() ? nullptr : config.disk.c_str();
    c.arm_port = config.arm_port;
    c.resume_scan = config.resume_scan ? 1 : 0;
    const int r = kestal_session_open(&c, &session_);
    if (r != KESTAL_OK) throw Error::from_library(r, "session open");
  }
  /// The library's process-wide service, set up as `config` says; an empty host keeps the address
  /// set before. Throws Error (KESTAL_E_INVALID) for a bad setting or when another process-wide
  /// Session is alive.
  Session(const Config& config, ProcessWide) : state_(new detail::SessionState) {
    if (detail::process_wide_live.exchange(true))
      throw Error(KESTAL_E_INVALID,
                  "a process-wide kestal::Session is alive already (the library has one)");
    try {
      configure(config);
    } catch (...) {
      detail::process_wide_live.store(false);
      throw;
    }
  }
  /// As above, and starts at once.
  Session(const Config& config, StartNow) : Session(config) { start(); }
  Session(const Session&) = delete;             ///< not copied
  Session& operator=(const Session&) = delete;  ///< not copied
  /// Stops the session (and closes it); never throws.
  ~Session() {
    end();
    // A handler still running two seconds after the stop began was given up by the library (it
    // never calls back again): the handlers stay allocated for it.
    if (state_->in_flight.load() != 0) static_cast<void>(state_.release());
    if (session_)
      kestal_session_close(session_);
    else
      detail::process_wide_live.store(false);
  }

  /// Device events: the KESTAL_EVENT_* code, its text and, for a failure, the reason. This and
  /// the handlers below are set while stopped (Error, KESTAL_E_INVALID, once started); an empty
  /// one is off.
  void on_event(std::function<void(int event, std::string_view text, std::string_view detail)> h) {
    stopped_or_throw().on_event = std::move(h);
  }
  /// Every message the device sends; `data` is valid only during the call.
  void on_message(
      std::function<void(unsigned short type, const std::uint8_t* data, std::size_t len)> h) {
    stopped_or_throw().on_message = std::move(h);
  }
  /// The scan head's state code, once a second (7: no controller status for 3 s).
  void on_scanner_state(std::function<void(unsigned short state)> h) {
    stopped_or_throw().on_scanner_state = std::move(h);
  }
  /// The arm's state code, once a second.
  void on_arm_state(std::function<void(unsigned short state)> h) {
    stopped_or_throw().on_arm_state = std::move(h);
  }
  /// The once-a-second status line, in UTF-8.
  void on_status_line(std::function<void(std::string_view text)> h) {
    stopped_or_throw().on_status_line = std::move(h);
  }
  /// Every complete image frame; the Frame is valid only during the call (Frame::copy keeps it).
  void on_frame(std::function<void(const Frame& frame)> h) {
    stopped_or_throw().on_frame = std::move(h);
  }

  /// Registers the handlers with the library and starts it. true when everything started; false
  /// when the arm link or the transport failed to start (the library retries it; last_error() has
  /// the reason), or when another session owns this one's arm port or disk. Throws Error
  /// (KESTAL_E_INVALID) when already started.
  bool start() {
    detail::SessionState& s = stopped_or_throw();
    void* user = state_.get();
    using S = detail::SessionState;
    set_callbacks(
        &S::event, s.on_message ? &S::message : nullptr,
        s.on_scanner_state ? &S::scanner_state : nullptr, s.on_arm_state ? &S::arm_state : nullptr,
        s.on_status_line ? &S::status_line : nullptr, s.on_frame ? &S::frame : nullptr, user);
    started_ = true;  // before the library's threads start: a handler may look at it
    const int r = session_ ? kestal_session_start(session_) : kestal_start();
    if (r == KESTAL_E_IN_CALLBACK) {
      started_ = false;
      throw Error::from_library(r, "start", session_);
    }
    return r == 0;
  }

  /// Stops the library (at least a second) and unregisters the handlers; nothing when stopped.
  /// Throws Error (KESTAL_E_IN_CALLBACK) from a handler, whose return the stop would wait for: the
  /// session stays started.
  void stop() {
    const int r = end();
    if (r == KESTAL_E_IN_CALLBACK) throw Error::from_library(r, "stop", session_);
  }

  /// True from start() until stop().
  bool started() const noexcept { return started_; }
  /// Whether the library has its link to the device (kestal_is_connected): from "Connected OK"
  /// until the link is reported lost or not made; false while stopped.
  bool connected() const {
    return started_ &&
           (session_ ? kestal_session_is_connected(session_) : kestal_is_connected()) != 0;
  }
  /// Waits up to `timeout` for the connection; true once connected.
  template <typename Rep, typename Period>
  bool wait_connected(std::chrono::duration<Rep, Period> timeout) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [this] { return connected(); });
  }

  /// Sends order `sub_type` (KESTAL_ORDER_*) with `params` and waits up to `timeout` for its ACK.
  /// Returns the ACK whatever its code (see Ack::ok); throws Error with the library's code and
  /// reason when no ACK came (not connected, timeout, send failure, stopped). Any thread, the
  /// message and frame handlers included.
  Ack request(unsigned short sub_type, const std::uint8_t* params, std::size_t params_len,
              std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    if (static_cast<unsigned long long>(params_len) > UINT_MAX)
      throw Error(KESTAL_E_INVALID, "order parameters too long");
    using Rep = std::chrono::milliseconds::rep;
    const Rep ms = timeout.count() < 0 ? Rep(0) : timeout.count();
    const unsigned int timeout_ms =
        ms > static_cast<Rep>(UINT_MAX) ? UINT_MAX : static_cast<unsigned int>(ms);
    std::unique_ptr<kestal_ack> ack(new kestal_ack());
    const unsigned int len = static_cast<unsigned int>(params_len);
    const int rc =
        session_ ? kestal_session_request(session_, sub_type, params, len, timeout_ms, ack.get())
                 : kestal_request(sub_type, params, len, timeout_ms, ack.get());
    if (rc != KESTAL_OK)
      throw Error::from_library(rc, "order " + std::to_string(sub_type), session_);
    return Ack(*ack);
  }
  /// As above, with the parameters in a vector.
  Ack request(unsigned short sub_type, const std::vector<std::uint8_t>& params = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return request(sub_type, params.empty() ? nullptr : params.data(), params.size(), timeout);
  }

  /// The FPGA temperature in degrees Celsius. This and the two below are the catalogue's
  /// requests, decoded; they throw Error as request() does, and with KESTAL_E_INVALID when the
  /// device refused the order (its code in the reason) or the reply is too short.
  double fpga_temperature(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return accepted(KESTAL_ORDER_FPGA_TEMP, timeout).fpga_temp();
  }
  /// The device's static information.
  kestal_static_info static_info(
      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return accepted(KESTAL_ORDER_STATIC_INFO, timeout).static_info();
  }
  /// The sensor's register map.
  kestal_sensor_map sensor_map(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return accepted(KESTAL_ORDER_SENSOR_REG_MAP, timeout).sensor_map();
  }

  /// Sends a message of `type` (KESTAL_MSG_*) as it stands, without waiting for an answer; throws
  /// Error with the library's code and reason when it was not sent.
  void send(unsigned short type, const std::vector<std::uint8_t>& bytes) const {
    const unsigned int len = checked_len(bytes, "message");
    const unsigned char* data = bytes.empty() ? nullptr : bytes.data();
    const int rc =
        session_ ? kestal_session_send(session_, type, data, len) : kestal_send(type, data, len);
    if (rc != KESTAL_OK) throw Error::from_library(rc, "message " + std::to_string(type), session_);
  }
  /// Sends a firmware file of `firmware_type` to the device; throws Error as send() does.
  void update_firmware(unsigned short firmware_type, const std::vector<std::uint8_t>& bytes) const {
    const unsigned int len = checked_len(bytes, "firmware file");
    const unsigned char* data = bytes.empty() ? nullptr : bytes.data();
    const int rc = session_ ? kestal_session_update_firmware(session_, firmware_type, data, len)
                            : kestal_update_firmware(firmware_type, data, len);
    if (rc != KESTAL_OK)
      throw Error::from_library(rc, "firmware update " + std::to_string(firmware_type), session_);
  }

  /// The link's counters since this session's last start (the process-wide service's for it).
  kestal_health health() const {
    if (!session_) return kestal::health();
    kestal_health h{};
    const int rc = kestal_session_get_health(session_, &h);
    if (rc != KESTAL_OK) throw Error::from_library(rc, "kestal_session_get_health", session_);
    return h;
  }
  /// The reason of this session's last failure; "" when none yet.
  std::string last_error() const {
    return session_ ? kestal::last_error(session_) : kestal::last_error();
  }
  /// The C handle of a session of its own (nullptr for the process-wide service), for the C
  /// functions this wrapper does not cover; it stays owned by this Session.
  kestal_session* handle() const noexcept { return session_; }
  /// As kestal::version().
  std::string version() const { return kestal::version(); }

  /// Exceptions that handlers threw (and the wrapper caught) since this session was made.
  std::uint64_t handler_failures() const noexcept { return state_->failures.load(); }
  /// The text of the last of them; "" when none.
  std::string last_handler_failure() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->last_failure;
  }

 private:
  /// The stop of stop() and of the destructor: kestal_stop's result; nothing when stopped.
  int end() noexcept {
    if (!started_) return KESTAL_OK;
    const int r = session_ ? kestal_session_stop(session_) : kestal_stop();
    if (r == KESTAL_E_IN_CALLBACK) return r;
    set_callbacks(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    started_ = false;
    state_->connection_changed();
    return r;
  }
  void set_callbacks(kestal_event_detail_fn event, kestal_message_fn message,
                     kestal_state_fn scanner, kestal_state_fn arm, kestal_text_fn status_line,
                     kestal_frame_fn frame, void* user) noexcept {
    if (session_) {
      kestal_session_set_event_detail_callback(session_, event, user);
      kestal_session_set_message_callback(session_, message, user);
      kestal_session_set_scanner_state_callback(session_, scanner, user);
      kestal_session_set_arm_state_callback(session_, arm, user);
      kestal_session_set_status_line_utf8_callback(session_, status_line, user);
      kestal_session_set_frame_callback(session_, frame, user);
      return;
    }
    kestal_set_event_detail_callback(event, user);
    kestal_set_message_callback(message, user);
    kestal_set_scanner_state_callback(scanner, user);
    kestal_set_arm_state_callback(arm, user);
    kestal_set_status_line_utf8_callback(status_line, user);
    kestal_set_frame_callback(frame, user);
  }
  static unsigned int checked_len(const std::vector<std::uint8_t>& bytes, const char* what) {
    if (static_cast<unsigned long long>(bytes.size()) > UINT_MAX)
      throw Error(KESTAL_E_INVALID, std::string(what) + " too long");
    return static_cast<unsigned int>(bytes.size());
  }
  void configure(const Config& c) {
    if (c.resume_scan)
      throw Error(KESTAL_E_INVALID,
                  "resume_scan is for a session of its own, not the process-wide");
    const int comm = static_cast<int>(c.transport);
    if (kestal_set_comm_type(comm) != 0)
      throw Error(KESTAL_E_INVALID, "unknown transport " + std::to_string(comm));
    if (c.transport == Transport::storage) {
      if (kestal_set_storage_device(c.disk.empty() ? nullptr : c.disk.c_str()) != 0)
        throw Error(KESTAL_E_INVALID, "bad storage device path " + c.disk);
    } else if (!c.host.empty() && kestal_set_network_endpoint(comm, c.host.c_str(), c.port) != 0) {
      throw Error(KESTAL_E_INVALID, "bad device address " + c.host + ":" + std::to_string(c.port));
    }
  }
  detail::SessionState& stopped_or_throw() {
    if (started_) throw Error(KESTAL_E_INVALID, "the session is started: stop() it first");
    return *state_;
  }
  Ack accepted(unsigned short sub_type, std::chrono::milliseconds timeout) const {
    Ack ack = request(sub_type, {}, timeout);
    if (!ack.ok())
      throw Error(KESTAL_E_INVALID, "the device refused order " + std::to_string(sub_type) +
                                        " with code " + std::to_string(ack.code()));
    return ack;
  }

  std::unique_ptr<detail::SessionState> state_;
  kestal_session* session_ = nullptr;  ///< nullptr: the process-wide service
  /// Read by a handler that calls stop() (refused there) while the application may stop.
  std::atomic<bool> started_{false};
};

}  // namespace kestal

#endif  // KESTAL_KESTAL_HPP
