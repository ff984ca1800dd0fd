// The TCP transport's send side. Orders are framed into buffers of m_send_cache_queue, each
// tagged with the connection it was taken for. While the chain is idle (no write in flight,
// nothing queued) SendOrder writes the frame itself, on the caller's thread, with one send that
// never blocks (NetworkConnection::WriteNow; not on Windows); what the socket does not take at
// once, and every frame that finds the chain busy, is queued and written by the chain on the io
// worker, so frames leave in the order SendOrder took them. Frames of a lost connection are
// dropped, never written to the next one.
//
// Threads: SendOrder from any thread (the senders take turns on m_send_mutex); every chain step
// on the io worker. The connection, the stop flag, the health and the capture must remain live
// while the chain runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <system_error>

#include "common/Mutex.h"
#include "common/SendWait.h"
#include "common/WorkFlowBufferQueue.h"
#include "diag/LinkCapture.h"
#include "diag/LinkHealth.h"
#include "transport/network/HandlerSlotAllocator.h"
#include "transport/network/NetworkConnection.h"

class NetworkSendChain {
 public:
  NetworkSendChain(NetworkConnection& connection, const std::atomic<bool>& stop,
                   LinkHealth& health);
  ~NetworkSendChain();
  NetworkSendChain(const NetworkSendChain&) = delete;
  NetworkSendChain& operator=(const NetworkSendChain&) = delete;

  // Before the io worker runs: takes the send queue (256 x 64 KiB) at the first start.
  void Prepare(LinkCapture* capture);
  // Posts the chain's first step to the io worker.
  void Start();
  // After the workers were joined: the chain is no longer idle.
  void Stopped() { m_send_idle = false; }
  // Io worker, after a handler threw: a chain that is not armed starts again from its timer.
  void Restart();

  // Frames one order: 0 queued or written, -1 too large, not connected or no free buffer within
  // 5 ms (or, with a long wait, within `wait`). Any thread.
  int SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length, const SendWait& wait);

 private:
  // A free send buffer for a send with a long wait, or nullptr (any thread).
  WorkFlowBuffer* WaitForSendBuffer(const SendWait& wait);
  // SendOrder's own write of the frame in `buffer` while the chain is idle: true when the socket
  // took it whole; otherwise buffer->data_offset says how much it took, and the rest is for the
  // chain.
  bool WriteNow(WorkFlowBuffer* buffer, uint32_t connection);
  // Chain steps (io worker).
  void AsyncWriteData();
  void WriteAfter(std::chrono::milliseconds wait);  // the chain's next step when its timer fires
  void AsyncWriteCallback(const std::error_code& error, std::size_t bytes, uint32_t connection);
  void ReleaseSendItem();
  WorkFlowBuffer* TakeFrameToWrite();
  void DropQueuedFrames();
  void WakeSendChain();

  NetworkConnection& m_connection;
  const std::atomic<bool>& m_stop;
  LinkHealth& m_health;
  LinkCapture* m_capture = nullptr;  // the session's, written by Start

  uint32_t m_buffer_count = 256;
  kestal::Mutex m_send_mutex;                   // SendOrder callers take turns
  WorkFlowBufferQueue m_send_cache_queue;       // framed orders; msg_type = connection id
  WorkFlowBuffer* m_send_cache_item = nullptr;  // write in flight (io worker only)
  // True while the chain waits for its timer or its write, so a handler of it will run; false
  // while a step of it runs, and after a step that threw. Io worker only (and Start before the
  // first step is posted).
  bool m_write_armed = false;
  // Set by the chain, under m_send_mutex, when it parks on its timer with nothing queued and
  // no write in flight: SendOrder then writes itself. A SendOrder that queues a frame clears it
  // and posts a wake-up, so the chain writes the frame at once instead of at the next tick.
  std::atomic<bool> m_send_idle{false};
  HandlerSlot m_wake_slot;  // memory of the wake-up handler
};
