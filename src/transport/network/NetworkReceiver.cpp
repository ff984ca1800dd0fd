#include "transport/network/NetworkReceiver.h"

#include <cstring>
#include <exception>
#include <stdexcept>

#include "common/Log.h"
#include "common/ThreadName.h"

namespace {

using Timer = NetworkConnection::Timer;

// The parse worker's lines keep the name they have always had.
constexpr const char* kParseWorker = "HostCommViaNetwork::StartLoopRecv.ParseWorker";
constexpr auto kChainRetryWait = std::chrono::milliseconds(50);
constexpr int32_t kParseIdleWaitMs = 10000;  // a read and a stop wake the wait

}  // namespace

NetworkReceiver::NetworkReceiver(NetworkConnection& connection, const std::atomic<bool>& stop,
                                 LinkHealth& health)
    : m_connection(connection), m_stop(stop), m_health(health), m_parser({&m_health, &m_stop}) {}

void NetworkReceiver::Prepare(LinkCapture* capture, const HostCommMessageFn& deliver) {
  m_capture = capture;
  m_deliver = deliver;
  // The cache comes with the first start and stays until the transport goes.
  if (!m_recv_cache) m_recv_cache.reset(new uint8_t[m_recv_cache_capacity]());
  // What an earlier start left behind never joins the data of this one.
  if (RecvCacheLen() != 0) KLOG_DEBUG_AS(kParseWorker, "socket is closed, clear recv cache");
  {
    kestal::MutexLock lock(m_parse_mutex);
    ClearCache();
  }
  m_recv_cache_connection = m_connection.ConnectionId();
  m_read_parked = false;
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    m_parse_pending = false;
  }
  m_read_armed = true;  // its first step is queued by Start
}

void NetworkReceiver::Start() {
  // The first step runs on the io worker, like every later step, so the socket and the timer are
  // never touched by two threads.
  m_connection.Post([this] {
    m_read_armed = false;
    AsyncReadData();
  });
  m_parse_thread = std::thread(kestal::Log::Inheriting([this] { LoopParse(); }));
}

// The stop flag is already set: taking the lock orders the parse worker's look at it before the
// wake.
void NetworkReceiver::NotifyStop() {
  { kestal::MutexLock lock(m_recv_cache_mutex); }
  m_parse_signal.NotifyAll();
}

// The parse worker never calls the application, so nothing can hold it up.
void NetworkReceiver::JoinParser() {
  if (m_parse_thread.joinable()) m_parse_thread.join();
}

void NetworkReceiver::Restart() {
  if (!m_read_armed && !m_stop) ReadAfter(kChainRetryWait);
}

// The chain parks on its timer; cancelling the wait runs its next step now, once the parse worker
// has made room. The step is still called exactly once per wait, so there is never a second chain.
void NetworkReceiver::WakeReadChain() {
  m_connection.Post([this] { m_connection.CancelTimer(Timer::Read); }, &m_read_wake_slot);
}

void NetworkReceiver::AsyncReadData() {
  if (m_stop) {
    KLOG_DEBUG_AS("HostCommViaNetwork::AsyncReadData", "Job is stopped");
    return;
  }
  // The chain parks, with no read in flight, when there is no connection, when the cache still
  // holds bytes of an earlier connection, or when too little room is left behind the data; the
  // parse worker then empties or compacts the cache and wakes it. The decision is taken under the
  // mutex, so the parse worker never moves bytes while a read writes into the cache.
  // `end` and `parked` are this decision's own: once the lock is left, the parse worker may
  // already have moved the cache and cleared m_read_parked for the next step.
  uint32_t end;
  bool full = false, parked = false;
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    end = m_recv_end;
    const bool stale = m_recv_cache_connection != m_connection.ConnectionId();
    const bool open = m_connection.SocketOpen();
    full = open && !stale && m_recv_cache_capacity - end < kMinReadRoom;
    parked = !open || stale || full;
    m_read_parked = parked;
    if (parked) m_parse_pending = true;
  }
  if (parked) {
    m_parse_signal.NotifyOne();
    ReadAfter(kChainRetryWait);
    // Only a cache that compacting would not free is full; the parse worker is behind.
    if (full && end - m_recv_begin + kMinReadRoom > m_recv_cache_capacity)
      KLOG_DEBUG_AS("HostCommViaNetwork::AsyncReadData", "Full Receive data, Wait for next timer");
    return;
  }
  const uint32_t room = m_recv_cache_capacity - end;
  const uint32_t connection = m_connection.ConnectionId();
  m_connection.AsyncReceive(m_recv_cache.get() + end, room < kMaxRead ? room : kMaxRead,
                            [this, connection](const std::error_code& error, std::size_t bytes) {
                              m_read_armed = false;
                              AsyncReadCallback(error, bytes, connection);
                            });
  m_read_armed = true;
}

void NetworkReceiver::ReadAfter(std::chrono::milliseconds wait) {
  m_connection.WaitTimer(Timer::Read, wait, [this] {
    m_read_armed = false;
    AsyncReadData();
  });
  m_read_armed = true;
}

void NetworkReceiver::AsyncReadCallback(const std::error_code& error, std::size_t bytes,
                                        uint32_t connection) {
  if (m_throw_in_next_read.exchange(false))
    throw std::runtime_error("read handler failed (test hook)");
  // A socket that replaced the one this read was on is never closed by it.
  const bool current = connection == m_connection.ConnectionId();
  if (NetworkConnection::Aborted(error)) {
    KLOG_DEBUG_AS("HostCommViaNetwork::AsyncReadCallback", "Connection closed cleanly by peer");
    if (current) m_connection.CloseSocket();
    ReadAfter(kChainRetryWait);
  } else if (error) {
    KLOG_DEBUG_AS("HostCommViaNetwork::AsyncReadCallback", "Socket recv error:%d", error.value());
    if (current) m_connection.NoteLoss(error);
    if (current) m_connection.CloseSocket();
    ReadAfter(kChainRetryWait);
  } else if (bytes == 0) {
    KLOG_DEBUG_AS("HostCommViaNetwork::AsyncReadCallback", "Recv no new data");
    AsyncReadData();
  } else {
    // The read began only while the cache belonged to its connection, and nothing moves the
    // cache while a read is in flight, so its bytes stand right behind the data.
    LinkHealth::Add(m_health.bytes_in, bytes);
    if (m_capture)
      m_capture->Record(false, m_recv_cache.get() + m_recv_end, static_cast<uint32_t>(bytes));
    const uint32_t read_from =
        m_recv_end.fetch_add(static_cast<uint32_t>(bytes), std::memory_order_release);
    if (!DealInline(read_from)) SignalParser();
    AsyncReadData();
  }
}

// The io worker cuts its own read: no hand-over to the parse worker per read. The owner's
// `deliver` never waits for the application, so reading goes on right after.
bool NetworkReceiver::DealInline(uint32_t read_from) {
  if (!m_parse_mutex.TryLock()) return false;
  kestal::MutexLock lock(m_parse_mutex, kestal::kAdoptLock);
  // Bytes that the parse worker has yet to look at come first.
  if (m_parsed_end != read_from || m_parser.FramesWaiting()) return false;
  ScanCache();
  // No read is in flight here, so the cache may be compacted now rather than by the parse worker
  // once the chain has parked for room.
  if (m_recv_cache_capacity - m_recv_end < kMinReadRoom) CompactCache();
  return true;
}

void NetworkReceiver::SignalParser() {
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    m_parse_pending = true;
  }
  m_parse_signal.NotifyOne();
}

// ---------------------------------------------------------------------------------------------
// Parse worker

void NetworkReceiver::LoopParse() {
  kestal::NameThisThread("kestal-parse");
  for (;;) {
    if (m_stop) {
      KLOG_DEBUG_AS(kParseWorker, "loop parse message thread stopped");
      return;
    }
    try {
      kestal::MutexLock lock(m_parse_mutex);
      // The cache holds bytes of one connection only, so it is scanned whether or not that
      // connection still lives: frames that arrived whole before the device ended the connection
      // are delivered, and only the incomplete rest is dropped (TendParkedCache) before the next
      // connection's bytes come in.
      const bool fresh = m_recv_end.load(std::memory_order_acquire) != m_parsed_end;
      if (fresh || m_parser.FramesWaiting()) ScanCache();
      TendParkedCache();
      const bool idle =
          m_recv_end.load(std::memory_order_acquire) == m_parsed_end && !m_parser.FramesWaiting();
      lock.Unlock();
      if (idle) WaitForBytes(kParseIdleWaitMs);
    } catch (const std::exception& e) {
      KLOG_DEBUG_AS(kParseWorker, "Exception:%s", e.what());
      m_connection.CloseSocketLater(m_connection.ConnectionId());
    }
  }
}

void NetworkReceiver::WaitForBytes(int ms) {
  kestal::MutexLock lock(m_recv_cache_mutex);
  m_parse_signal.WaitFor(lock, std::chrono::milliseconds(ms),
                         [this]()
                             REQUIRES(m_recv_cache_mutex) { return m_parse_pending || m_stop; });
  m_parse_pending = false;
}

// With the receive chain parked (no read in flight) the parse worker owns the whole cache: it
// drops what a lost or earlier connection left, or moves the unparsed bytes to the front so the
// next read has room, and wakes the chain when it may read again.
void NetworkReceiver::TendParkedCache() {
  bool wake = false;
  {
    kestal::MutexLock lock(m_recv_cache_mutex);
    if (!m_read_parked) return;
    const uint32_t connection = m_connection.ConnectionId();
    if (!m_connection.IsConnected() || m_recv_cache_connection != connection) {
      // Whole frames of a lost connection are handed on first (the next connection's reads wait
      // meanwhile).
      if (m_parser.FramesWaiting() || m_recv_end != m_parsed_end) return;
      // Partial data of a lost connection never joins data of the next one.
      if (RecvCacheLen() != 0) KLOG_DEBUG_AS(kParseWorker, "socket is closed, clear recv cache");
      ClearCache();
      if (m_connection.IsConnected()) {
        m_recv_cache_connection = connection;
        wake = true;
      }
    } else if (m_recv_begin != 0) {
      CompactCache();
      wake = m_recv_cache_capacity - m_recv_end >= kMinReadRoom;
    }
    if (wake) m_read_parked = false;
  }
  if (wake) WakeReadChain();
}

void NetworkReceiver::CompactCache() {
  const uint32_t begin = m_recv_begin, end = m_recv_end;
  if (end > begin) std::memmove(m_recv_cache.get(), m_recv_cache.get() + begin, end - begin);
  m_recv_end = end - begin;
  m_recv_begin = 0;
  m_parsed_end = m_recv_end;
}

void NetworkReceiver::ClearCache() {
  m_parser.Reset();
  m_recv_begin = 0;
  m_recv_end = 0;
  m_parsed_end = 0;
}

// Cuts [m_recv_begin, m_recv_end) into frames in place and moves m_recv_begin past what the
// parser consumed; an incomplete frame stays for the next read.
void NetworkReceiver::ScanCache() {
  const uint32_t begin = m_recv_begin;
  const uint32_t end = m_recv_end.load(std::memory_order_acquire);
  m_parsed_end = end;
  m_recv_begin = begin + m_parser.Scan(m_recv_cache.get() + begin, end - begin,
                                       [this](uint8_t* frame, uint32_t length) {
                                         return HandOnFrame(frame, length);
                                       });
}

// Each frame's message goes to the owner as it is cut: the cache never holds frames back.
bool NetworkReceiver::HandOnFrame(uint8_t* frame, uint32_t length) {
  FrameStreamParser::DeliverMessage(frame, length, m_deliver);
  return true;
}
