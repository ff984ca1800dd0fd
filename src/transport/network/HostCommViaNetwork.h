// TCP transport: the library is always the client of the device. It owns and wires three parts:
//  - NetworkConnection: the io context and its io worker, the connect worker, the socket and the
//    connection states it reports;
//  - NetworkReceiver: the receive cache, the receive chain's reads and the parse worker, which
//    cut the byte stream into frames and hand each message to the plan's `deliver`;
//  - NetworkSendChain: framing orders into the send queue, SendOrder's own write on the caller's
//    thread, and the queued chain on the io worker.
// The socket library stays in the parts' sources: no header names it.
//
// Threads, all owned by the parts and joined by StopLoopRecv: the io worker, the connect worker
// and the parse worker (see each part's header). The stop flag that every worker and chain watches
// is this transport's. The protocol engine calls StartLoopRecv (with the device's endpoint in its
// plan) and StopLoopRecv from the service's thread (one at a time); SendOrder from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/SendWait.h"
#include "common/StatusReport.h"
#include "diag/LinkHealth.h"
#include "transport/HostCommTransport.h"
#include "transport/network/NetworkConnection.h"
#include "transport/network/NetworkReceiver.h"
#include "transport/network/NetworkSendChain.h"

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
                const SendWait& wait = SendWait()) override {
    return m_send_chain.SendOrder(msg_type, data, length, wait);
  }
  // Test hook: the next read completion on the io worker throws, as a failing handler would.
  void ThrowInNextRead() { m_receiver.ThrowInNextRead(); }

  // Validates a candidate frame with `available` valid bytes: 0 incomplete, -1 not a frame
  // (logged), else the frame length. The diagnostic dumps of a bad frame read no further than
  // `readable` bytes from data (the two-argument form: no further than the valid bytes).
  static int32_t BuildMsg(const uint8_t* data, uint32_t available);
  static int32_t BuildMsg(const uint8_t* data, uint32_t available, uint32_t readable);

  // True from StartLoopRecv until StopLoopRecv; the owner's thread only.
  bool WorkersRunning() const { return m_receiver.ParserRunning(); }
  // True while a connection to the device exists.
  bool IsConnected() const override { return m_connection.IsConnected(); }

 private:
  std::atomic<bool> m_stop{false};
  const StatusReportFn m_report_status;
  const FailureReportFn m_report_failure;
  // Where the transport counts; it must remain live while the workers run.
  LinkHealth m_own_health;
  LinkHealth* const m_health;

  NetworkConnection m_connection;
  NetworkSendChain m_send_chain{m_connection, m_stop, *m_health};
  NetworkReceiver m_receiver{m_connection, m_stop, *m_health};
};
