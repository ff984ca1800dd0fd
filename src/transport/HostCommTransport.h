// What the protocol engine asks of either host transport (the TCP link, HostCommViaNetwork, and the
// disk mailbox, HostCommViaStorage): start and stop, send one message, and hand each received
// message on as it is read. Received messages, connection states and counts go where the owner's
// HostCommTransportConfig says.
//
// Threads: StartLoopRecv, StopLoopRecv and SetCapture come from the owner's thread, one at a time
// (the service's start/stop lock); SendOrder from any thread. The transport calls `deliver` on its
// own reading worker, one message at a time.
#pragma once

#include <cstdint>
#include <functional>

#include "common/SendWait.h"
#include "common/StatusReport.h"

class LinkCapture;
struct LinkHealth;

struct HostCommTransportConfig {
  // One received message: its type and payload, valid during the call.
  using MessageFn = std::function<void(uint16_t type, const uint8_t* data, uint32_t len)>;

  // Connection states (HostCommStatus), called from the thread whose operation connected or
  // failed, with no lock of the transport held.
  StatusReportFn report_status;
  // Where the transport counts; null: counters of its own. Must remain live as long as the
  // transport.
  LinkHealth* health = nullptr;
  // The reason of each failure, just before its status; any thread.
  FailureReportFn report_failure;
  // Each received message with a payload, in the order it arrived, on the transport's reading
  // worker. It must not wait for long (the owner interprets the message and queues what its
  // application gets): while it runs, the link is not read. Empty: received messages are dropped.
  MessageFn deliver;
};

class HostCommTransport {
 public:
  using MessageFn = HostCommTransportConfig::MessageFn;

  virtual ~HostCommTransport() = default;

  // Opens the link and starts the transport's workers: 0, or negative when it cannot (reported).
  virtual int StartLoopRecv() = 0;
  // Stops and joins the workers and closes the link; harmless when nothing runs. Always 0.
  virtual int StopLoopRecv() = 0;
  // Frames or records one message and queues or writes it: 0, or negative when it cannot. `wait`
  // says how long a send may wait for room in the link.
  virtual int SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                        const SendWait& wait) = 0;
  // What the transport captures from its next start on (null: nothing); it must remain live while
  // the transport runs. Called while stopped.
  virtual void SetCapture(LinkCapture* capture) = 0;
  // True while the link to the device is open (a connection, or the disk); any thread.
  virtual bool IsConnected() const = 0;
};
