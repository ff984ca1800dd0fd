#include "protocol/DeliveryQueue.h"

#include <chrono>
#include <cstring>

#include "common/Clock.h"
#include "common/Log.h"
#include "diag/LinkHealth.h"

namespace {

constexpr const char* kDelivery = "HostCommProtocolImpl::DealMsg";
constexpr uint64_t kDropLogIntervalUs = 1000000;

template <typename Clock>
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Copies between a ring of `size` bytes at position `pos` and a flat buffer, across the ring's end.
void CopyIn(uint8_t* ring, uint32_t size, uint64_t pos, const uint8_t* from, uint32_t len) {
  const uint32_t at = static_cast<uint32_t>(pos % size);
  const uint32_t first = len < size - at ? len : size - at;
  std::memcpy(ring + at, from, first);
  std::memcpy(ring, from + first, len - first);
}

void CopyOut(const uint8_t* ring, uint32_t size, uint64_t pos, uint8_t* to, uint32_t len) {
  const uint32_t at = static_cast<uint32_t>(pos % size);
  const uint32_t first = len < size - at ? len : size - at;
  std::memcpy(to, ring + at, first);
  std::memcpy(to + first, ring, len - first);
}

}  // namespace

DeliveryQueue::DeliveryQueue(LinkHealth* health) : m_health(health) {}

// Taken before the mutex: the clocks are read outside the lock that the receive worker waits for.
DeliveryQueue::Times DeliveryQueue::Now() {
  return {NowNs<std::chrono::steady_clock>(), NowNs<std::chrono::system_clock>()};
}

void DeliveryQueue::Reserve(uint32_t frame_capacity, uint32_t depth, uint32_t message_bytes) {
  kestal::MutexLock lock(m_mutex);
  if (!m_frames.empty()) return;
  for (uint32_t i = 0; i < depth; ++i) m_frames.emplace_back(new uint8_t[frame_capacity]);
  m_slots.assign(depth, Slot::kFree);
  m_frame_capacity = frame_capacity;
  m_ring.reset(new uint8_t[message_bytes]);
  m_ring_size = message_bytes;
  m_entries.resize(kMaxEntries);
  m_assembling = 0;
  m_slots[0] = Slot::kAssembling;
  m_assembling_data = m_frames[0].get();
}

void DeliveryQueue::PushFrame(uint16_t type, uint32_t header_len, uint32_t len) {
  const Times times = Now();
  kestal::MutexLock lock(m_mutex);
  if (m_end - m_first == kMaxEntries) {
    // The buffer is assembled anew; the frame in it is the one dropped.
    NoteDropped(true);
    return;
  }
  QueueFrame(type, header_len, len, m_assembling, times);
  // The frame just queued waits, so a buffer is always found.
  m_assembling = static_cast<uint32_t>(TakeBuffer());
  m_slots[m_assembling] = Slot::kAssembling;
  m_assembling_data = m_frames[m_assembling].get();
}

void DeliveryQueue::PushFrameCopy(uint16_t type, uint32_t header_len, const uint8_t* data,
                                  uint32_t len) {
  const Times times = Now();
  kestal::MutexLock lock(m_mutex);
  const int32_t index = m_end - m_first == kMaxEntries ? -1 : TakeBuffer();
  if (index < 0) {
    NoteDropped(true);
    return;
  }
  std::memcpy(m_frames[index].get(), data, len);
  QueueFrame(type, header_len, len, static_cast<uint32_t>(index), times);
}

void DeliveryQueue::QueueFrame(uint16_t type, uint32_t header_len, uint32_t len, uint32_t index,
                               const Times& times) {
  m_slots[index] = Slot::kWaiting;
  m_entries[m_end++ % kMaxEntries] = {type,       true,  false,      len,
                                      header_len, index, times.host, times.utc};
  LinkHealth::Raise(m_health->recv_queue_high, m_end - m_first);
  if (m_consumer_waiting) m_signal.NotifyOne();
}

int32_t DeliveryQueue::TakeBuffer() {
  for (uint32_t i = 0; i < m_slots.size(); ++i)
    if (m_slots[i] == Slot::kFree) return static_cast<int32_t>(i);
  // Every buffer is taken: the oldest waiting frame gives its buffer up.
  for (uint64_t k = m_first; k < m_end; ++k) {
    Entry& e = m_entries[k % kMaxEntries];
    if (!e.frame || e.dropped) continue;
    e.dropped = true;
    NoteDropped(true);
    return static_cast<int32_t>(e.where);
  }
  return -1;
}

bool DeliveryQueue::PushMessage(uint16_t type, const uint8_t* data, uint32_t len) {
  kestal::MutexLock lock(m_mutex);
  // Never reserved, no room in the sequence or the ring: the message is dropped.
  if (m_entries.empty() || m_end - m_first == kMaxEntries || len > kMaxMessage ||
      m_ring_size - (m_ring_head - m_ring_tail) < len) {
    NoteDropped(false);
    return false;
  }
  CopyIn(m_ring.get(), m_ring_size, m_ring_head, data, len);
  m_entries[m_end++ % kMaxEntries] = {type, false, false, len, 0, m_ring_head, 0, 0};
  m_ring_head += len;
  LinkHealth::Raise(m_health->recv_queue_high, m_end - m_first);
  if (m_consumer_waiting) m_signal.NotifyOne();
  return true;
}

void DeliveryQueue::NoteDropped(bool frame) {
  LinkHealth::Add(frame ? m_health->image_frames_dropped : m_health->messages_dropped);
  ++(frame ? m_frames_dropped_unlogged : m_messages_dropped_unlogged);
  const int64_t now_us = static_cast<int64_t>(kestal::MonotonicUs());
  if (m_last_drop_log_us != 0 &&
      now_us - m_last_drop_log_us < static_cast<int64_t>(kDropLogIntervalUs))
    return;
  m_last_drop_log_us = now_us;
  KLOG_DEBUG_AS(kDelivery,
                "The application has not taken what was received: dropped %llu image frame(s) and "
                "%llu message(s) since the last such line",
                static_cast<unsigned long long>(m_frames_dropped_unlogged),
                static_cast<unsigned long long>(m_messages_dropped_unlogged));
  m_frames_dropped_unlogged = m_messages_dropped_unlogged = 0;
}

bool DeliveryQueue::DeliverNext(int32_t wait_ms, uint8_t* message_buffer,
                                const DeliverFn& deliver) {
  kestal::MutexLock lock(m_mutex);
  if (m_first == m_end && wait_ms > 0) {
    m_consumer_waiting = true;
    m_signal.WaitFor(lock, std::chrono::milliseconds(wait_ms),
                     [this]() REQUIRES(m_mutex) { return m_first != m_end || m_interrupted; });
    m_consumer_waiting = false;
  }
  if (m_interrupted || m_first == m_end) {
    m_interrupted = false;
    return false;
  }
  const Entry e = m_entries[m_first++ % kMaxEntries];
  if (e.frame && e.dropped) return true;
  Item item{e.type, e.frame, message_buffer, e.len, e.header_len, e.host_time_ns, e.utc_time_ns};
  if (!e.frame) {
    CopyOut(m_ring.get(), m_ring_size, e.where, message_buffer, e.len);
    m_ring_tail = e.where + e.len;  // messages leave the ring in the order they entered it
    lock.Unlock();
    deliver(item);
    return true;
  }
  const uint32_t index = static_cast<uint32_t>(e.where);
  m_slots[index] = Slot::kDelivering;
  item.data = m_frames[index].get();
  lock.Unlock();
  // The buffer returns to the pool however the delivery ends: a receive worker given up in a stop
  // unwinds from the application's callback.
  struct ReturnOnExit {
    DeliveryQueue& queue;
    uint32_t index;
    ~ReturnOnExit() { queue.ReturnFrame(index); }
  } returned{*this, index};
  deliver(item);
  return true;
}

void DeliveryQueue::ReturnFrame(uint32_t index) {
  kestal::MutexLock lock(m_mutex);
  m_slots[index] = Slot::kFree;
}

void DeliveryQueue::Interrupt() {
  kestal::MutexLock lock(m_mutex);
  m_interrupted = true;
  m_signal.NotifyAll();
}

void DeliveryQueue::DropWaiting() {
  kestal::MutexLock lock(m_mutex);
  for (; m_first != m_end; ++m_first) {
    const Entry& e = m_entries[m_first % kMaxEntries];
    if (e.frame && !e.dropped) m_slots[static_cast<uint32_t>(e.where)] = Slot::kFree;
  }
  m_ring_tail = m_ring_head;
  m_interrupted = false;
}

uint32_t DeliveryQueue::Waiting() const {
  kestal::MutexLock lock(m_mutex);
  return static_cast<uint32_t>(m_end - m_first);
}
