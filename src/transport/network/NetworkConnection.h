// The TCP transport's connection to the device, and the io context every part of the transport
// runs on. The connect worker resolves the device's endpoint and asks the io worker to connect,
// giving each attempt 3 s before it is abandoned as timed out; it reports NetworkConnected once per
// connection, CommError once when a reported connection is lost (not when it is stopped) and
// NetworkConnectError after each failed attempt. The receive side (NetworkReceiver) and the send
// chain (NetworkSendChain) reach the socket, their timers and the io worker only through the
// operations below; the socket library stays in this class's source.
//
// Threads, both owned and joined by the owner's stop:
//  - io worker: runs the io context, so every chain step, completion handler and timer handler of
//    the transport. It is the only thread that touches the attempt's socket and the timers, and
//    the only one that opens, replaces or closes the connection's socket (under m_socket_mutex,
//    against WriteNow). A handler that throws costs the connection, not the worker: it gives the
//    connection up, fails the attempt in progress and calls `restart_chains` on the io worker.
//  - connect worker: dials, waits while connected, reports the states.
// IsConnected and ConnectionId may be read on any thread; the operations marked "io worker" run
// there only. The stop flag, the health, the report functions and the capture must remain live
// while the workers run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "common/Mutex.h"
#include "common/StatusReport.h"
#include "diag/LinkCapture.h"
#include "diag/LinkHealth.h"
#include "transport/HostCommTransport.h"
#include "transport/network/HandlerSlotAllocator.h"

class NetworkConnection {
 public:
  // Steps and completions run on the io worker. Their captures stay within std::function's own
  // storage (a pointer and a number), so a step allocates nothing.
  using Step = std::function<void()>;
  using IoDone = std::function<void(const std::error_code& error, std::size_t bytes)>;
  enum class Timer { Write, Read };  // the send chain's and the receive chain's

  NetworkConnection(const std::atomic<bool>& stop, LinkHealth& health,
                    const StatusReportFn& report_status, const FailureReportFn& report_failure,
                    Step restart_chains);
  ~NetworkConnection();
  NetworkConnection(const NetworkConnection&) = delete;
  NetworkConnection& operator=(const NetworkConnection&) = delete;

  // Start: the io worker first (the chains' first steps may be posted after it), then, once it
  // runs, the connect worker dialling `endpoint`.
  void StartIo(const HostCommEndpoint& endpoint, LinkCapture* capture);
  void StartConnecting();
  // Stop, in this order: wake the waits that see the stop flag, close the sockets (aborting the
  // pending operations) and cancel the timers, let the io worker's run end, join both workers,
  // then run on this thread what the io worker left.
  void NotifyStop();
  void CloseForStop();
  void JoinWorkers();
  void RunLeftHandlers();
  bool WorkersRunning() const { return m_io_thread.joinable() || m_connect_thread.joinable(); }

  // True while a connection to the device exists; any thread.
  bool IsConnected() const { return m_connected.load(); }
  // Numbers the connections; what belongs to one carries its number. Any thread.
  uint32_t ConnectionId() const { return m_connection_id.load(); }

  // Io worker: the connection's socket is open.
  bool SocketOpen() const;
  // Runs `step` on the io worker; with a slot, in its memory (one such step at a time).
  void Post(Step step, HandlerSlot* slot = nullptr);
  // Io worker: `step` runs when the timer fires or is cancelled.
  void WaitTimer(Timer timer, std::chrono::milliseconds wait, Step step);
  void CancelTimer(Timer timer);  // io worker
  // Io worker: the whole of [data, data + length) written, or one read of at most `length`.
  void AsyncWrite(const uint8_t* data, std::size_t length, IoDone done);
  void AsyncReceive(uint8_t* buffer, std::size_t length, IoDone done);
  // A write on the caller's thread that never blocks: the bytes the socket took at once, or -1
  // when `connection` is no longer the open one (or on an error).
  long WriteNow(uint32_t connection, const uint8_t* data, uint32_t length) EXCLUDES(m_socket_mutex);
  // Io worker: gives the connection up (the connect worker then dials again).
  void CloseSocket();
  // Any thread: the io worker closes the socket if `connection` is still the open one.
  void CloseSocketLater(uint32_t connection);
  // Why the current connection ended, as the read that saw it said; reported with the loss.
  void NoteLoss(const std::error_code& error) EXCLUDES(m_worker_mutex);
  // The operation was aborted (its socket closed under it).
  static bool Aborted(const std::error_code& error);

 private:
  struct Io;

  void LoopIo();
  void LoopConnect();
  void ReportLoss();
  // Resolves the device's endpoint and connects to it on the io worker; throws on failure.
  void ResolveAndConnect(std::string* step);
  void StartConnect(uint64_t attempt);  // io worker
  void Adopt();                         // io worker: the attempt's socket becomes the connection
  void FinishConnect(uint64_t attempt, const std::error_code& error);
  void TimeOutConnect(uint64_t attempt);
  // True once `attempt` has its result (or a later attempt began).
  bool ConnectSettled(uint64_t attempt) EXCLUDES(m_worker_mutex);
  void CaptureConnection();
  void RecoverIo();  // after a handler threw
  bool WaitForStop(int ms);
  void WaitWhileConnected(int ms);
  std::string EndpointText() const;
  static std::string ErrorText(const std::error_code& error);

  const std::atomic<bool>& m_stop;
  LinkHealth& m_health;
  const StatusReportFn& m_report_status;
  const FailureReportFn& m_report_failure;
  const Step m_restart_chains;
  // The io context, the live connection's socket (io worker only), the socket of the attempt in
  // progress (io worker only), the chains' timers and the work guard.
  const std::unique_ptr<Io> m_io;
  // Held around WriteNow's write to the socket and around the io worker's opening, replacing and
  // closing of it, so that a write never meets a socket being closed or changed.
  kestal::Mutex m_socket_mutex;

  // The session's endpoint and capture, written by StartIo and read by the workers.
  std::string m_remote_ip;
  uint32_t m_remote_port = 0;
  LinkCapture* m_capture = nullptr;

  // True while the connection's socket is open; written by the io worker only.
  std::atomic<bool> m_connected{false};
  std::atomic<uint32_t> m_connection_id{0};
  uint32_t m_connections_made = 0;  // since StartIo (io worker)

  // Waits of the connect worker and the result of its attempt, cut short by a stop.
  kestal::Mutex m_worker_mutex;
  kestal::CondVar m_worker_signal;
  uint64_t m_connect_attempt GUARDED_BY(m_worker_mutex) = 0;
  bool m_connect_done GUARDED_BY(m_worker_mutex) = false;
  std::error_code m_connect_error GUARDED_BY(m_worker_mutex);
  bool m_io_running GUARDED_BY(m_worker_mutex) = false;
  // Why the last connection ended ("closed by the device"); read by the connect worker when it
  // reports the loss.
  std::string m_lost_reason GUARDED_BY(m_worker_mutex);

  std::thread m_io_thread;
  std::thread m_connect_thread;
};
