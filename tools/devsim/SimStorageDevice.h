// The device's half of the storage mailbox: it opens the same disk or image file as the host
// and mirrors the host's side, writing volume type 1 (device to host) and reading volume
// type 0 (host to device). Messages from the host go to a handler (SimDevice::OnHostMessage
// in the simulator); Send writes the device's own messages.
//
// Threads: Open / Start / Stop from one controlling thread. The poll worker reads type 0
// about every millisecond and calls the handler on its own thread. Send may be called from
// any thread, the handler included.
//
// Start the two sides one after the other (either order): on a fresh disk both write an init
// message into each empty type, and two inits written at the same moment could clear each
// other's records.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "transport/storage/AlignedBuffer.h"
#include "transport/storage/BlockDevice.h"
#include "transport/storage/BlockStorage.h"
#include "transport/storage/SummaryRecord.h"
#include "transport/storage/VolumeArea.h"

class SimStorageDevice {
 public:
  using Handler = std::function<void(uint16_t type, const uint8_t* data, uint32_t len)>;

  // Largest message either way; longer host records are skipped.
  static constexpr uint32_t kMaxMsgLen = 0x400000;

  explicit SimStorageDevice(std::string path);
  // The same on a disk held by the caller (an in-memory one), which must remain live.
  explicit SimStorageDevice(BlockStorage& storage);
  ~SimStorageDevice();
  SimStorageDevice(const SimStorageDevice&) = delete;
  SimStorageDevice& operator=(const SimStorageDevice&) = delete;

  // Opens the disk and finds its places: after the newest record of type 1 for writing and
  // after the newest record of type 0 for reading (so messages written before the device
  // started are not delivered). 0 or -1.
  int Open();
  // Opens if needed, then polls type 0 on a worker and passes each message to `handler`.
  int Start(Handler handler);
  // Stops and joins the worker, closes the disk. Idempotent.
  void Stop();

  struct Message {
    const uint8_t* data;
    uint32_t len;
  };
  // Writes one message into type 1: data first, then its record. 0 or -1.
  int Send(uint16_t type, const uint8_t* data, uint32_t len);
  // Writes a burst of messages as a device with a queue of them would: the data of many in one
  // write, then their records together. What the host reads is the same as after one Send each.
  int SendMany(uint16_t type, const Message* messages, uint32_t count);

  // Faults of a device writing type 1 (tests, the soak). A message whose record fails its check:
  // for good (torn_ms < 0: a damaged summary field, its number used up), or for torn_ms before it
  // is written whole (a record caught in writing). 0 or -1.
  int SendFaulty(uint16_t type, const uint8_t* data, uint32_t len, int torn_ms);
  // The next record's number is `count` higher than it should be (the device skipped numbers).
  void SkipSeqNos(uint64_t count);

  // Observation for tests.
  uint64_t MessagesReceived() const { return m_received.load(); }
  uint64_t Resyncs() const { return m_resyncs.load(); }
  uint64_t NextSendSeqNo() const;

 private:
  struct Position {
    uint32_t slot = 0;       // offset of the next slot in the summary area
    uint32_t data_addr = 0;  // next data address (writer only)
    uint64_t seq_no = 0;     // next number to write or expect
  };

  // Newest record of a type, or an init message when the type has none. -1 on failure.
  int Locate(int volume_type, Position* position);
  int WriteRecordLocked(int volume_type, Position* position, uint16_t type, const uint8_t* data,
                        uint32_t len);
  // Writes the first messages of `messages` (at least one); how many, or -1.
  int WriteRunLocked(int volume_type, Position* position, uint16_t type, const Message* messages,
                     uint32_t count);
  int WriteRing(uint32_t address, const uint8_t* data, uint32_t len, uint32_t area_start,
                uint32_t area_end, uint32_t* end_address);
  int ReadRing(uint32_t address, uint8_t* buffer, uint32_t len, uint32_t area_start,
               uint32_t area_end);
  // Reads what is new in type 0; false when the disk failed.
  bool Poll();
  void LoopPoll();

  void AllocateBuffers();

  std::string m_path;
  BlockDevice m_device;
  BlockStorage* const m_attached = nullptr;  // used in place of opening m_path
  BlockStorage* m_disk = nullptr;            // the open disk: m_device or m_attached
  std::atomic<bool> m_stop{false};
  std::thread m_poll_thread;
  Handler m_handler;

  // Type 1 position, the write staging buffer and the scan buffer.
  mutable std::mutex m_write_mutex;
  Position m_write;
  bool m_damage_next_record = false;  // SendFaulty: the next record written fails its check
  AlignedBuffer m_write_staging;

  Position m_read;  // the poll worker's alone once it runs
  AlignedBuffer m_read_window;
  AlignedBuffer m_read_data;
  AlignedBuffer m_scan;

  std::atomic<uint64_t> m_received{0};
  std::atomic<uint64_t> m_resyncs{0};
};
