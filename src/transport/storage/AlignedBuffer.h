// A heap buffer aligned for unbuffered disk transfers (4096 bytes covers every sector size).
// Taken once by its owner; a failed allocation leaves it empty (Data() == nullptr) rather
// than throwing, so the owner can report it the way the transport reports failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

class AlignedBuffer {
 public:
  static constexpr std::size_t kAlignment = 4096;

  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size) { Allocate(size); }
  ~AlignedBuffer() { Release(); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  // Replaces the buffer with `size` zero bytes; false when the memory cannot be had.
  bool Allocate(std::size_t size) {
    Release();
    if (size == 0) return true;
    void* p = ::operator new (size, std::align_val_t{kAlignment}, std::nothrow);
    if (!p) return false;
    std::memset(p, 0, size);
    m_data = static_cast<uint8_t*>(p);
    m_size = size;
    return true;
  }

  void Release() {
    if (m_data) ::operator delete (m_data, std::align_val_t{kAlignment});
    m_data = nullptr;
    m_size = 0;
  }

  uint8_t* Data() { return m_data; }
  const uint8_t* Data() const { return m_data; }
  std::size_t Size() const { return m_size; }

 private:
  uint8_t* m_data = nullptr;
  std::size_t m_size = 0;
};
