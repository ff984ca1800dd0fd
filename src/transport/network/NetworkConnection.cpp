#include "transport/network/NetworkConnection.h"

#include <asio.hpp>

#include <cctype>
#include <exception>
#include <stdexcept>
#include <utility>

#include "common/CallbackGate.h"
#include "common/Log.h"
#include "common/ThreadName.h"
#include "transport/network/SendNow.h"

namespace {

// The workers' and the stop's lines keep the names they have always had.
constexpr const char* kIoWorker = "HostCommViaNetwork::StartLoopRecv.IoWorker";
constexpr const char* kConnectWorker = "HostCommViaNetwork::StartLoopRecv.ConnectWorker";
constexpr const char* kStopLoopRecv = "HostCommViaNetwork::StopLoopRecv";

constexpr int kConnectedCheckMs = 200;
constexpr int kConnectedWaitMs = 10000;  // CloseSocket and a stop wake the wait
constexpr int kRetryPauseMs = 1000;
// A device that drops the attempt unanswered would leave it to the system's own limit (minutes).
constexpr int kConnectTimeoutMs = 3000;

}  // namespace

struct NetworkConnection::Io {
  asio::io_context context;
  asio::ip::tcp::socket socket{context};            // the live connection (io worker only)
  asio::ip::tcp::socket connect_socket{context};    // attempt in progress (io worker only)
  std::unique_ptr<asio::steady_timer> write_timer;  // created by the first start, reused
  std::unique_ptr<asio::steady_timer> read_timer;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work;
  asio::ip::tcp::resolver::results_type endpoints;  // the attempt's (connect worker, then io)

  asio::steady_timer* TimerOf(Timer timer) {
    return (timer == Timer::Write ? write_timer : read_timer).get();
  }
  void CloseAttempt() {
    asio::error_code ignored;
    connect_socket.close(ignored);
  }
};

NetworkConnection::NetworkConnection(const std::atomic<bool>& stop, LinkHealth& health,
                                     const StatusReportFn& report_status,
                                     const FailureReportFn& report_failure, Step restart_chains)
    : m_stop(stop),
      m_health(health),
      m_report_status(report_status),
      m_report_failure(report_failure),
      m_restart_chains(std::move(restart_chains)),
      m_io(std::make_unique<Io>()) {}

NetworkConnection::~NetworkConnection() {
  m_io->write_timer.reset();
  m_io->read_timer.reset();
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void NetworkConnection::StartIo(const HostCommEndpoint& endpoint, LinkCapture* capture) {
  m_remote_ip = endpoint.host;
  m_remote_port = endpoint.port;
  m_capture = capture;
  m_connections_made = 0;
  if (!m_io->write_timer) m_io->write_timer = std::make_unique<asio::steady_timer>(m_io->context);
  if (!m_io->read_timer) m_io->read_timer = std::make_unique<asio::steady_timer>(m_io->context);
  m_io->work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      asio::make_work_guard(m_io->context));
  {
    kestal::MutexLock lock(m_worker_mutex);
    m_io_running = true;
  }
  m_io->context.restart();
  m_io_thread = std::thread(kestal::Log::Inheriting([this] { LoopIo(); }));
}

void NetworkConnection::StartConnecting() {
  m_connect_thread = kestal::CallbackGate::StartWorker([this] { LoopConnect(); });
}

// The stop flag is already set: taking the lock orders the waiters' look at it before the wake.
void NetworkConnection::NotifyStop() {
  { kestal::MutexLock lock(m_worker_mutex); }
  m_worker_signal.NotifyAll();
}

// Closing the sockets aborts the pending read and write and any connection attempt. Without the
// work guard the io worker's run returns once the close has run and the chains, which see the stop
// flag, stop re-arming.
void NetworkConnection::CloseForStop() {
  if (m_io_thread.joinable()) {
    asio::post(m_io->context, [this] {
      CloseSocket();
      m_io->CloseAttempt();
      // A chain waiting on its timer (an idle send chain waits long) sees the stop now.
      CancelTimer(Timer::Write);
      CancelTimer(Timer::Read);
    });
  } else {
    CloseSocket();
    m_io->CloseAttempt();
  }
  m_io->work.reset();
}

void NetworkConnection::JoinWorkers() {
  // Only the connect worker calls the application (it reports the connection states); the io
  // worker never does, so nothing can hold it up.
  if (m_io_thread.joinable()) m_io_thread.join();
  kestal::CallbackGate::JoinWorker(m_connect_thread);
}

// No worker runs now. Whatever the io worker left in the context (the close in CloseForStop,
// aborted operations) completes here, on this thread, and sees the stop flag.
void NetworkConnection::RunLeftHandlers() {
  m_io->context.restart();
  CloseSocket();
  m_io->CloseAttempt();
  for (;;) {
    try {
      m_io->context.run();
      break;
    } catch (const std::exception& e) {
      KLOG_DEBUG_AS(kStopLoopRecv, "Exception:%s", e.what());
    }
  }
  m_io->context.restart();
}

// ---------------------------------------------------------------------------------------------
// What the chains use

bool NetworkConnection::SocketOpen() const { return m_io->socket.is_open(); }

void NetworkConnection::Post(Step step, HandlerSlot* slot) {
  if (!slot) {
    asio::post(m_io->context, std::move(step));
    return;
  }
  asio::post(m_io->context, asio::bind_allocator(HandlerSlotAllocator<void>(slot),
                                                 [step = std::move(step)] { step(); }));
}

void NetworkConnection::WaitTimer(Timer timer, std::chrono::milliseconds wait, Step step) {
  asio::steady_timer* t = m_io->TimerOf(timer);
  t->expires_after(wait);
  t->async_wait([step = std::move(step)](const asio::error_code&) { step(); });
}

void NetworkConnection::CancelTimer(Timer timer) {
  if (asio::steady_timer* t = m_io->TimerOf(timer)) t->cancel();
}

void NetworkConnection::AsyncWrite(const uint8_t* data, std::size_t length, IoDone done) {
  asio::async_write(m_io->socket, asio::buffer(data, length), std::move(done));
}

void NetworkConnection::AsyncReceive(uint8_t* buffer, std::size_t length, IoDone done) {
  m_io->socket.async_receive(asio::buffer(buffer, length), std::move(done));
}

long NetworkConnection::WriteNow(uint32_t connection, const uint8_t* data, uint32_t length) {
  kestal::MutexLock lock(m_socket_mutex);
  // A socket of a later connection never gets these bytes.
  if (connection != m_connection_id || !m_io->socket.is_open()) return -1;
  return kestal::SendNow(static_cast<intptr_t>(m_io->socket.native_handle()), data, length);
}

void NetworkConnection::CloseSocket() {
  {
    kestal::MutexLock lock(m_worker_mutex);
    m_connected = false;
  }
  m_worker_signal.NotifyAll();
  asio::error_code error;
  {
    kestal::MutexLock lock(m_socket_mutex);
    m_io->socket.close(error);
  }
  if (error)
    KLOG_DEBUG_AS("HostCommViaNetwork::CloseSocket", "Close Exception:%s", error.message().c_str());
}

void NetworkConnection::CloseSocketLater(uint32_t connection) {
  asio::post(m_io->context, [this, connection] {
    if (connection == m_connection_id) CloseSocket();
  });
}

void NetworkConnection::NoteLoss(const std::error_code& error) {
  kestal::MutexLock lock(m_worker_mutex);
  m_lost_reason = ErrorText(error);
}

bool NetworkConnection::Aborted(const std::error_code& error) {
  return error == asio::error::operation_aborted;
}

// ---------------------------------------------------------------------------------------------
// Workers

void NetworkConnection::LoopIo() {
  kestal::NameThisThread("kestal-io");
  for (;;) {
    try {
      m_io->context.run();
      KLOG_DEBUG_AS(kIoWorker, "******************io context work exit***********************");
      break;
    } catch (const std::exception& e) {
      // A handler threw; the context runs on once the link is put right.
      KLOG_DEBUG_AS(kIoWorker, "Exception:%s", e.what());
      RecoverIo();
    }
  }
  KLOG_DEBUG_AS(kIoWorker, "loop async io thread stopped");
  {
    kestal::MutexLock lock(m_worker_mutex);
    m_io_running = false;
  }
  m_worker_signal.NotifyAll();
}

void NetworkConnection::WaitWhileConnected(int ms) {
  kestal::MutexLock lock(m_worker_mutex);
  m_worker_signal.WaitFor(lock, std::chrono::milliseconds(ms),
                          [this] { return m_stop || !m_connected; });
}

bool NetworkConnection::WaitForStop(int ms) {
  kestal::MutexLock lock(m_worker_mutex);
  return m_worker_signal.WaitFor(lock, std::chrono::milliseconds(ms),
                                 [this] { return m_stop.load(); });
}

// The handler that threw ended its chain or the connection attempt it served. The connection is
// given up as a lost one (the connect worker reports the loss and dials again), an attempt in
// progress fails, and the chains that are not armed start again (m_restart_chains, on the io
// worker), so that a handler failing for good throws at most once a retry wait.
void NetworkConnection::RecoverIo() {
  // The attempt in progress is the one before the close below: the close wakes the connect worker,
  // and the attempt it then begins is a fresh one, not to be failed here.
  uint64_t attempt;
  {
    kestal::MutexLock lock(m_worker_mutex);
    attempt = m_connect_attempt;
  }
  CloseSocket();
  m_io->CloseAttempt();
  FinishConnect(attempt, asio::error::operation_aborted);
  asio::post(m_io->context, [this] { m_restart_chains(); });
}

// The device's endpoint as the failure reasons name it: host:port, an IPv6 address in brackets.
std::string NetworkConnection::EndpointText() const {
  const bool v6 = m_remote_ip.find(':') != std::string::npos;
  return (v6 ? "[" + m_remote_ip + "]" : m_remote_ip) + ":" + std::to_string(m_remote_port);
}

// A short lower-case reason: the common failures in the same words on every system.
std::string NetworkConnection::ErrorText(const asio::error_code& error) {
  namespace e = asio::error;
  if (error == e::connection_refused) return "connection refused";
  if (error == e::host_not_found || error == e::host_not_found_try_again || error == e::no_data)
    return "host not found";
  if (error == e::timed_out) return "timed out";
  if (error == e::network_unreachable) return "network unreachable";
  if (error == e::host_unreachable) return "host unreachable";
  if (error == e::eof) return "closed by the device";
  if (error == e::connection_reset) return "reset by the device";
  std::string text = error.message();
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void NetworkConnection::LoopConnect() {
  kestal::NameThisThread("kestal-connect");
  bool reported = false;
  for (;;) {
    if (m_stop) {
      KLOG_DEBUG_AS(kConnectWorker, "loop accept thread stopped");  // the line's old text
      return;
    }
    if (m_connected) {
      // A new connection is reported once it has lasted a moment; after that the worker sleeps
      // until the connection is lost (CloseSocket wakes it) or a stop.
      WaitWhileConnected(reported ? kConnectedWaitMs : kConnectedCheckMs);
      // A connection that is already gone again (or a stop) is not reported as connected.
      if (!reported && m_connected && !m_stop) {
        ReportStatusTo(m_report_status, kestal::HostCommStatusNetworkConnected, "");
        reported = true;
      }
      continue;
    }
    // A connection the application was told about is gone: said once, before dialling again. A stop
    // is no loss.
    if (reported && !m_stop) ReportLoss();
    reported = false;
    // The failure's reason names the step that failed: resolving the name or connecting.
    std::string step = "resolve " + m_remote_ip;
    try {
      ResolveAndConnect(&step);
      KLOG_DEBUG_AS(kConnectWorker, "Create a new connection");
    } catch (const std::exception& e) {
      KLOG_DEBUG_AS(kConnectWorker, "Exception:%s", e.what());
      const auto* error = dynamic_cast<const asio::system_error*>(&e);
      ReportFailureTo(m_report_failure,
                      step + ": " + (error ? ErrorText(error->code()) : std::string(e.what())));
      ReportStatusTo(m_report_status, kestal::HostCommStatusNetworkConnectError, "");
      WaitForStop(kRetryPauseMs);
    }
  }
}

void NetworkConnection::ReportLoss() {
  std::string why;
  {
    kestal::MutexLock lock(m_worker_mutex);
    why.swap(m_lost_reason);
  }
  ReportFailureTo(m_report_failure,
                  "connection to " + EndpointText() + " lost" + (why.empty() ? "" : ": " + why));
  ReportStatusTo(m_report_status, kestal::HostCommStatusCommError, "");
}

// The attempt runs on the io worker as an asynchronous connect, so that a stop can abort it by
// closing the attempt's socket there; this thread waits for its result.
void NetworkConnection::ResolveAndConnect(std::string* step) {
  asio::ip::tcp::resolver resolver(m_io->context);
  KLOG_DEBUG_AS(kConnectWorker, "Ready to Create a new connection");
  auto endpoints = resolver.resolve(m_remote_ip, std::to_string(m_remote_port));
  *step = "connect " + EndpointText();
  uint64_t attempt;
  {
    kestal::MutexLock lock(m_worker_mutex);
    if (!m_io_running) throw std::runtime_error("connect: the io worker has ended");
    attempt = ++m_connect_attempt;
    m_connect_done = false;
    m_connect_error = asio::error_code();
  }
  if (m_stop) throw asio::system_error(asio::error::operation_aborted, "connect");
  asio::post(m_io->context, [this, endpoints = std::move(endpoints), attempt] {
    m_io->endpoints = endpoints;
    StartConnect(attempt);
  });

  kestal::MutexLock lock(m_worker_mutex);
  auto settled = [this]() REQUIRES(m_worker_mutex) { return m_connect_done || !m_io_running; };
  // An attempt still open after kConnectTimeoutMs is given up by the io worker, which owns its
  // socket; its result follows at once.
  if (!m_worker_signal.WaitFor(lock, std::chrono::milliseconds(kConnectTimeoutMs), settled)) {
    asio::post(m_io->context, [this, attempt] { TimeOutConnect(attempt); });
    m_worker_signal.Wait(lock, settled);
  }
  if (!m_connect_done) throw std::runtime_error("connect: the io worker has ended");
  if (m_connect_error) throw asio::system_error(m_connect_error, "connect");
}

void NetworkConnection::StartConnect(uint64_t attempt) {
  if (m_stop) {
    FinishConnect(attempt, asio::error::operation_aborted);
    return;
  }
  m_io->connect_socket = asio::ip::tcp::socket(m_io->context);
  asio::async_connect(
      m_io->connect_socket, m_io->endpoints,
      [this, attempt](const asio::error_code& error, const asio::ip::tcp::endpoint&) {
        asio::error_code result = error;
        // A connection made just as the attempt was given up (or a stop began) is
        // not kept.
        if (!result && (m_stop || ConnectSettled(attempt))) {
          m_io->CloseAttempt();
          result = asio::error::operation_aborted;
        }
        if (!result) Adopt();
        FinishConnect(attempt, result);
      });
}

void NetworkConnection::Adopt() {
  kestal::MutexLock lock(m_socket_mutex);
  m_io->socket = std::move(m_io->connect_socket);
  m_connection_id.fetch_add(1);
  m_connected = true;
  if (++m_connections_made > 1) LinkHealth::Add(m_health.reconnects);
  if (m_capture) CaptureConnection();
}

// The attempt ran out of time: closing its socket aborts the connect, and it fails as timed out.
void NetworkConnection::TimeOutConnect(uint64_t attempt) {
  if (ConnectSettled(attempt)) return;
  m_io->CloseAttempt();
  FinishConnect(attempt, asio::error::timed_out);
}

bool NetworkConnection::ConnectSettled(uint64_t attempt) {
  kestal::MutexLock lock(m_worker_mutex);
  return attempt != m_connect_attempt || m_connect_done;
}

// Tells the capture of the new connection's endpoints (IPv4; others are written as 0.0.0.0).
void NetworkConnection::CaptureConnection() {
  asio::error_code e1, e2;
  const asio::ip::tcp::endpoint local = m_io->socket.local_endpoint(e1),
                                remote = m_io->socket.remote_endpoint(e2);
  auto ip = [](const asio::ip::tcp::endpoint& e) {
    return e.address().is_v4() ? e.address().to_v4().to_uint() : 0u;
  };
  m_capture->Connected(ip(local), local.port(), ip(remote), remote.port());
}

void NetworkConnection::FinishConnect(uint64_t attempt, const asio::error_code& error) {
  {
    kestal::MutexLock lock(m_worker_mutex);
    if (attempt != m_connect_attempt || m_connect_done) return;
    m_connect_done = true;
    m_connect_error = error;
  }
  m_worker_signal.NotifyAll();
}
