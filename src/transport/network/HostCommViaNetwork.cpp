#include "transport/network/HostCommViaNetwork.h"

#include <asio.hpp>

#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "common/CallbackGate.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "common/ThreadName.h"
#include "common/StatusReport.h"
#include "transport/network/FrameCodec.h"
#include "transport/network/SendNow.h"

namespace {

constexpr const char* kIoWorker = "HostCommViaNetwork::StartLoopRecv.IoWorker";
constexpr const char* kConnectWorker = "HostCommViaNetwork::StartLoopRecv.ConnectWorker";
constexpr const char* kParseWorker = "HostCommViaNetwork::StartLoopRecv.ParseWorker";
// The steps of StopLoopRecv log under its name, as it always has.
constexpr const char* kStopLoopRecv = "HostCommViaNetwork::StopLoopRecv";

// An idle send chain is woken by SendOrder; the timer is only the backstop of a wake-up.
constexpr auto kIdleWriteWait = std::chrono::milliseconds(10000);
constexpr auto kChainRetryWait = std::chrono::milliseconds(50);
constexpr int kConnectedCheckMs = 200;
constexpr int kConnectedWaitMs = 10000;      // CloseSocket and a stop wake the wait
constexpr int32_t kParseIdleWaitMs = 10000;  // a read and a stop wake the wait
constexpr int kRetryPauseMs = 1000;
// A device that drops the attempt unanswered would leave it to the system's own limit (minutes).
constexpr int kConnectTimeoutMs = 3000;
constexpr int kStopMinimumMs = 900;        // a stop never takes less
constexpr int32_t kOrderBufferWaitMs = 5;  // a single order's wait for a free send buffer
constexpr int64_t kLongWaitStepMs = 50;
// Send buffers that a long wait (a firmware file's chunks) leaves to single orders: heartbeats,
// requests and orders of other threads keep finding room while a large file fills the queue, for
// 32 orders while the device reads nothing.
constexpr uint32_t kBuffersKeptForOrders = 32;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

struct HostCommViaNetwork::Io {
  asio::io_context context;
  asio::ip::tcp::socket socket{context};            // the live connection (io worker only)
  asio::ip::tcp::socket connect_socket{context};    // attempt in progress (io worker only)
  std::unique_ptr<asio::steady_timer> write_timer;  // created by the first start, reused
  std::unique_ptr<asio::steady_timer> read_timer;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work;

  // The connect worker's attempt, started on the io worker.
  static void StartConnect(HostCommViaNetwork& owner,
                           const asio::ip::tcp::resolver::results_type& endpoints,
                           uint64_t attempt);
};

HostCommViaNetwork::HostCommViaNetwork(HostCommTransportConfig config)
    : m_io(std::make_unique<Io>()),
      m_health(config.health ? config.health : &m_own_health),
      m_parser({m_health, &m_stop}),
      m_report_status(std::move(config.report_status)),
      m_report_failure(std::move(config.report_failure)) {}

HostCommViaNetwork::~HostCommViaNetwork() {
  if (m_io_thread.joinable() || m_connect_thread.joinable() || m_parse_thread.joinable())
    StopLoopRecv();
  m_send_cache_queue.Deinit();
  m_io->write_timer.reset();
  m_io->read_timer.reset();
}

int32_t HostCommViaNetwork::BuildMsg(const uint8_t* data, uint32_t available) {
  return FrameCodec::Check(data, available, available);
}

int32_t HostCommViaNetwork::BuildMsg(const uint8_t* data, uint32_t available, uint32_t readable) {
  return FrameCodec::Check(data, available, readable);
}

bool HostCommTransport::IsValidHost(const std::string& host) {
  constexpr size_t kMaxName = 253, kMaxLabel = 63;
  asio::error_code ec;
  // Windows' parser also takes a bracketed "[::1]", which names no host on any system.
  if (host.find(':') != std::string::npos)
    return host.find_first_of("[] ") == std::string::npos &&
           (asio::ip::make_address_v6(host, ec), !ec);
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    // Four decimal parts of at most 255, as inet_pton reads them (Windows' parser would also take
    // "1.2.3").
    unsigned parts = 0;
    for (size_t at = 0; at <= host.size(); ++parts) {
      size_t dot = host.find('.', at);
      if (dot == std::string::npos) dot = host.size();
      if (dot == at || dot - at > 3 || std::stoi(host.substr(at, dot - at)) > 255) return false;
      at = dot + 1;
    }
    return parts == 4;
  }
  if (host.empty() || host.size() > kMaxName) return false;
  const size_t end =
      host.back() == '.' ? host.size() - 1 : host.size();  // a fully qualified name's root dot
  for (size_t begin = 0; begin <= end;) {
    size_t dot = host.find('.', begin);
    if (dot == std::string::npos || dot > end) dot = end;
    const size_t n = dot - begin;
    if (n == 0 || n > kMaxLabel || host[begin] == '-' || host[dot - 1] == '-') return false;
    for (size_t i = begin; i < dot; ++i)
      if (!std::isalnum(static_cast<unsigned char>(host[i])) && host[i] != '-') return false;
    begin = dot + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Start and stop

int HostCommViaNetwork::StartLoopRecv(const HostCommTransportPlan& plan) {
  // Workers of an earlier start never run beside the new ones.
  if (m_io_thread.joinable() || m_connect_thread.joinable() || m_parse_thread.joinable())
    StopLoopRecv();
  m_remote_ip = plan.endpoint.host;
  m_remote_port = plan.endpoint.port;
  m_capture = plan.capture;
  m_deliver = plan.deliver;

  m_stop = false;
  // The send queue and the receive cache come with the first start and stay until the transport
  // goes.
  if (!m_recv_cache) {
    m_send_cache_queue.Init(m_buffer_count);
    m_recv_cache.reset(new uint8_t[m_recv_cache_capacity]());
  }
  // What an earlier start left behind never joins the data of this one.
  if (RecvCacheLen() != 0) KLOG_DEBUG_AS(kParseWorker, "socket is closed, clear recv cache");
  {
    kestal::MutexLock lock(m_parse_mutex);
    ClearCache();
  }
  m_recv_cache_connection = m_connection_id.load();
  m_read_parked = false;
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    m_parse_pending = false;
  }
  m_connections_made = 0;
  if (!m_io->write_timer) m_io->write_timer = std::make_unique<asio::steady_timer>(m_io->context);
  if (!m_io->read_timer) m_io->read_timer = std::make_unique<asio::steady_timer>(m_io->context);
  m_io->work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      asio::make_work_guard(m_io->context));
  m_send_idle = false;
  {
    kestal::MutexLock lock(m_worker_mutex);
    m_io_running = true;
  }
  m_write_armed = m_read_armed = true;  // their first steps are queued below
  m_io->context.restart();
  m_io_thread = std::thread([this] { LoopIo(); });
  SleepMs(100);
  m_connect_thread = kestal::CallbackGate::StartWorker([this] { LoopConnect(); });
  // The chains make their first steps on the io worker, like every later step, so the socket
  // and the timers are never touched by two threads.
  asio::post(m_io->context, [this] {
    m_write_armed = false;
    AsyncWriteData();
  });
  asio::post(m_io->context, [this] {
    m_read_armed = false;
    AsyncReadData();
  });
  m_parse_thread = std::thread([this] { LoopParse(); });
  return 0;
}

// The workers are joined as soon as they end; the stop still takes at least 900 ms in all, the
// pace that a reconnect following at once relies on.
int HostCommViaNetwork::StopLoopRecv() {
  const auto done = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopMinimumMs);
  {
    kestal::MutexLock lock(m_worker_mutex);
    m_stop = true;
  }
  m_worker_signal.NotifyAll();
  {
    kestal::MutexLock lock(m_recv_cache_mutex);  // the parse worker's wait sees the stop at once
  }
  m_parse_signal.NotifyAll();

  CloseSocketsForStop();
  // Without the work guard the io worker's run returns once the close above has run and the
  // chains, which see m_stop, stop re-arming.
  m_io->work.reset();
  JoinWorkers();
  RunLeftHandlers();
  m_send_idle = false;
  kestal::SleepUntil(done);
  return 0;
}

// Closing the sockets aborts the pending read and write and any connection attempt.
void HostCommViaNetwork::CloseSocketsForStop() {
  if (m_io_thread.joinable()) {
    asio::post(m_io->context, [this] {
      CloseSocket();
      asio::error_code ignored;
      m_io->connect_socket.close(ignored);
      // A chain waiting on its timer (an idle send chain waits up to a second) sees m_stop now.
      if (m_io->write_timer) m_io->write_timer->cancel();
      if (m_io->read_timer) m_io->read_timer->cancel();
    });
  } else {
    CloseSocket();
    asio::error_code ignored;
    m_io->connect_socket.close(ignored);
  }
}

void HostCommViaNetwork::JoinWorkers() {
  // Only the connect worker calls the application (it reports the connection states); the io and
  // parse workers never do, so nothing can hold them up.
  if (m_io_thread.joinable()) m_io_thread.join();
  kestal::CallbackGate::JoinWorker(m_connect_thread);
  if (m_parse_thread.joinable()) m_parse_thread.join();
}

// No worker runs now. Whatever the io worker left in the context (the close in
// CloseSocketsForStop, aborted operations) completes here, on this thread, and sees m_stop.
void HostCommViaNetwork::RunLeftHandlers() {
  m_io->context.restart();
  CloseSocket();
  asio::error_code ignored;
  m_io->connect_socket.close(ignored);
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
// Workers

void HostCommViaNetwork::LoopIo() {
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

void HostCommViaNetwork::WaitWhileConnected(int ms) {
  kestal::MutexLock lock(m_worker_mutex);
  m_worker_signal.WaitFor(lock, std::chrono::milliseconds(ms),
                          [this] { return m_stop || !m_connected; });
}

bool HostCommViaNetwork::WaitForStop(int ms) {
  kestal::MutexLock lock(m_worker_mutex);
  return m_worker_signal.WaitFor(lock, std::chrono::milliseconds(ms),
                                 [this] { return m_stop.load(); });
}

// The handler that threw ended its chain or the connection attempt it served. The connection is
// given up as a lost one (the connect worker reports the loss and dials again), an attempt in
// progress fails, and a chain that is not armed starts again from its timer, so that a handler
// failing for good throws at most once a retry wait.
void HostCommViaNetwork::RecoverIo() {
  // The attempt in progress is the one before the close below: the close wakes the connect worker,
  // and the attempt it then begins is a fresh one, not to be failed here.
  uint64_t attempt;
  {
    kestal::MutexLock lock(m_worker_mutex);
    attempt = m_connect_attempt;
  }
  CloseSocket();
  asio::error_code ignored;
  m_io->connect_socket.close(ignored);
  FinishConnect(attempt, asio::error::operation_aborted);
  asio::post(m_io->context, [this] {
    if (!m_write_armed) {
      if (m_send_cache_item) ReleaseSendItem();  // no write uses it any more
      if (!m_stop) WriteAfter(kChainRetryWait);
    }
    if (!m_read_armed && !m_stop) ReadAfter(kChainRetryWait);
  });
}

// The device's endpoint as the failure reasons name it: host:port, an IPv6 address in brackets.
std::string HostCommViaNetwork::EndpointText() const {
  const bool v6 = m_remote_ip.find(':') != std::string::npos;
  return (v6 ? "[" + m_remote_ip + "]" : m_remote_ip) + ":" + std::to_string(m_remote_port);
}

// A short lower-case reason: the common failures in the same words on every system.
std::string HostCommViaNetwork::ErrorText(const asio::error_code& error) {
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

void HostCommViaNetwork::LoopConnect() {
  kestal::NameThisThread("kestal-connect");
  bool reported = false;
  for (;;) {
    if (m_stop) {
      KLOG_DEBUG_AS(kConnectWorker, "loop accept thread stopped");
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
    if (reported && !m_stop) {
      std::string why;
      {
        kestal::MutexLock lock(m_worker_mutex);
        why.swap(m_lost_reason);
      }
      ReportFailureTo(m_report_failure, "connection to " + EndpointText() + " lost" +
                                            (why.empty() ? "" : ": " + why));
      ReportStatusTo(m_report_status, kestal::HostCommStatusCommError, "");
    }
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

// The attempt runs on the io worker as an asynchronous connect, so that a stop can abort it by
// closing the attempt's socket there; this thread waits for its result.
void HostCommViaNetwork::ResolveAndConnect(std::string* step) {
  asio::ip::tcp::resolver resolver(m_io->context);
  KLOG_DEBUG_AS(kConnectWorker, "Ready to Create a new connection");
  const auto endpoints = resolver.resolve(m_remote_ip, std::to_string(m_remote_port));
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
  asio::post(m_io->context,
             [this, endpoints, attempt] { Io::StartConnect(*this, endpoints, attempt); });

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

void HostCommViaNetwork::Io::StartConnect(HostCommViaNetwork& owner,
                                          const asio::ip::tcp::resolver::results_type& endpoints,
                                          uint64_t attempt) {
  if (owner.m_stop) {
    owner.FinishConnect(attempt, asio::error::operation_aborted);
    return;
  }
  Io& io = *owner.m_io;
  io.connect_socket = asio::ip::tcp::socket(io.context);
  asio::async_connect(
      io.connect_socket, endpoints,
      [&owner, &io, attempt](const asio::error_code& error, const asio::ip::tcp::endpoint&) {
        asio::error_code result = error;
        // A connection made just as the attempt was given up (or a stop began) is not kept.
        if (!result && (owner.m_stop || owner.ConnectSettled(attempt))) {
          asio::error_code ignored;
          io.connect_socket.close(ignored);
          result = asio::error::operation_aborted;
        }
        if (!result) {
          kestal::MutexLock lock(owner.m_socket_mutex);
          io.socket = std::move(io.connect_socket);
          owner.m_connection_id.fetch_add(1);
          owner.m_connected = true;
          if (++owner.m_connections_made > 1) LinkHealth::Add(owner.m_health->reconnects);
          if (owner.m_capture) owner.CaptureConnection();
        }
        owner.FinishConnect(attempt, result);
      });
}

// The attempt ran out of time: closing its socket aborts the connect, and it fails as timed out.
void HostCommViaNetwork::TimeOutConnect(uint64_t attempt) {
  if (ConnectSettled(attempt)) return;
  asio::error_code ignored;
  m_io->connect_socket.close(ignored);
  FinishConnect(attempt, asio::error::timed_out);
}

bool HostCommViaNetwork::ConnectSettled(uint64_t attempt) {
  kestal::MutexLock lock(m_worker_mutex);
  return attempt != m_connect_attempt || m_connect_done;
}

// Tells the capture of the new connection's endpoints (IPv4; others are written as 0.0.0.0).
void HostCommViaNetwork::CaptureConnection() {
  asio::error_code e1, e2;
  const asio::ip::tcp::endpoint local = m_io->socket.local_endpoint(e1),
                                remote = m_io->socket.remote_endpoint(e2);
  auto ip = [](const asio::ip::tcp::endpoint& e) {
    return e.address().is_v4() ? e.address().to_v4().to_uint() : 0u;
  };
  m_capture->Connected(ip(local), local.port(), ip(remote), remote.port());
}

void HostCommViaNetwork::FinishConnect(uint64_t attempt, const asio::error_code& error) {
  {
    kestal::MutexLock lock(m_worker_mutex);
    if (attempt != m_connect_attempt || m_connect_done) return;
    m_connect_done = true;
    m_connect_error = error;
  }
  m_worker_signal.NotifyAll();
}

void HostCommViaNetwork::CloseSocket() {
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
  if (error) KLOG_DEBUG("Close Exception:%s", error.message().c_str());
}

void HostCommViaNetwork::CloseSocketLater(uint32_t connection) {
  asio::post(m_io->context, [this, connection] {
    if (connection == m_connection_id) CloseSocket();
  });
}

// ---------------------------------------------------------------------------------------------
// Send path

int HostCommViaNetwork::SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                                  const SendWait& wait) {
  if (length > FrameCodec::kMaxPayloadLength) {
    KLOG_DEBUG("Send order message is too large:%d/%d", static_cast<int>(length),
               static_cast<int>(FrameCodec::kMaxPayloadLength));
    return -1;
  }
  // A long wait happens before the senders' turn, so that single orders (heartbeats among them)
  // keep their short wait meanwhile.
  const bool long_wait = wait.max_wait_ms > 0;
  WorkFlowBuffer* buffer = long_wait ? WaitForSendBuffer(wait) : nullptr;
  kestal::MutexLock lock(m_send_mutex);
  if (!m_connected) {
    if (buffer) m_send_cache_queue.PutFree(buffer);
    return -1;
  }
  const uint32_t connection = m_connection_id;
  if (!long_wait) buffer = m_send_cache_queue.GetFree(kOrderBufferWaitMs);
  if (!buffer) {
    // A long wait ended by a stop is no full queue.
    if (!long_wait || (!m_stop && !wait.Cancelled())) KLOG_DEBUG("Send cache queue is full");
    return -1;
  }
  int32_t n =
      FrameCodec::Encode(msg_type, data, length, buffer->data, m_send_cache_queue.BufferSize());
  buffer->bytes_used = static_cast<uint32_t>(n);
  buffer->data_offset = 0;
  buffer->msg_type = connection;
  // An idle chain stays parked while this thread writes: nothing else wakes it but SendOrder.
  if (m_send_idle.load() && WriteNow(buffer, connection)) return 0;
  m_send_cache_queue.PutFull(buffer);
  LinkHealth::Raise(m_health->send_queue_high, m_send_cache_queue.FullHighWater());
  if (m_send_idle.exchange(false)) {
    asio::post(m_io->context, asio::bind_allocator(HandlerSlotAllocator<void>(&m_wake_slot),
                                                   [this] { WakeSendChain(); }));
  }
  return 0;
}

bool HostCommViaNetwork::WriteNow(WorkFlowBuffer* buffer, uint32_t connection) {
  long written = 0;
  {
    kestal::MutexLock lock(m_socket_mutex);
    // A socket of a later connection never gets this frame; the send chain drops it.
    if (connection != m_connection_id || !m_io->socket.is_open()) return false;
    written = kestal::SendNow(static_cast<intptr_t>(m_io->socket.native_handle()), buffer->data,
                              buffer->bytes_used);
  }
  // A refusal (the socket is full) or an error is the send chain's: it writes the rest, or meets
  // the error itself and gives the connection up, as it would have.
  if (written < static_cast<long>(buffer->bytes_used)) {
    buffer->data_offset = written > 0 ? static_cast<uint32_t>(written) : 0;
    return false;
  }
  LinkHealth::Add(m_health->frames_out);
  LinkHealth::Add(m_health->bytes_out, buffer->bytes_used);
  if (m_capture) m_capture->Record(true, buffer->data, buffer->bytes_used);
  m_send_cache_queue.PutFree(buffer);
  return true;
}

WorkFlowBuffer* HostCommViaNetwork::WaitForSendBuffer(const SendWait& wait) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait.max_wait_ms);
  for (;;) {
    if (m_stop || !m_connected || wait.Cancelled()) return nullptr;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return nullptr;
    // In short steps, so that a lost connection or a stop ends the wait within one of them.
    const int32_t step = static_cast<int32_t>(left < kLongWaitStepMs ? left : kLongWaitStepMs);
    WorkFlowBuffer* buffer = m_send_cache_queue.GetFree(step);
    if (buffer && m_send_cache_queue.FreeCount() >= kBuffersKeptForOrders) return buffer;
    // Too few left for single orders: give it back and look again once the link has written some.
    if (buffer) m_send_cache_queue.PutFree(buffer), SleepMs(1);
  }
}

// The send chain parks on its timer; cancelling the wait runs its next step now. The step is
// still called exactly once per wait, so there is never a second chain.
void HostCommViaNetwork::WakeSendChain() {
  if (m_io->write_timer) m_io->write_timer->cancel();
}

// The same for the receive chain, once the parse worker has made room.
void HostCommViaNetwork::WakeReadChain() {
  asio::post(m_io->context,
             asio::bind_allocator(HandlerSlotAllocator<void>(&m_read_wake_slot), [this] {
               if (m_io->read_timer) m_io->read_timer->cancel();
             }));
}

WorkFlowBuffer* HostCommViaNetwork::TakeFrameToWrite() {
  while (WorkFlowBuffer* buffer = m_send_cache_queue.GetFull(-1)) {
    if (buffer->msg_type == m_connection_id) return buffer;
    m_send_cache_queue.PutFree(buffer);  // queued for a connection that is gone
  }
  return nullptr;
}

void HostCommViaNetwork::DropQueuedFrames() {
  while (WorkFlowBuffer* buffer = m_send_cache_queue.GetFull(-1))
    m_send_cache_queue.PutFree(buffer);
}

void HostCommViaNetwork::AsyncWriteData() {
  if (m_stop) {
    KLOG_DEBUG("Job is stopped");
    return;
  }
  if (!m_io->socket.is_open()) {
    DropQueuedFrames();
    WriteAfter(kChainRetryWait);
    return;
  }
  WorkFlowBuffer* item = TakeFrameToWrite();
  if (!item) {
    // The chain parks, and hands the socket's writes to SendOrder, only under the senders' lock:
    // no sender is then between its check of m_send_idle and its write or its queued frame, so a
    // sender's own write never runs beside the chain's nor overtakes a frame queued before it.
    kestal::MutexLock lock(m_send_mutex);
    item = TakeFrameToWrite();  // queued meanwhile, by a sender that saw the chain busy
    if (!item) {
      m_send_idle = true;
      WriteAfter(kIdleWriteWait);
      return;
    }
  }
  if (m_send_cache_item) KLOG_ERROR("m_send_cache_item IS NOT nullptr");
  m_send_cache_item = item;
  const uint32_t connection = m_connection_id;
  // SendOrder may have written the frame's beginning itself.
  asio::async_write(
      m_io->socket,
      asio::buffer(item->data + item->data_offset, item->bytes_used - item->data_offset),
      [this, connection](const asio::error_code& error, std::size_t bytes) {
        m_write_armed = false;
        AsyncWriteCallback(error, bytes, connection);
      });
  m_write_armed = true;
}

void HostCommViaNetwork::WriteAfter(std::chrono::milliseconds wait) {
  m_io->write_timer->expires_after(wait);
  m_io->write_timer->async_wait([this](const asio::error_code&) {
    m_write_armed = false;
    AsyncWriteData();
  });
  m_write_armed = true;
}

void HostCommViaNetwork::AsyncWriteCallback(const asio::error_code& error, std::size_t,
                                            uint32_t connection) {
  if (!m_io->socket.is_open() || connection != m_connection_id) {
    KLOG_DEBUG("Socket async Write already closed");
    ReleaseSendItem();
  } else if (error) {
    KLOG_DEBUG("Socket async Write error:%d", error.value());
    ReleaseSendItem();
    CloseSocket();
  } else {
    LinkHealth::Add(m_health->frames_out);
    LinkHealth::Add(m_health->bytes_out, m_send_cache_item->bytes_used);
    if (m_capture) m_capture->Record(true, m_send_cache_item->data, m_send_cache_item->bytes_used);
    ReleaseSendItem();
  }
  AsyncWriteData();
}

void HostCommViaNetwork::ReleaseSendItem() {
  if (!m_send_cache_item) {
    KLOG_ERROR("m_send_cache_item IS nullptr");
    return;
  }
  m_send_cache_queue.PutFree(m_send_cache_item);
  m_send_cache_item = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Receive path

void HostCommViaNetwork::AsyncReadData() {
  if (m_stop) {
    KLOG_DEBUG("Job is stopped");
    return;
  }
  // The chain parks, with no read in flight, when there is no connection, when the cache still
  // holds bytes of an earlier connection, or when too little room is left behind the data; the
  // parse worker then empties or compacts the cache and wakes it. The decision is taken under the
  // mutex, so the parse worker never moves bytes while a read writes into the cache.
  // `end` and `parked` are this decision's own: once the lock is left, the parse worker may
  // already have moved the cache and cleared m_read_parked for the next step.
  uint32_t end;
  bool full = false, parked = false;
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    end = m_recv_end;
    const bool stale = m_recv_cache_connection != m_connection_id;
    const bool open = m_io->socket.is_open();
    full = open && !stale && m_recv_cache_capacity - end < kMinReadRoom;
    parked = !open || stale || full;
    m_read_parked = parked;
    if (parked) m_parse_pending = true;
  }
  if (parked) {
    m_parse_signal.NotifyOne();
    ReadAfter(kChainRetryWait);
    // Only a cache that compacting would not free is full; the parse worker is behind.
    if (full && end - m_recv_begin + kMinReadRoom > m_recv_cache_capacity)
      KLOG_DEBUG("Full Receive data, Wait for next timer");
    return;
  }
  const uint32_t room = m_recv_cache_capacity - end;
  const uint32_t connection = m_connection_id;
  m_io->socket.async_receive(
      asio::buffer(m_recv_cache.get() + end, room < kMaxRead ? room : kMaxRead),
      [this, connection](const asio::error_code& error, std::size_t bytes) {
        m_read_armed = false;
        AsyncReadCallback(error, bytes, connection);
      });
  m_read_armed = true;
}

void HostCommViaNetwork::ReadAfter(std::chrono::milliseconds wait) {
  m_io->read_timer->expires_after(wait);
  m_io->read_timer->async_wait([this](const asio::error_code&) {
    m_read_armed = false;
    AsyncReadData();
  });
  m_read_armed = true;
}

void HostCommViaNetwork::AsyncReadCallback(const asio::error_code& error, std::size_t bytes,
                                           uint32_t connection) {
  if (m_throw_in_next_read.exchange(false))
    throw std::runtime_error("read handler failed (test hook)");
  // A socket that replaced the one this read was on is never closed by it.
  const bool current = connection == m_connection_id;
  if (error == asio::error::operation_aborted) {
    KLOG_DEBUG("Connection closed cleanly by peer");
    if (current) CloseSocket();
    ReadAfter(kChainRetryWait);
  } else if (error) {
    KLOG_DEBUG("Socket recv error:%d", error.value());
    if (current) {
      kestal::MutexLock lock(m_worker_mutex);
      m_lost_reason = ErrorText(error);
    }
    if (current) CloseSocket();
    ReadAfter(kChainRetryWait);
  } else if (bytes == 0) {
    KLOG_DEBUG("Recv no new data");
    AsyncReadData();
  } else {
    // The read began only while the cache belonged to its connection, and nothing moves the
    // cache while a read is in flight, so its bytes stand right behind the data.
    LinkHealth::Add(m_health->bytes_in, bytes);
    if (m_capture)
      m_capture->Record(false, m_recv_cache.get() + m_recv_end, static_cast<uint32_t>(bytes));
    const uint32_t read_from =
        m_recv_end.fetch_add(static_cast<uint32_t>(bytes), std::memory_order_release);
    if (!DealInline(read_from)) SignalParser();
    AsyncReadData();
  }
}

// The io worker cuts its own read: no hand-over to the parse worker per read. The owner's
// `deliver` never waits for the application, so reading goes on right after.
bool HostCommViaNetwork::DealInline(uint32_t read_from) {
  if (!m_parse_mutex.TryLock()) return false;
  kestal::MutexLock lock(m_parse_mutex, kestal::kAdoptLock);
  // Bytes that the parse worker has yet to look at come first.
  if (m_parsed_end != read_from || m_parser.FramesWaiting()) return false;
  ScanCache();
  // No read is in flight here, so the cache may be compacted now rather than by the parse worker
  // once the chain has parked for room.
  if (m_recv_cache_capacity - m_recv_end < kMinReadRoom) CompactCache();
  return true;
}

void HostCommViaNetwork::SignalParser() {
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    m_parse_pending = true;
  }
  m_parse_signal.NotifyOne();
}

// ---------------------------------------------------------------------------------------------
// Parse worker

void HostCommViaNetwork::LoopParse() {
  kestal::NameThisThread("kestal-parse");
  for (;;) {
    if (m_stop) {
      KLOG_DEBUG_AS(kParseWorker, "loop parse message thread stopped");
      return;
    }
    try {
      kestal::MutexLock lock(m_parse_mutex);
      // The cache holds bytes of one connection only, so it is scanned whether or not that
      // connection still lives: frames that arrived whole before the device ended the connection
      // are delivered, and only the incomplete rest is dropped (TendParkedCache) before the next
      // connection's bytes come in.
      const bool fresh = m_recv_end.load(std::memory_order_acquire) != m_parsed_end;
      if (fresh || m_parser.FramesWaiting()) ScanCache();
      TendParkedCache();
      const bool idle =
          m_recv_end.load(std::memory_order_acquire) == m_parsed_end && !m_parser.FramesWaiting();
      lock.Unlock();
      if (idle) WaitForBytes(kParseIdleWaitMs);
    } catch (const std::exception& e) {
      KLOG_DEBUG_AS(kParseWorker, "Exception:%s", e.what());
      CloseSocketLater(m_connection_id);
    }
  }
}

void HostCommViaNetwork::WaitForBytes(int ms) {
  kestal::MutexLock lock(m_recv_cache_mutex);
  m_parse_signal.WaitFor(lock, std::chrono::milliseconds(ms),
                         [this]()
                             REQUIRES(m_recv_cache_mutex) { return m_parse_pending || m_stop; });
  m_parse_pending = false;
}

// With the receive chain parked (no read in flight) the parse worker owns the whole cache: it
// drops what a lost or earlier connection left, or moves the unparsed bytes to the front so the
// next read has room, and wakes the chain when it may read again.
void HostCommViaNetwork::TendParkedCache() {
  bool wake = false;
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    if (!m_read_parked) return;
    const uint32_t connection = m_connection_id;
    if (!m_connected || m_recv_cache_connection != connection) {
      // Whole frames of a lost connection are handed on first (the next connection's reads wait
      // meanwhile).
      if (m_parser.FramesWaiting() || m_recv_end != m_parsed_end) return;
      // Partial data of a lost connection never joins data of the next one.
      if (RecvCacheLen() != 0) KLOG_DEBUG_AS(kParseWorker, "socket is closed, clear recv cache");
      ClearCache();
      if (m_connected) {
        m_recv_cache_connection = connection;
        wake = true;
      }
    } else if (m_recv_begin != 0) {
      CompactCache();
      wake = m_recv_cache_capacity - m_recv_end >= kMinReadRoom;
    }
    if (wake) m_read_parked = false;
  }
  if (wake) WakeReadChain();
}

void HostCommViaNetwork::CompactCache() {
  const uint32_t begin = m_recv_begin, end = m_recv_end;
  if (end > begin) std::memmove(m_recv_cache.get(), m_recv_cache.get() + begin, end - begin);
  m_recv_end = end - begin;
  m_recv_begin = 0;
  m_parsed_end = m_recv_end;
}

void HostCommViaNetwork::ClearCache() {
  m_parser.Reset();
  m_recv_begin = 0;
  m_recv_end = 0;
  m_parsed_end = 0;
}

// Cuts [m_recv_begin, m_recv_end) into frames in place and moves m_recv_begin past what the
// parser consumed; an incomplete frame stays for the next read.
void HostCommViaNetwork::ScanCache() {
  const uint32_t begin = m_recv_begin;
  const uint32_t end = m_recv_end.load(std::memory_order_acquire);
  m_parsed_end = end;
  m_recv_begin = begin + m_parser.Scan(m_recv_cache.get() + begin, end - begin,
                                       [this](uint8_t* frame, uint32_t length) {
                                         return HandOnFrame(frame, length);
                                       });
}

// Each frame's message goes to the owner as it is cut: the cache never holds frames back.
bool HostCommViaNetwork::HandOnFrame(uint8_t* frame, uint32_t length) {
  FrameStreamParser::DeliverMessage(frame, length, m_deliver);
  return true;
}
