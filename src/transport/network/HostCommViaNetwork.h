// TCP transport: the library is always the client of the device.
//
// Orders are framed into buffers of m_send_cache_queue. While the send chain is idle (no write in
// flight, nothing queued) SendOrder writes the frame itself, on the caller's thread, with one
// send that never blocks (SendNow; not on Windows); what the socket does not take at once, and
// every frame that finds the chain busy, is queued and written by the send chain, so frames leave
// in the order SendOrder took them. The receive chain reads straight into the receive cache and
// cuts what it read into frames right there, on the io worker; the parse worker does it instead
// when it is at the cache already. Each validated frame's message goes to the plan's `deliver`
// (HostCommTransportPlan), which never waits for the application: the socket is always read.
//
// The receive cache is one block: [m_recv_begin, m_recv_end) holds the bytes not yet parsed, and
// reads append at m_recv_end. The io worker only ever writes past m_recv_end and the parse worker
// only reads before it, so they share the block without a lock. The space before m_recv_begin is
// reclaimed (the unparsed bytes moved to the front) only while no read is in flight: by the parse
// worker while the receive chain is parked (the two agree on that under m_recv_cache_mutex).
//
// Threads, all owned and joined by StopLoopRecv:
//  - io worker: runs the io context (m_io, defined with the transport: this header names no
//    socket library), so every chain step, completion handler and timer handler. It is the only
//    thread that touches the attempt's socket, the timers and the in-flight item, and the only one
//    that opens, replaces or closes the connection's socket (under m_socket_mutex, against
//    SendOrder's own write); it never waits on a
//    queue (queues are looked at with GetFull(-1) / GetFree(-1)). A handler that throws costs the
//    connection, not the worker: it gives the connection up and starts again what the handler
//    ended (RecoverIo).
//  - connect worker: resolves the device address and asks the io worker to connect, giving each
//    attempt 3 s before it is abandoned as timed out; reports
//    NetworkConnected once per connection, CommError once when a reported connection is lost
//    (not when it is stopped) and NetworkConnectError after each failed attempt.
//  - parse worker: cuts the frames of a read that the io worker left to it (the parse state was
//    taken), and tends the cache while the receive chain is parked: it drops what a lost
//    connection left and moves unparsed bytes to the front.
// The other threads learn whether a connection exists from m_connected, which the io worker
// keeps in step with the connection's socket.
//
// Callers: the protocol engine calls StartLoopRecv (with the device's endpoint in its plan) and
// StopLoopRecv from the service's thread (one at a time); SendOrder from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "common/Mutex.h"
#include "common/SendWait.h"
#include "common/StatusReport.h"
#include "common/WorkFlowBufferQueue.h"
#include "diag/LinkCapture.h"
#include "diag/LinkHealth.h"
#include "transport/HostCommTransport.h"
#include "transport/network/FrameStreamParser.h"
#include "transport/network/HandlerSlotAllocator.h"

class HostCommViaNetwork final : public HostCommTransport {
 public:
  // Allocates no buffer: the send queue (256 x 64 KiB) and the 4 MiB receive cache come with the
  // first StartLoopRecv. `config.report_status` receives NetworkConnected, CommError and
  // NetworkConnectError from the connect worker.
  explicit HostCommViaNetwork(HostCommTransportConfig config = {});
  ~HostCommViaNetwork() override;
  HostCommViaNetwork(const HostCommViaNetwork&) = delete;
  HostCommViaNetwork& operator=(const HostCommViaNetwork&) = delete;

  // Starts the io, connect and parse workers and both chains, connecting to `plan.endpoint`;
  // always 0. A start while the workers of an earlier start still run stops those first.
  int StartLoopRecv(const HostCommTransportPlan& plan) override;
  // Stops and joins every worker and closes the sockets; takes at least 900 ms. Always 0.
  int StopLoopRecv() override;
  // Frames one order into the send queue: 0 queued, -1 too large, not connected or no free
  // buffer within 5 ms. Any thread. With a long wait (`wait.max_wait_ms` above 0) the order waits
  // for a free buffer up to that long, outside the senders' turn, and gives up early when the
  // connection is lost, the transport stops or the caller's stop begins.
  int SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                const SendWait& wait = SendWait()) override;
  // Test hook: the next read completion on the io worker throws, as a failing handler would.
  void ThrowInNextRead() { m_throw_in_next_read = true; }

  // Validates a candidate frame with `available` valid bytes: 0 incomplete, -1 not a frame
  // (logged), else the frame length. The diagnostic dumps of a bad frame read no further than
  // `readable` bytes from data (the two-argument form: no further than the valid bytes).
  static int32_t BuildMsg(const uint8_t* data, uint32_t available);
  static int32_t BuildMsg(const uint8_t* data, uint32_t available, uint32_t readable);

  // True from StartLoopRecv until StopLoopRecv; the owner's thread only.
  bool WorkersRunning() const { return m_parse_thread.joinable(); }
  // True while a connection to the device exists.
  bool IsConnected() const override { return m_connected.load(); }

  // Most bytes one read takes; a read starts only with at least kMinReadRoom free behind the data.
  static constexpr uint32_t kMaxRead = 0x100000;
  static constexpr uint32_t kMinReadRoom = 0x10000;

 private:
  std::atomic<bool> m_throw_in_next_read{false};
  uint32_t m_buffer_count = 256;
  std::atomic<bool> m_stop{false};

  // Receive cache of m_recv_cache_capacity bytes (see the top of this file).
  std::unique_ptr<uint8_t[]> m_recv_cache;
  std::atomic<uint32_t> m_recv_begin{0};  // written by the parse worker
  std::atomic<uint32_t> m_recv_end{
      0};  // written by the io worker, and by the parse worker while parked
  // Guards the parked hand-over of the cache and the parse worker's wake-up (m_parse_pending).
  kestal::Mutex m_recv_cache_mutex;
  kestal::CondVar m_parse_signal;
  // A read added bytes or the chain parked since the parse worker last looked.
  bool m_parse_pending GUARDED_BY(m_recv_cache_mutex) = false;
  kestal::Mutex m_send_mutex;  // SendOrder callers take turns
  // Held around SendOrder's own write to the socket and around the io worker's opening, replacing
  // and closing of it, so that a write never meets a socket being closed or changed.
  kestal::Mutex m_socket_mutex;
  uint32_t m_recv_cache_capacity = 0x400000;
  // The io context, the live connection's socket (io worker only), the socket of the attempt in
  // progress (io worker only), the chains' timers and the work guard; defined with the transport.
  struct Io;
  const std::unique_ptr<Io> m_io;

  // The session's plan, written by StartLoopRecv and read by its workers.
  std::string m_remote_ip;
  uint32_t m_remote_port = 0;
  // Where the transport counts, and what captures the bytes it carries (null: nothing); both must
  // remain live while the workers run.
  LinkHealth m_own_health;
  LinkHealth* const m_health;
  LinkCapture* m_capture = nullptr;

  WorkFlowBufferQueue m_send_cache_queue;       // framed orders; msg_type = connection id
  WorkFlowBuffer* m_send_cache_item = nullptr;  // write in flight (io worker only)
  // True while the chain waits for its timer or its operation, so a handler of it will run; false
  // while a step of it runs, and after a step that threw. Io worker only (and StartLoopRecv before
  // it starts the worker).
  bool m_write_armed = false;
  bool m_read_armed = false;

  // A free send buffer for a send with a long wait, or nullptr (any thread).
  WorkFlowBuffer* WaitForSendBuffer(const SendWait& wait);
  // SendOrder's own write of the frame in `buffer` while the send chain is idle: true when the
  // socket took it whole; otherwise buffer->data_offset says how much it took, and the rest is for
  // the send chain.
  bool WriteNow(WorkFlowBuffer* buffer, uint32_t connection) EXCLUDES(m_socket_mutex);
  // Send chain (io worker).
  void AsyncWriteData();
  void WriteAfter(std::chrono::milliseconds wait);  // the chain's next step when its timer fires
  void AsyncWriteCallback(const std::error_code& error, std::size_t bytes, uint32_t connection);
  void ReleaseSendItem();
  WorkFlowBuffer* TakeFrameToWrite();
  void DropQueuedFrames();
  void WakeSendChain();
  // Receive chain (io worker); WakeReadChain runs on the parse worker.
  void WakeReadChain();
  void AsyncReadData();
  void ReadAfter(std::chrono::milliseconds wait);
  void AsyncReadCallback(const std::error_code& error, std::size_t bytes, uint32_t connection);
  // Cuts the frames of the read that began at `read_from` on the io worker when the parse worker
  // is not at the cache and has looked at everything before the read; false when it did not.
  bool DealInline(uint32_t read_from) EXCLUDES(m_parse_mutex);
  void SignalParser();
  // Connection (io worker).
  void FinishConnect(uint64_t attempt, const std::error_code& error);
  void TimeOutConnect(uint64_t attempt);
  // True once `attempt` has its result (or a later attempt began).
  bool ConnectSettled(uint64_t attempt) EXCLUDES(m_worker_mutex);
  void CloseSocket();
  void CaptureConnection();
  void CloseSocketLater(uint32_t connection);
  void RecoverIo();  // after a handler threw
  // Workers.
  void LoopIo();
  void LoopConnect();
  std::string EndpointText() const;
  static std::string ErrorText(const std::error_code& error);
  void LoopParse();
  // Resolves the device's endpoint and connects to it on the io worker; throws on failure.
  void ResolveAndConnect(std::string* step);
  bool WaitForStop(int ms);
  void WaitWhileConnected(int ms);
  // Parse steps.
  void WaitForBytes(int ms);
  void TendParkedCache() REQUIRES(m_parse_mutex);
  void CompactCache() REQUIRES(m_parse_mutex);
  void ScanCache() REQUIRES(m_parse_mutex);
  bool HandOnFrame(uint8_t* frame, uint32_t length);  // the parser's sink
  void ClearCache() REQUIRES(m_parse_mutex);
  // Valid bytes waiting in the receive cache.
  uint32_t RecvCacheLen() const { return m_recv_end.load() - m_recv_begin.load(); }
  // Stop steps.
  void CloseSocketsForStop();
  void JoinWorkers();
  void RunLeftHandlers();

  // True while the connection's socket is open; written by the io worker only.
  std::atomic<bool> m_connected{false};
  // Numbers the connections; every queued frame and received chunk carries the number of the
  // connection it belongs to, so nothing of a lost connection ever reaches the next one.
  std::atomic<uint32_t> m_connection_id{0};
  // Set by the send chain, under m_send_mutex, when it parks on its timer with nothing queued and
  // no write in flight: SendOrder then writes itself. A SendOrder that queues a frame clears it
  // and posts a wake-up, so the chain writes the frame at once instead of at the next tick.
  std::atomic<bool> m_send_idle{false};
  HandlerSlot m_wake_slot;  // memory of the wake-up handler
  // Set under m_recv_cache_mutex by the receive chain when it waits on its timer with no read in
  // flight: for room in the cache, for a connection, or for the cache to be emptied of another
  // connection's bytes. Only then may the parse worker move the cache's bytes; it clears the flag
  // and posts a wake-up once it has made room, so reading goes on at once instead of at the next
  // tick.
  std::atomic<bool> m_read_parked{false};
  HandlerSlot m_read_wake_slot;
  // Connection whose bytes the cache holds; changed by the parse worker while the chain is parked.
  std::atomic<uint32_t> m_recv_cache_connection{0};

  // Parse state: the parser keeps what must survive between scans of [m_recv_begin, m_recv_end).
  // Held by the parse worker while it looks at the cache, and by StartLoopRecv.
  kestal::Mutex m_parse_mutex;
  uint32_t m_parsed_end GUARDED_BY(m_parse_mutex) = 0;  // m_recv_end when last scanned
  FrameStreamParser m_parser GUARDED_BY(m_parse_mutex);

  // Waits of the connect worker and the result of its attempt, cut short by a stop.
  kestal::Mutex m_worker_mutex;
  kestal::CondVar m_worker_signal;
  uint64_t m_connect_attempt GUARDED_BY(m_worker_mutex) = 0;
  bool m_connect_done GUARDED_BY(m_worker_mutex) = false;
  std::error_code m_connect_error GUARDED_BY(m_worker_mutex);
  bool m_io_running GUARDED_BY(m_worker_mutex) = false;

  uint32_t m_connections_made = 0;  // since StartLoopRecv (io worker)
  const StatusReportFn m_report_status;
  const FailureReportFn m_report_failure;
  MessageFn m_deliver;  // the plan's, written by StartLoopRecv
  // Why the last connection ended, as the read that saw it said ("closed by the device"); read by
  // the connect worker when it reports the loss.
  std::string m_lost_reason GUARDED_BY(m_worker_mutex);

  std::thread m_io_thread;
  std::thread m_connect_thread;
  std::thread m_parse_thread;
};
