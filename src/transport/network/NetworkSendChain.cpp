#include "transport/network/NetworkSendChain.h"

#include <chrono>
#include <thread>

#include "common/Log.h"
#include "transport/network/FrameCodec.h"

namespace {

using Timer = NetworkConnection::Timer;

// An idle chain is woken by SendOrder; the timer is only the backstop of a wake-up.
constexpr auto kIdleWriteWait = std::chrono::milliseconds(10000);
constexpr auto kChainRetryWait = std::chrono::milliseconds(50);
constexpr int32_t kOrderBufferWaitMs = 5;  // a single order's wait for a free send buffer
constexpr int64_t kLongWaitStepMs = 50;
// Send buffers that a long wait (a firmware file's chunks) leaves to single orders: heartbeats,
// requests and orders of other threads keep finding room while a large file fills the queue, for
// 32 orders while the device reads nothing.
constexpr uint32_t kBuffersKeptForOrders = 32;

}  // namespace

NetworkSendChain::NetworkSendChain(NetworkConnection& connection, const std::atomic<bool>& stop,
                                   LinkHealth& health)
    : m_connection(connection), m_stop(stop), m_health(health) {}

NetworkSendChain::~NetworkSendChain() { m_send_cache_queue.Deinit(); }

void NetworkSendChain::Prepare(LinkCapture* capture) {
  m_capture = capture;
  // The send queue comes with the first start and stays until the transport goes.
  if (m_send_cache_queue.Count() == 0) m_send_cache_queue.Init(m_buffer_count);
  m_send_idle = false;
  m_write_armed = true;  // its first step is queued by Start
}

void NetworkSendChain::Start() {
  // The first step runs on the io worker, like every later step, so the socket and the timer are
  // never touched by two threads.
  m_connection.Post([this] {
    m_write_armed = false;
    AsyncWriteData();
  });
}

void NetworkSendChain::Restart() {
  if (m_write_armed) return;
  if (m_send_cache_item) ReleaseSendItem();  // no write uses it any more
  if (!m_stop) WriteAfter(kChainRetryWait);
}

int NetworkSendChain::SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                                const SendWait& wait) {
  if (length > FrameCodec::kMaxPayloadLength) {
    KLOG_DEBUG_AS("HostCommViaNetwork::SendOrder", "Send order message is too large:%d/%d",
                  static_cast<int>(length), static_cast<int>(FrameCodec::kMaxPayloadLength));
    return -1;
  }
  // A long wait happens before the senders' turn, so that single orders (heartbeats among them)
  // keep their short wait meanwhile.
  const bool long_wait = wait.max_wait_ms > 0;
  WorkFlowBuffer* buffer = long_wait ? WaitForSendBuffer(wait) : nullptr;
  kestal::MutexLock lock(m_send_mutex);
  if (!m_connection.IsConnected()) {
    if (buffer) m_send_cache_queue.PutFree(buffer);
    return -1;
  }
  const uint32_t connection = m_connection.ConnectionId();
  if (!long_wait) buffer = m_send_cache_queue.GetFree(kOrderBufferWaitMs);
  if (!buffer) {
    // A long wait ended by a stop is no full queue.
    if (!long_wait || (!m_stop && !wait.Cancelled()))
      KLOG_DEBUG_AS("HostCommViaNetwork::SendOrder", "Send cache queue is full");
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
  LinkHealth::Raise(m_health.send_queue_high, m_send_cache_queue.FullHighWater());
  if (m_send_idle.exchange(false)) {
    m_connection.Post([this] { WakeSendChain(); }, &m_wake_slot);
  }
  return 0;
}

bool NetworkSendChain::WriteNow(WorkFlowBuffer* buffer, uint32_t connection) {
  // A socket of a later connection never gets this frame; the chain drops it.
  const long written = m_connection.WriteNow(connection, buffer->data, buffer->bytes_used);
  // A refusal (the socket is full) or an error is the send chain's: it writes the rest, or meets
  // the error itself and gives the connection up, as it would have.
  if (written < static_cast<long>(buffer->bytes_used)) {
    buffer->data_offset = written > 0 ? static_cast<uint32_t>(written) : 0;
    return false;
  }
  LinkHealth::Add(m_health.frames_out);
  LinkHealth::Add(m_health.bytes_out, buffer->bytes_used);
  if (m_capture) m_capture->Record(true, buffer->data, buffer->bytes_used);
  m_send_cache_queue.PutFree(buffer);
  return true;
}

WorkFlowBuffer* NetworkSendChain::WaitForSendBuffer(const SendWait& wait) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait.max_wait_ms);
  for (;;) {
    if (m_stop || !m_connection.IsConnected() || wait.Cancelled()) return nullptr;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return nullptr;
    // In short steps, so that a lost connection or a stop ends the wait within one of them.
    const int32_t step = static_cast<int32_t>(left < kLongWaitStepMs ? left : kLongWaitStepMs);
    WorkFlowBuffer* buffer = m_send_cache_queue.GetFree(step);
    if (buffer && m_send_cache_queue.FreeCount() >= kBuffersKeptForOrders) return buffer;
    // Too few left for single orders: give it back and look again once the link has written some.
    if (buffer)
      m_send_cache_queue.PutFree(buffer), std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The send chain parks on its timer; cancelling the wait runs its next step now. The step is
// still called exactly once per wait, so there is never a second chain.
void NetworkSendChain::WakeSendChain() { m_connection.CancelTimer(Timer::Write); }

WorkFlowBuffer* NetworkSendChain::TakeFrameToWrite() {
  while (WorkFlowBuffer* buffer = m_send_cache_queue.GetFull(-1)) {
    if (buffer->msg_type == m_connection.ConnectionId()) return buffer;
    m_send_cache_queue.PutFree(buffer);  // queued for a connection that is gone
  }
  return nullptr;
}

void NetworkSendChain::DropQueuedFrames() {
  while (WorkFlowBuffer* buffer = m_send_cache_queue.GetFull(-1))
    m_send_cache_queue.PutFree(buffer);
}

void NetworkSendChain::AsyncWriteData() {
  if (m_stop) {
    KLOG_DEBUG_AS("HostCommViaNetwork::AsyncWriteData", "Job is stopped");
    return;
  }
  if (!m_connection.SocketOpen()) {
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
  if (m_send_cache_item)
    KLOG_ERROR_AS("HostCommViaNetwork::AsyncWriteData", "m_send_cache_item IS NOT nullptr");
  m_send_cache_item = item;
  const uint32_t connection = m_connection.ConnectionId();
  // SendOrder may have written the frame's beginning itself.
  m_connection.AsyncWrite(item->data + item->data_offset, item->bytes_used - item->data_offset,
                          [this, connection](const std::error_code& error, std::size_t bytes) {
                            m_write_armed = false;
                            AsyncWriteCallback(error, bytes, connection);
                          });
  m_write_armed = true;
}

void NetworkSendChain::WriteAfter(std::chrono::milliseconds wait) {
  m_connection.WaitTimer(Timer::Write, wait, [this] {
    m_write_armed = false;
    AsyncWriteData();
  });
  m_write_armed = true;
}

void NetworkSendChain::AsyncWriteCallback(const std::error_code& error, std::size_t,
                                          uint32_t connection) {
  if (!m_connection.SocketOpen() || connection != m_connection.ConnectionId()) {
    KLOG_DEBUG_AS("HostCommViaNetwork::AsyncWriteCallback", "Socket async Write already closed");
    ReleaseSendItem();
  } else if (error) {
    KLOG_DEBUG_AS("HostCommViaNetwork::AsyncWriteCallback", "Socket async Write error:%d",
                  error.value());
    ReleaseSendItem();
    m_connection.CloseSocket();
  } else {
    LinkHealth::Add(m_health.frames_out);
    LinkHealth::Add(m_health.bytes_out, m_send_cache_item->bytes_used);
    if (m_capture) m_capture->Record(true, m_send_cache_item->data, m_send_cache_item->bytes_used);
    ReleaseSendItem();
  }
  AsyncWriteData();
}

void NetworkSendChain::ReleaseSendItem() {
  if (!m_send_cache_item) {
    KLOG_ERROR_AS("HostCommViaNetwork::ReleaseSendItem", "m_send_cache_item IS nullptr");
    return;
  }
  m_send_cache_queue.PutFree(m_send_cache_item);
  m_send_cache_item = nullptr;
}
