#include "arm/ArmCommViaNetwork.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "arm/LocalSourceFilter.h"
#include "common/CallbackGate.h"
#include "common/Clock.h"
#include "common/Log.h"
#include "common/ThreadName.h"
#include "common/ProtocolCatalogue.h"

namespace {

constexpr const char* kRecvWorker = "ArmCommViaNetwork::StartLoopRecv.RecvWorker";
constexpr const char* kSendWorker = "ArmCommViaNetwork::StartLoopRecv.SendWorker";
constexpr uint32_t kSendQueueCount = 1024;
constexpr int32_t kQueueWaitMs = 10000;  // the send worker's wait, cut short by a stop
// The receive worker looks at the stop flag at least this often; a stop's shutdown of the socket
// wakes it at once.
constexpr int kRecvWaitMs = 10000;
constexpr int kRecvErrorPauseMs = 200;
constexpr uint64_t kMinSendGapUs = 500;
constexpr uint8_t kStopDatagram[3] = {'E', 'n', 'd'};

}  // namespace

// The send queue (64 MiB) is made by the first start, not here: the service builds its link when
// the library loads, and a process that never starts it pays nothing for it.
ArmCommViaNetwork::ArmCommViaNetwork() { m_arm_msg_len = kestal::catalogue::kArmMsgLength; }

ArmCommViaNetwork::~ArmCommViaNetwork() { StopLoopRecv(); }

void ArmCommViaNetwork::SetDeviceRelay(DeviceRelay relay) {
  kestal::MutexLock lock(m_control_mutex);
  m_device_relay = std::move(relay);
}

int ArmCommViaNetwork::StartLoopRecv() {
  kestal::MutexLock lock(m_control_mutex);
  // The workers of one start never run beside those of the next.
  if (m_recv_thread.joinable() || m_send_thread.joinable() || m_socket.IsOpen()) StopLocked();

  UdpSocket::Startup();
  // The port is bound with address reuse, so a second process using the library binds it too, and
  // the device's arm messages then reach only one of the two. Looked at before this link binds it.
  const bool port_held = UdpSocket::PortHeld(UdpSocket::Endpoint("0.0.0.0", m_local_port));
  if (m_socket.Open() < 0) {
    KLOG_DEBUG("Create socket failed");
    return -1;
  }
  if (m_socket.SetReuseAddress(true) < 0) {
    UdpSocket::PrintLastError("setsockopt");
    m_socket.Close();
    return -1;
  }
  // A companion that is not listening must not make the next receive fail.
  m_socket.SetReportPortUnreachable(false);
  if (m_socket.Bind(UdpSocket::Endpoint("0.0.0.0", m_local_port)) < 0) {
    KLOG_DEBUG("bind failed");
    m_socket.Close();
    return -1;
  }
  if (port_held)
    KLOG_ERROR(
        "UDP port %d is held by another socket as well: arm messages may go to the other process",
        static_cast<int>(m_local_port));

  // Made once and kept until the link is destroyed; a later start reuses it. A queue that cannot
  // be made leaves the link running, refusing every message (SendOrder gives -1).
  if (m_send_queue.Count() == 0) m_send_queue.Init(kSendQueueCount);

  m_stop = false;
  m_recv_thread =
      kestal::CallbackGate::StartWorker([this, relay = m_device_relay] { LoopRecv(relay); });
  m_send_thread = kestal::CallbackGate::StartWorker([this] { LoopSend(); });
  return 0;
}

int ArmCommViaNetwork::StopLoopRecv() {
  kestal::MutexLock lock(m_control_mutex);
  StopLocked();
  return 0;
}

void ArmCommViaNetwork::StopLocked() {
  {
    kestal::MutexLock lock(m_wait_mutex);
    m_stop = true;
  }
  m_wait_signal.NotifyAll();
  m_send_queue.InterruptFullWait();
  // The send worker is joined first: on Windows the shutdown below closes the socket, which no
  // thread but the waiting receive worker may use then.
  kestal::CallbackGate::JoinWorker(m_send_thread);
  if (m_socket.IsOpen()) {
    // The stop datagram; it is never relayed (see LoopRecv). Another socket sharing the port
    // (another process's link) may take it, so the receive worker is woken by the shutdown,
    // which no other socket can take.
    m_socket.SendTo(kStopDatagram, sizeof(kStopDatagram),
                    UdpSocket::Endpoint("127.0.0.1", m_local_port));
    m_socket.Shutdown();
  }
  // The receive worker may raise device events (a failing disk write while it relays through the
  // engine): one whose callback a stop gave up is parked rather than joined, and ends where the
  // callback returns, never touching the socket again.
  kestal::CallbackGate::JoinWorker(m_recv_thread);
  m_socket.Close();
}

void ArmCommViaNetwork::PauseUnlessStopped(int ms) {
  kestal::MutexLock lock(m_wait_mutex);
  m_wait_signal.WaitFor(lock, std::chrono::milliseconds(ms), [this] { return m_stop.load(); });
}

int ArmCommViaNetwork::SendOrder(const uint8_t* data, uint32_t len) {
  if (len > WorkFlowBufferQueue::kBufferSize) {
    KLOG_DEBUG("Arm message too long:%u", len);
    return -1;
  }
  // Never waits: the caller is the transport's reading worker, which must not be held up by a
  // companion that does not keep up. A full queue drops the message, logged once per burst.
  WorkFlowBuffer* buffer = m_send_queue.GetFree(-1);
  if (!buffer) {
    if (!m_queue_full.exchange(true)) KLOG_DEBUG("Check recv msg queue full");
    return -1;
  }
  m_queue_full = false;
  if (len > 0) std::memcpy(buffer->data, data, len);
  buffer->data_offset = 0;
  buffer->bytes_used = len;
  buffer->msg_type = 0;
  m_send_queue.PutFull(buffer);
  return 0;
}

void ArmCommViaNetwork::LoopRecv(DeviceRelay relay) {
  kestal::NameThisThread("kestal-arm-recv");
  // Not cleared as a whole: only the pages that datagrams reach become resident.
  const std::unique_ptr<uint8_t[]> buf(new uint8_t[m_recv_buf_size]);
  const uint32_t msg_len = m_arm_msg_len < m_recv_buf_size ? m_arm_msg_len : m_recv_buf_size;
  LocalSourceFilter sources;

  while (!m_stop) {
    std::memset(buf.get(), 0, msg_len);
    UdpEndpoint from;
    const int n = m_socket.RecvFrom(buf.get(), m_recv_buf_size, &from, kRecvWaitMs);
    if (n == UdpSocket::kTimedOut) continue;
    // Once a stop has begun nothing more is relayed: the stop datagram "End" that woke this
    // worker, or anything else still arriving, never reaches the device.
    if (m_stop) break;
    if (n < 0) {
      const int err = UdpSocket::LastError();
      KLOG_DEBUG_AS(kRecvWorker, "recv from error:%d, socket:%d, err_code:%d", n,
                    static_cast<int>(m_socket.Handle()), err);
      PauseUnlessStopped(kRecvErrorPauseMs);
      continue;
    }
    // Only the companion beside the library is relayed, and only a source that passed takes the
    // companion's place; a datagram from another host reaches nothing.
    if (!sources.FromThisHost(from.addr)) {
      if (sources.FirstSighting(from.addr))
        KLOG_DEBUG_AS(kRecvWorker, "Drop datagrams from another host, IP:%x, PORT:%d", from.addr,
                      static_cast<int>(from.port));
      continue;
    }
    m_peer_addr.addr = from.addr;
    m_peer_addr.port = from.port;
    if (n == 0) {
      // Address and port as they travel, in network byte order.
      KLOG_DEBUG_AS(kRecvWorker, "recv from 0, IP:%x, PORT:%d", from.addr,
                    static_cast<int>(from.port));
      continue;
    }
    // Every arm message to the device has the same length: a shorter datagram is padded with
    // the zeros cleared above, a longer one is cut.
    if (relay) relay(ArmMsg, buf.get(), msg_len);
  }
  KLOG_DEBUG_AS(kRecvWorker, "loop recv NET message thread stopped");
  m_peer_addr.port = 0;
}

void ArmCommViaNetwork::LoopSend() {
  kestal::NameThisThread("kestal-arm-send");
  std::vector<uint8_t> buf(WorkFlowBufferQueue::kBufferSize);
  const UdpEndpoint destination = UdpSocket::Endpoint("127.0.0.1", m_peer_port);
  uint64_t last_send_us = kestal::MonotonicUs();

  for (;;) {
    if (m_stop) {
      KLOG_DEBUG_AS(kSendWorker, "loop send NET message thread stopped");
      return;
    }
    WorkFlowBuffer* msg = m_send_queue.GetFull(kQueueWaitMs);
    if (!msg) continue;
    uint32_t len = msg->bytes_used;
    if (len > buf.size()) len = static_cast<uint32_t>(buf.size());
    std::memcpy(buf.data(), msg->data, len);
    m_send_queue.PutFree(msg);

    // Until the companion has spoken there is nobody to send to; such messages are dropped,
    // not kept for later.
    if (len == 0 || !m_socket.IsOpen() || m_peer_addr.port == 0) continue;

    // The companion takes at most one datagram every 500 us. Spinning keeps the gap exact;
    // a sleep would overshoot by far more than the gap itself.
    uint64_t now_us;
    do {
      now_us = kestal::MonotonicUs();
    } while (now_us - last_send_us < kMinSendGapUs);
    last_send_us = now_us;

    // A message that could not be sent (too long for a datagram, a socket error) is lost
    // alone; the messages behind it still go out.
    const int sent = m_socket.SendTo(buf.data(), len, destination);
    if (sent != static_cast<int>(len)) KLOG_DEBUG_AS(kSendWorker, "Send to error:%d", sent);
  }
}
