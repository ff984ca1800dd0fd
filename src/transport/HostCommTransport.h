// What the protocol engine asks of either host transport (the TCP link, HostCommViaNetwork, and the
// disk mailbox, HostCommViaStorage): start with a plan, stop, send one message, and hand each
// received message on as it is read. What is fixed for the transport's life (where it reports
// connection states and failures, where it counts) comes with its construction config; what may
// change from one session to the next (the device's endpoint, the disks, the capture, where
// received messages go) comes with each start's plan.
//
// Threads: StartLoopRecv and StopLoopRecv come from the owner's thread, one at a time (the
// service's start/stop lock); SendOrder, IsConnected and PrintVolumeRunInfo from any thread. The
// transport calls the plan's `deliver` on its own reading worker, one message at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/SendWait.h"
#include "common/StatusReport.h"

class LinkCapture;
struct LinkHealth;

// One received message: its type and payload, valid during the call.
using HostCommMessageFn = std::function<void(uint16_t type, const uint8_t* data, uint32_t len)>;

// Fixed for the transport's life.
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

// The device's TCP endpoint: a host name or numeric address, and a port.
struct HostCommEndpoint {
  std::string host;
  uint32_t port = 0;
};

// What one session of a transport uses, handed to each StartLoopRecv (plain data).
struct HostCommTransportPlan {
  using MessageFn = HostCommMessageFn;
  static constexpr size_t kMaxDisks = 16;
  // The device the TCP transport connects to (the storage transport ignores it).
  HostCommEndpoint endpoint;
  // The disks (or image files) the storage transport tries in order, at most 16; empty: discovery.
  std::vector<std::string> disks;
  // What captures the session's traffic (null: nothing); it must remain live while the transport
  // runs.
  LinkCapture* capture = nullptr;
  // Each received message with a payload, in the order it arrived, on the transport's reading
  // worker. It must not wait for long (the owner interprets the message and queues what its
  // application gets): while it runs, the link is not read. Empty: received messages are dropped.
  MessageFn deliver;
};

enum class HostCommTransportKind { Storage, Network };

class HostCommTransport {
 public:
  using MessageFn = HostCommMessageFn;

  virtual ~HostCommTransport() = default;

  // Opens the link as `plan` says and starts the transport's workers: 0, or negative when it
  // cannot (reported). A start while an earlier one runs stops that one first.
  virtual int StartLoopRecv(const HostCommTransportPlan& plan) = 0;
  // Stops and joins the workers and closes the link; harmless when nothing runs. Always 0.
  virtual int StopLoopRecv() = 0;
  // Frames or records one message and queues or writes it: 0, or negative when it cannot. `wait`
  // says how long a send may wait for room in the link.
  virtual int SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                        const SendWait& wait) = 0;
  // True while the link to the device is open (a connection, or the disk); any thread.
  virtual bool IsConnected() const = 0;
  // The transport's diagnostic dump to files (the disk mailbox's summary areas); nothing for a
  // transport that has none.
  virtual void PrintVolumeRunInfo() {}
  // Message bytes the link holds before the device must have read them: a sender that writes more
  // without word from the device overwrites what it has not read (the disk mailbox's
  // host-to-device data ring). 0: the link never overwrites (it waits for room itself).
  virtual uint32_t UnreadLimit() const { return 0; }

  // True for a numeric IPv4 or IPv6 address or a well-formed host name (labels of letters,
  // digits and inner hyphens): what can name a device. A dotted run of digits must be IPv4.
  static bool IsValidHost(const std::string& host);
};

// Makes the transport of a kind; how the service hands the transports to the engine.
using HostCommTransportFactory = std::function<std::unique_ptr<HostCommTransport>(
    HostCommTransportKind kind, const HostCommTransportConfig& config)>;
