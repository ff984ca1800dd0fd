// Fixed pool of 64 KiB buffers that circulate between a free list and a full list; the one
// way in which the library's threads hand data to each other.
//
// Producers: GetFree, fill, PutFull. Consumers: GetFull, read, PutFree. All memory (buffers,
// descriptors and both FIFO rings) is one allocation made by Init; gets and puts allocate
// nothing. Any thread may get and put concurrently; Init and Deinit belong to the owner's
// construction and teardown (Deinit wakes threads blocked in a get).
#pragma once

#include <atomic>
#include <cstdint>

#include "common/Mutex.h"

struct WorkFlowBuffer {
  uint8_t* data = nullptr;   // kBufferSize bytes, owned by the queue
  uint32_t data_offset = 0;  // where the valid bytes start; producers keep it 0
  uint32_t bytes_used = 0;   // valid bytes
  uint32_t msg_type = 0;     // message type travelling with the data (storage transport)
};

class WorkFlowBufferQueue {
 public:
  static constexpr uint32_t kBufferSize = 0x10000;
  // Buffer offsets in the block are 32-bit, so a pool stays below 65536 buffers.
  static constexpr uint32_t kMaxBufferCount = 0xFFFF;

  WorkFlowBufferQueue() = default;
  ~WorkFlowBufferQueue();
  WorkFlowBufferQueue(const WorkFlowBufferQueue&) = delete;
  WorkFlowBufferQueue& operator=(const WorkFlowBufferQueue&) = delete;

  // Builds a pool of `count` buffers, all on the free list in index order. 0 or -1.
  int Init(uint32_t count);
  void Deinit();

  // timeout_ms: 0 waits without limit, > 0 waits at most that long, < 0 does not wait.
  // One wait only: a timeout, an interrupt or Deinit give nullptr.
  WorkFlowBuffer* GetFree(int32_t timeout_ms);
  WorkFlowBuffer* GetFull(int32_t timeout_ms);
  void PutFree(WorkFlowBuffer* buffer);
  // Cuts a bytes_used above kBufferSize to kBufferSize (with an error line).
  void PutFull(WorkFlowBuffer* buffer);
  // Makes the GetFull that waits now, or else the next one, return at once (nullptr when nothing
  // is queued): how an owner that stops its consumer cuts the consumer's long wait short.
  void InterruptFullWait();
  // Puts every full buffer back on the free list, unread.
  void DropFull();

  uint32_t BufferSize() const { return m_buffer_size; }
  uint32_t Count() const { return m_count; }
  // Buffers on the free list now; any thread.
  uint32_t FreeCount() EXCLUDES(m_free.mutex);
  // Most buffers ever queued full at once (a health figure); any thread.
  uint32_t FullHighWater() const { return m_full_high.load(std::memory_order_relaxed); }

 private:
  // FIFO of descriptor pointers in a ring with one slot per buffer, so it never overflows.
  struct Ring {
    kestal::Mutex mutex;
    kestal::CondVar signal;
    WorkFlowBuffer** slots GUARDED_BY(mutex) = nullptr;
    uint32_t head GUARDED_BY(mutex) = 0;
    uint32_t size GUARDED_BY(mutex) = 0;
    uint32_t capacity GUARDED_BY(mutex) = 0;
    bool interrupted GUARDED_BY(mutex) =
        false;  // InterruptFullWait was called and no get has returned since
  };

  WorkFlowBuffer* Get(Ring& ring, int32_t timeout_ms) EXCLUDES(ring.mutex);
  void Put(Ring& ring, WorkFlowBuffer* buffer) EXCLUDES(ring.mutex);
  static void Clear(Ring& ring) EXCLUDES(ring.mutex);

  uint8_t* m_block = nullptr;
  uint32_t m_buffer_size = 0;
  uint32_t m_count = 0;
  std::atomic<bool> m_initialised{false};
  Ring m_free;
  Ring m_full;
  std::atomic<uint32_t> m_full_high{0};  // written under m_full.mutex
};

// Puts a buffer taken with GetFull back on the free list when it goes out of scope, however the
// code that reads it ends (a worker whose callback a stop gave up ends right where it returns).
class FreeOnExit {
 public:
  FreeOnExit(WorkFlowBufferQueue& queue, WorkFlowBuffer* buffer)
      : m_queue(queue), m_buffer(buffer) {}
  ~FreeOnExit() { m_queue.PutFree(m_buffer); }
  FreeOnExit(const FreeOnExit&) = delete;
  FreeOnExit& operator=(const FreeOnExit&) = delete;

 private:
  WorkFlowBufferQueue& m_queue;
  WorkFlowBuffer* const m_buffer;
};
