// The TCP transport's receive side: the receive chain reads straight into the receive cache on the
// io worker and cuts what it read into frames right there (FrameStreamParser); the parse worker
// does it instead when it is at the cache already. Each validated frame's message goes to the
// plan's `deliver`, which never waits for the application: the socket is always read.
//
// The receive cache is one block: [m_recv_begin, m_recv_end) holds the bytes not yet parsed, and
// reads append at m_recv_end. The io worker only ever writes past m_recv_end and the parse worker
// only reads before it, so they share the block without a lock. The space before m_recv_begin is
// reclaimed (the unparsed bytes moved to the front) only while no read is in flight: by the io
// worker right after a read it cut itself, or by the parse worker while the receive chain is
// parked (the two agree on that under m_recv_cache_mutex).
//
// Threads: chain steps on the io worker; the parse worker, owned here and joined by JoinParser,
// cuts the frames of a read that the io worker left to it (the parse state was taken) and tends
// the cache while the chain is parked: it drops what a lost connection left and moves unparsed
// bytes to the front. The connection, the stop flag, the health and the capture must remain live
// while the chain and the worker run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

#include "common/Mutex.h"
#include "diag/LinkCapture.h"
#include "diag/LinkHealth.h"
#include "transport/HostCommTransport.h"
#include "transport/network/FrameStreamParser.h"
#include "transport/network/HandlerSlotAllocator.h"
#include "transport/network/NetworkConnection.h"

class NetworkReceiver {
 public:
  // Most bytes one read takes; a read starts only with at least kMinReadRoom free behind the data.
  static constexpr uint32_t kMaxRead = 0x100000;
  static constexpr uint32_t kMinReadRoom = 0x10000;

  NetworkReceiver(NetworkConnection& connection, const std::atomic<bool>& stop, LinkHealth& health);
  NetworkReceiver(const NetworkReceiver&) = delete;
  NetworkReceiver& operator=(const NetworkReceiver&) = delete;

  // Before the io worker runs: takes the 4 MiB cache at the first start and empties it of an
  // earlier start's bytes.
  void Prepare(LinkCapture* capture, const HostCommMessageFn& deliver);
  // Posts the chain's first step to the io worker and starts the parse worker.
  void Start();
  // Wakes the parse worker's wait (the stop flag is set), and joins it.
  void NotifyStop();
  void JoinParser();
  bool ParserRunning() const { return m_parse_thread.joinable(); }
  // Io worker, after a handler threw: a chain that is not armed starts again from its timer.
  void Restart();
  // Test hook: the next read completion on the io worker throws, as a failing handler would.
  void ThrowInNextRead() { m_throw_in_next_read = true; }

 private:
  // Receive chain (io worker); WakeReadChain runs on the parse worker.
  void WakeReadChain();
  void AsyncReadData();
  void ReadAfter(std::chrono::milliseconds wait);
  void AsyncReadCallback(const std::error_code& error, std::size_t bytes, uint32_t connection);
  // Cuts the frames of the read that began at `read_from` on the io worker when the parse worker
  // is not at the cache and has looked at everything before the read; false when it did not.
  bool DealInline(uint32_t read_from) EXCLUDES(m_parse_mutex);
  void SignalParser();
  // Parse worker and its steps.
  void LoopParse();
  void WaitForBytes(int ms);
  void TendParkedCache() REQUIRES(m_parse_mutex);
  void CompactCache() REQUIRES(m_parse_mutex);
  void ScanCache() REQUIRES(m_parse_mutex);
  bool HandOnFrame(uint8_t* frame, uint32_t length);  // the parser's sink
  void ClearCache() REQUIRES(m_parse_mutex);
  // Valid bytes waiting in the receive cache.
  uint32_t RecvCacheLen() const { return m_recv_end.load() - m_recv_begin.load(); }

  NetworkConnection& m_connection;
  const std::atomic<bool>& m_stop;
  LinkHealth& m_health;
  LinkCapture* m_capture = nullptr;  // the session's, written by Start
  HostCommMessageFn m_deliver;       // the plan's, written by Start
  std::atomic<bool> m_throw_in_next_read{false};

  // Receive cache of m_recv_cache_capacity bytes (see the top of this file).
  uint32_t m_recv_cache_capacity = 0x400000;
  std::unique_ptr<uint8_t[]> m_recv_cache;
  std::atomic<uint32_t> m_recv_begin{0};  // written by the parse worker
  // Written by the io worker, and by the parse worker while parked.
  std::atomic<uint32_t> m_recv_end{0};
  // Guards the parked hand-over of the cache and the parse worker's wake-up (m_parse_pending).
  kestal::Mutex m_recv_cache_mutex;
  kestal::CondVar m_parse_signal;
  // A read added bytes or the chain parked since the parse worker last looked.
  bool m_parse_pending GUARDED_BY(m_recv_cache_mutex) = false;
  // True while the chain waits for its timer or its read, so a handler of it will run; false while
  // a step of it runs, and after a step that threw. Io worker only (and Start before the first
  // step is posted).
  bool m_read_armed = false;
  // Set under m_recv_cache_mutex by the chain when it waits on its timer with no read in flight:
  // for room in the cache, for a connection, or for the cache to be emptied of another
  // connection's bytes. Only then may the parse worker move the cache's bytes; it clears the flag
  // and posts a wake-up once it has made room, so reading goes on at once instead of at the next
  // tick.
  std::atomic<bool> m_read_parked{false};
  HandlerSlot m_read_wake_slot;
  // Connection whose bytes the cache holds; changed by the parse worker while the chain is parked.
  std::atomic<uint32_t> m_recv_cache_connection{0};

  // Parse state: the parser keeps what must survive between scans of [m_recv_begin, m_recv_end).
  // Held by the parse worker while it looks at the cache, by the io worker while it cuts its own
  // read, and by Start.
  kestal::Mutex m_parse_mutex;
  uint32_t m_parsed_end GUARDED_BY(m_parse_mutex) = 0;  // m_recv_end when last scanned
  FrameStreamParser m_parser GUARDED_BY(m_parse_mutex);

  std::thread m_parse_thread;
};
