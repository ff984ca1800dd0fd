// What the reading side of the link hands to the engine's receive worker, the one thread that calls
// the application: whole image frames, assembled straight into the buffers of a fixed pool, and
// plain messages (ACKs, status), copied by value into a ring. Both go in one sequence, in the order
// they arrived, and the receive worker takes one item at a time.
//
// The reading side never waits for the application. When every frame buffer is taken (one being
// assembled, one in the application's hands, the rest waiting), the oldest frame that still waits
// is dropped and its buffer takes the next frame; when the message ring or the sequence is full,
// the new message is dropped. Both are counted (image_frames_dropped, messages_dropped) and logged
// at most once a second. The link's own data is never dropped for a slow application.
//
// Thread safety: one reading thread at a time calls FrameBuffer, PushFrame and PushMessage (the
// transports' reading workers, or a test or replay on its own thread); the buffer that FrameBuffer
// returns is that thread's alone until PushFrame. DeliverNext runs on the receive worker; a frame's
// buffer goes back to the pool when its delivery returns or unwinds, even from a receive worker
// that a stop gave up and a later one replaced. Reserve, Interrupt and DropWaiting come from any
// thread. Everything shared is guarded by one mutex, taken once per message or frame, never per
// piece.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "common/Mutex.h"

struct LinkHealth;

class DeliveryQueue {
 public:
  // One item as the receive worker hands it to the application.
  struct Item {
    uint16_t type;
    bool frame;            // a frame from the pool (its buffer), else a message (a copy)
    uint8_t* data;         // valid during the delivery only
    uint32_t len;          // header and data
    uint32_t header_len;   // frames: the image header's length
    int64_t host_time_ns;  // when the reading side finished it (steady clock)
    int64_t utc_time_ns;   // the same moment on the system clock, since 1970
  };
  using DeliverFn = std::function<void(const Item& item)>;

  static constexpr uint32_t kMaxMessage = 65536;  // the longest message either transport carries

  // `health` counts drops and the deepest wait; it must remain live as long as the queue.
  explicit DeliveryQueue(LinkHealth* health);
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  // Allocates `depth` frame buffers of `frame_capacity` bytes and a message ring of
  // `message_bytes`; the first call allocates, later ones keep what is there. depth >= 3.
  void Reserve(uint32_t frame_capacity, uint32_t depth, uint32_t message_bytes) EXCLUDES(m_mutex);
  // The buffer the next frame is assembled in (FrameCapacity() bytes); null before Reserve.
  uint8_t* FrameBuffer() const { return m_assembling_data; }
  uint32_t FrameCapacity() const { return m_frame_capacity; }
  // Queues the frame in FrameBuffer() (`len` bytes, the first `header_len` its header) and gives
  // the reading side another buffer for the next frame.
  void PushFrame(uint16_t type, uint32_t header_len, uint32_t len) EXCLUDES(m_mutex);
  // Queues a copy of a frame that came whole in one message (`len` <= FrameCapacity()), in a buffer
  // of its own: the frame being assembled in FrameBuffer() stays as it is.
  void PushFrameCopy(uint16_t type, uint32_t header_len, const uint8_t* data, uint32_t len)
      EXCLUDES(m_mutex);
  // Queues a copy of the message; false when it was dropped for lack of room.
  bool PushMessage(uint16_t type, const uint8_t* data, uint32_t len) EXCLUDES(m_mutex);
  // Takes the next item, waiting at most `wait_ms` (0: not at all), and passes it to `deliver`;
  // a message is first copied into `message_buffer` (kMaxMessage bytes), so that the ring's room
  // is free again during the delivery. False when nothing came or Interrupt cut the wait short.
  bool DeliverNext(int32_t wait_ms, uint8_t* message_buffer, const DeliverFn& deliver)
      EXCLUDES(m_mutex);
  // Makes a waiting (or the next) DeliverNext return false at once.
  void Interrupt() EXCLUDES(m_mutex);
  // Drops every item still waiting: a stopped session's data never reaches a later one.
  void DropWaiting() EXCLUDES(m_mutex);
  // Items waiting for the receive worker now.
  uint32_t Waiting() const EXCLUDES(m_mutex);

 private:
  enum class Slot : uint8_t { kFree, kAssembling, kWaiting, kDelivering };
  struct Entry {
    uint16_t type;
    bool frame;
    bool dropped;  // a frame whose buffer was taken for a newer one
    uint32_t len;
    uint32_t header_len;
    uint64_t where;  // frames: the buffer's index; messages: the position in the ring
    int64_t host_time_ns, utc_time_ns;
  };
  static constexpr uint32_t kMaxEntries = 8192;

  void ReturnFrame(uint32_t index) EXCLUDES(m_mutex);
  // A free buffer, else the oldest waiting frame's (that frame is dropped); -1 when every buffer is
  // being assembled in or delivered.
  int32_t TakeBuffer() REQUIRES(m_mutex);
  // When a frame was finished: steady and system clock, in ns.
  struct Times {
    int64_t host, utc;
  };
  static Times Now();
  void QueueFrame(uint16_t type, uint32_t header_len, uint32_t len, uint32_t index,
                  const Times& times) REQUIRES(m_mutex);
  void NoteDropped(bool frame) REQUIRES(m_mutex);

  LinkHealth* const m_health;
  mutable kestal::Mutex m_mutex;
  kestal::CondVar m_signal;

  std::vector<std::unique_ptr<uint8_t[]>> m_frames;  // fixed once reserved
  std::vector<Slot> m_slots GUARDED_BY(m_mutex);
  uint32_t m_frame_capacity = 0;
  uint32_t m_assembling GUARDED_BY(m_mutex) = 0;
  uint8_t* m_assembling_data = nullptr;  // the reading side's, set under the mutex

  std::unique_ptr<uint8_t[]> m_ring;
  uint32_t m_ring_size = 0;
  uint64_t m_ring_head GUARDED_BY(m_mutex) = 0;  // positions grow; the ring holds [tail, head)
  uint64_t m_ring_tail GUARDED_BY(m_mutex) = 0;

  std::vector<Entry> m_entries;  // kMaxEntries, a ring of [m_first, m_end)
  uint64_t m_first GUARDED_BY(m_mutex) = 0;
  uint64_t m_end GUARDED_BY(m_mutex) = 0;
  bool m_consumer_waiting GUARDED_BY(m_mutex) = false;
  bool m_interrupted GUARDED_BY(m_mutex) = false;

  // Drops since the last log line, and when it was written (at most one a second).
  uint64_t m_frames_dropped_unlogged GUARDED_BY(m_mutex) = 0;
  uint64_t m_messages_dropped_unlogged GUARDED_BY(m_mutex) = 0;
  int64_t m_last_drop_log_us GUARDED_BY(m_mutex) = 0;
};
