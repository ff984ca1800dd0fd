// Arm link: relays the arm messages (type 1) between the device and the arm companion process
// over loopback UDP. The link binds port 26000 on every local address but relays only
// datagrams from this host (see LocalSourceFilter); datagrams from the companion go to the
// device as 64-byte type-1 messages through the device relay (the service wires it to the
// engine's SendOrder; the link knows no engine), and the
// device's arm messages go to the companion at 127.0.0.1:27000, at least 500 us apart, once
// the companion has been heard from.
//
// Threads: StartLoopRecv / StopLoopRecv run on the service's thread (serialised here as well).
// SendOrder (a device message for the companion) runs on the active transport's reading worker
// (the engine's DealMsg). Between a start and its stop two owned workers run: the receive worker
// (companion to device), the only caller of the device relay, and the send worker (device to
// companion). StopLoopRecv
// joins both before it closes the socket, as every worker is joined (CallbackGate::JoinWorker): a
// receive worker inside a device-event callback that the stop gave up is parked instead, and ends
// where that callback returns, never touching the socket again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "arm/UdpSocket.h"
#include "common/Mutex.h"
#include "common/ProtocolCatalogue.h"
#include "common/WorkFlowBufferQueue.h"

// The companion's address as the last received datagram gave it. The port (network byte
// order) is 0 until the companion has been heard from and again after the receive worker
// ends; the send worker reads it.
struct ArmPeerAddress {
  std::atomic<uint32_t> addr{0};
  std::atomic<uint16_t> port{0};
};

class ArmCommViaNetwork {
 public:
  // Where datagrams from the companion go: the engine's SendOrder, as the service wires it, or a
  // test's or tool's own function. Same arguments and result as a transport's SendOrder.
  using DeviceRelay = std::function<int(uint16_t type, const uint8_t* data, uint32_t len)>;

  ArmCommViaNetwork();
  ~ArmCommViaNetwork();  // stops the link
  ArmCommViaNetwork(const ArmCommViaNetwork&) = delete;
  ArmCommViaNetwork& operator=(const ArmCommViaNetwork&) = delete;

  // Opens and binds the socket and starts both workers. 0, or -1 when the socket cannot be
  // created, configured or bound (then nothing runs and no socket stays open). A start while
  // running stops the running link first. A port that another socket holds with address reuse
  // (another process's link) is shared: the start succeeds with an error line in the log.
  int StartLoopRecv() EXCLUDES(m_control_mutex);
  // Stops and joins both workers and closes the socket; always 0. Both are woken at once (the
  // receive worker by the socket's shutdown, after the stop datagram "End" to the link's port).
  // On a link that is not running it only sets the stop flag.
  int StopLoopRecv() EXCLUDES(m_control_mutex);
  // Queues one device arm message (len <= 65536) for the companion: 0 when queued, -1 at once
  // when the queue is full or not made yet (before the first start); the message is lost. A
  // message the socket refuses to send is lost alone, with a log line.
  int SendOrder(const uint8_t* data, uint32_t len);

  // The receiver of the companion's messages (empty: they are dropped). Takes effect at the next
  // start: the receive worker keeps its own copy while it runs.
  void SetDeviceRelay(DeviceRelay relay) EXCLUDES(m_control_mutex);
  // The link's own UDP port and the companion's port on 127.0.0.1 from the next start on; called
  // while stopped, by the thread that starts the link.
  void SetPorts(uint16_t local_port, uint16_t peer_port) {
    m_local_port = local_port;
    m_peer_port = peer_port;
  }
  // True while the link's socket is open (between a start and its stop).
  bool IsOpen() const { return m_socket.IsOpen(); }

 private:
  UdpSocket m_socket;
  uint16_t m_local_port = kestal::catalogue::kArmLibraryPort;   // bound on every local address; the
                                                                // stop datagram's target
  uint16_t m_peer_port = kestal::catalogue::kArmCompanionPort;  // the companion's port on 127.0.0.1
  std::atomic<bool> m_stop{false};
  uint32_t m_arm_msg_len = 64;         // length of every type-1 message to the device
  uint32_t m_recv_buf_size = 4194304;  // the receive worker's datagram buffer
  ArmPeerAddress m_peer_addr;
  // 1024 messages waiting for the companion; made by the first start, kept until destruction.
  WorkFlowBufferQueue m_send_queue;

  void LoopRecv(DeviceRelay relay);
  void LoopSend();
  void StopLocked() REQUIRES(m_control_mutex);
  // Waits up to `ms`, less when a stop begins.
  void PauseUnlessStopped(int ms);

  std::atomic<bool> m_queue_full{
      false};                     // a full queue has been logged since the last message queued
  kestal::Mutex m_control_mutex;  // one start or stop at a time
  DeviceRelay m_device_relay GUARDED_BY(m_control_mutex);
  std::thread m_recv_thread;
  std::thread m_send_thread;
  kestal::Mutex m_wait_mutex;
  kestal::CondVar m_wait_signal;
};
