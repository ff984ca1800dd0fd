// Memory for one asynchronous handler at a time, reused, so that a handler posted for every
// order (the send chain's wake-up) allocates nothing. When the slot is taken, or the handler
// does not fit, the allocator falls back to the heap.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

class HandlerSlot {
 public:
  static constexpr std::size_t kSize = 256;

  void* Take(std::size_t bytes) {
    if (bytes > kSize || m_in_use.exchange(true, std::memory_order_acquire)) return nullptr;
    return m_storage;
  }
  bool Give(void* p) {
    if (p != m_storage) return false;
    m_in_use.store(false, std::memory_order_release);
    return true;
  }

 private:
  alignas(std::max_align_t) unsigned char m_storage[kSize];
  std::atomic<bool> m_in_use{false};
};

template <typename T>
class HandlerSlotAllocator {
 public:
  using value_type = T;

  explicit HandlerSlotAllocator(HandlerSlot* slot) noexcept : m_slot(slot) {}
  template <typename U>
  HandlerSlotAllocator(const HandlerSlotAllocator<U>& other) noexcept : m_slot(other.Slot()) {}

  T* allocate(std::size_t n) {
    if (alignof(T) <= alignof(std::max_align_t))
      if (void* p = m_slot->Take(sizeof(T) * n)) return static_cast<T*>(p);
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) {
    if (!m_slot->Give(p)) std::allocator<T>().deallocate(p, n);
  }

  HandlerSlot* Slot() const noexcept { return m_slot; }
  template <typename U>
  bool operator==(const HandlerSlotAllocator<U>& other) const noexcept {
    return m_slot == other.Slot();
  }
  template <typename U>
  bool operator!=(const HandlerSlotAllocator<U>& other) const noexcept {
    return m_slot != other.Slot();
  }

 private:
  HandlerSlot* m_slot;
};
