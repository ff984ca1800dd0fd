#include "common/WorkFlowBufferQueue.h"

#include <chrono>
#include <cstdlib>
#include <new>

#include "common/Log.h"

WorkFlowBufferQueue::~WorkFlowBufferQueue() { Deinit(); }

int WorkFlowBufferQueue::Init(uint32_t count) {
  Deinit();
  m_buffer_size = kBufferSize;
  if (count > kMaxBufferCount) {
    KLOG_DEBUG("WorkFlowBufferQueue Init malloc buffer failed");
    return -1;
  }
  if (count > 0) {
    // Layout: count buffers, then count descriptors, then the two rings' slot arrays.
    const std::size_t buffers = static_cast<std::size_t>(count) * kBufferSize;
    const std::size_t descriptors = sizeof(WorkFlowBuffer) * count;
    const std::size_t rings = sizeof(WorkFlowBuffer*) * count * 2;
    m_block = static_cast<uint8_t*>(std::malloc(buffers + descriptors + rings));
    if (!m_block) {
      KLOG_DEBUG("WorkFlowBufferQueue Init malloc buffer failed");
      return -1;
    }
    auto* desc = reinterpret_cast<WorkFlowBuffer*>(m_block + buffers);
    auto** slots = reinterpret_cast<WorkFlowBuffer**>(m_block + buffers + descriptors);
    // No other thread uses the pool before Init returns; the locks only say so to the analysis.
    kestal::MutexLock free_lock(m_free.mutex), full_lock(m_full.mutex);
    m_free.slots = slots;
    m_full.slots = slots + count;
    m_free.capacity = m_full.capacity = count;
    for (uint32_t i = 0; i < count; ++i) {
      WorkFlowBuffer* d = new (&desc[i]) WorkFlowBuffer();
      d->data = m_block + static_cast<std::size_t>(i) * kBufferSize;
      m_free.slots[i] = d;
    }
    m_free.size = count;
  }
  m_count = count;
  m_initialised.store(true, std::memory_order_release);
  return 0;
}

void WorkFlowBufferQueue::Clear(Ring& ring) {
  kestal::MutexLock lock(ring.mutex);
  ring.head = 0;
  ring.size = 0;
  ring.capacity = 0;
  ring.slots = nullptr;
}

void WorkFlowBufferQueue::Deinit() {
  m_initialised.store(false, std::memory_order_release);
  Clear(m_free);
  Clear(m_full);
  {
    kestal::MutexLock lock(m_free.mutex);
    m_free.signal.NotifyAll();
  }
  {
    kestal::MutexLock lock(m_full.mutex);
    m_full.signal.NotifyAll();
  }
  std::free(m_block);
  m_block = nullptr;
  m_count = 0;
}

WorkFlowBuffer* WorkFlowBufferQueue::Get(Ring& ring, int32_t timeout_ms) {
  if (!m_initialised.load(std::memory_order_acquire)) return nullptr;
  kestal::MutexLock lock(ring.mutex);
  if (ring.size == 0 && timeout_ms >= 0 && !ring.interrupted) {
    const auto ready = [&]() REQUIRES(ring.mutex) {
      return ring.size > 0 || ring.interrupted || !m_initialised.load();
    };
    if (timeout_ms == 0)
      ring.signal.Wait(lock, ready);
    else
      ring.signal.WaitFor(lock, std::chrono::milliseconds(timeout_ms), ready);
  }
  ring.interrupted = false;
  if (ring.size == 0) return nullptr;
  WorkFlowBuffer* buffer = ring.slots[ring.head];
  ring.head = ring.head + 1 == ring.capacity ? 0 : ring.head + 1;
  --ring.size;
  return buffer;
}

void WorkFlowBufferQueue::Put(Ring& ring, WorkFlowBuffer* buffer) {
  kestal::MutexLock lock(ring.mutex);
  if (!m_initialised.load(std::memory_order_acquire)) return;
  // A descriptor that is not this pool's (the ring is full already) is not queued; a waiter is
  // still woken and, finding nothing, returns none.
  if (ring.size >= ring.capacity) {
    ring.signal.NotifyOne();
    return;
  }
  uint32_t tail = ring.head + ring.size;
  if (tail >= ring.capacity) tail -= ring.capacity;
  ring.slots[tail] = buffer;
  ++ring.size;
  if (&ring == &m_full && ring.size > m_full_high.load(std::memory_order_relaxed))
    m_full_high.store(ring.size, std::memory_order_relaxed);
  ring.signal.NotifyOne();
}

void WorkFlowBufferQueue::InterruptFullWait() {
  kestal::MutexLock lock(m_full.mutex);
  m_full.interrupted = true;
  m_full.signal.NotifyAll();
}

void WorkFlowBufferQueue::DropFull() {
  while (WorkFlowBuffer* buffer = GetFull(-1)) PutFree(buffer);
}

WorkFlowBuffer* WorkFlowBufferQueue::GetFree(int32_t timeout_ms) { return Get(m_free, timeout_ms); }

uint32_t WorkFlowBufferQueue::FreeCount() {
  kestal::MutexLock lock(m_free.mutex);
  return m_free.size;
}
WorkFlowBuffer* WorkFlowBufferQueue::GetFull(int32_t timeout_ms) { return Get(m_full, timeout_ms); }

void WorkFlowBufferQueue::PutFree(WorkFlowBuffer* buffer) {
  if (!buffer || !m_initialised.load(std::memory_order_acquire)) return;
  Put(m_free, buffer);
}

void WorkFlowBufferQueue::PutFull(WorkFlowBuffer* buffer) {
  if (!buffer || !m_initialised.load(std::memory_order_acquire)) return;
  if (buffer->bytes_used > m_buffer_size) {
    KLOG_ERROR("ERROR, bytes used:%d is large than malloc buffer size:%d\n",
               static_cast<int>(buffer->bytes_used), static_cast<int>(m_buffer_size));
    buffer->bytes_used = m_buffer_size;
  }
  Put(m_full, buffer);
}
