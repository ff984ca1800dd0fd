// What the protocol engine asks of either host transport (the TCP link, HostCommViaNetwork, and the
// disk mailbox, HostCommViaStorage): start and stop, send one message, and hand over what was
// received. Connection states and counts go where the owner's HostCommTransportConfig says.
//
// Threads: StartLoopRecv, StopLoopRecv and SetCapture come from the owner's thread, one at a time
// (the service's start/stop lock); SendOrder from any thread; DealNextMessage from one receive
// worker of the owner's; InterruptRecvWait and DropReceived from the owner's stopping thread.
#pragma once

#include <cstdint>
#include <functional>

#include "common/SendWait.h"
#include "common/StatusReport.h"

class LinkCapture;
struct LinkHealth;

struct HostCommTransportConfig {
  // Connection states (HostCommStatus), called from the thread whose operation connected or
  // failed, with no lock of the transport held.
  StatusReportFn report_status;
  // Where the transport counts; null: counters of its own. Must remain live as long as the
  // transport.
  LinkHealth* health = nullptr;
  // The reason of each failure, just before its status; any thread.
  FailureReportFn report_failure;
};

class HostCommTransport {
 public:
  // One received message: its type and payload, valid during the call.
  using MessageFn = std::function<void(uint16_t type, uint8_t* data, uint32_t len)>;

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
  // Takes the next received message that waits for the owner's receive worker, waiting at most
  // `wait_ms`, and passes it to `deal` unless its payload is empty. True when one was taken.
  virtual bool DealNextMessage(int32_t wait_ms, const MessageFn& deal) = 0;
  // Makes the receive worker's DealNextMessage return at once (a stop begins).
  virtual void InterruptRecvWait() = 0;
  // Drops the messages received and not dealt with, so that a later start never delivers them.
  virtual void DropReceived() = 0;
  // True while the link to the device is open (a connection, or the disk); any thread.
  virtual bool IsConnected() const = 0;
};
