#include "protocol/HostCommProtocolImpl.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/CallbackGate.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "common/ThreadName.h"

namespace {

constexpr uint32_t kMsgBufferSize = 65536;
constexpr int32_t kQueueWaitMs = 10000;  // cut short by a stop (DeliveryQueue::Interrupt)
// Frame buffers of the delivery pool: one being assembled, one in the application's hands, and six
// that may wait for it: on a machine of two cores a receive worker kept waiting for its core a few
// milliseconds then loses nothing at 5 GB/s (with four buffers it lost about one frame in 300).
constexpr uint32_t kFrameDepth = 8;
// Room for the messages that wait for the application: a hundred thousand ACKs and status records,
// or 128 of the longest messages (a disk brings them at 700 MB/s: 12 ms of a receive worker kept
// from its core).
constexpr uint32_t kMessageRingBytes = 8u << 20;
constexpr int32_t kFirmwareRoomWaitMs =
    5000;  // a firmware chunk's longest wait for room in the link
// The engine's stop sequence takes at least as long as the stops of both transports did (900 ms
// for the TCP link, 400 ms for the disk), made or not: a reconnect that follows at once relies on
// it to pace its attempts.
constexpr int kStopMinimumMs = 1300;
constexpr const char* kLoopRecv = "HostCommProtocolImpl::StartLoopRecv.RecvWorker";
// Every line about a received message carries the dispatcher's name.
constexpr const char* kDealMsg = "HostCommProtocolImpl::DealMsg";
constexpr const char* kLoopHeartBeat = "HostCommProtocolImpl::StartLoopRecv.HeartBeatWorker";

// Reads fields of a received payload; bytes past its end read as 0, so a short message
// never leads to a read outside what arrived.
class PayloadReader {
 public:
  PayloadReader(const uint8_t* data, uint32_t len) : m_data(data), m_len(len) {}
  uint8_t U8(uint32_t off) const { return off < m_len ? m_data[off] : 0; }
  uint16_t U16(uint32_t off) const { return static_cast<uint16_t>(U8(off) | U8(off + 1) << 8); }
  uint32_t U32(uint32_t off) const {
    return static_cast<uint32_t>(U16(off)) | static_cast<uint32_t>(U16(off + 2)) << 16;
  }

 private:
  const uint8_t* m_data;
  uint32_t m_len;
};

}  // namespace

HostCommProtocolImpl::HostCommProtocolImpl(HostCommProtocolConfig config)
    : m_config(std::move(config)) {}

// Both transports hand each message to DealMsg as they read it; DealMsg queues what the application
// gets for the receive worker, the one thread that calls it: a callback that takes its time never
// holds up reading, and a stop that gives a callback up has only this worker to leave behind.
HostCommMessageFn HostCommProtocolImpl::DealFn() {
  return [this](uint16_t type, const uint8_t* data, uint32_t len) { DealMsg(type, data, len); };
}

HostCommProtocolImpl::~HostCommProtocolImpl() {
  m_stop_loop_recv = true;
  m_wait_signal.NotifyAll();
  // The heartbeat worker sends through the transports: it ends before they go.
  JoinWorkers();
  // The network transport's workers report through this engine's configuration: they end before
  // the members they use go.
  kestal::MutexLock lock(m_transport_mutex);
  m_network_transport = nullptr;
  m_comm_dev_via_network.reset();
}

static int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint16_t HostCommProtocolImpl::NextSeqNo() {
  if (m_config.next_seq_no) return m_config.next_seq_no();
  return static_cast<uint16_t>(m_own_seq_no.fetch_add(1, std::memory_order_relaxed) + 1);
}

void HostCommProtocolImpl::SetHostCommType(uint32_t type) {
  m_host_comm_type = type;
  KLOG_DEBUG("SetHostCommType to %d", static_cast<int>(type));
}

void HostCommProtocolImpl::SetRecvMsgCallBack(RecvMsgCallBack callback, void* user_data) {
  m_recv_msg_callback.Set(callback, user_data);
}

void HostCommProtocolImpl::SetFrameCallBack(FrameCallBack callback, void* user_data) {
  m_frame_callback.Set(callback, user_data);
}

bool HostCommProtocolImpl::IsConnected() {
  HostCommTransport* transport = Transport(m_host_comm_type);
  return transport && transport->IsConnected();
}

int HostCommProtocolImpl::Request(uint16_t sub_type, const uint8_t* params, uint32_t params_len,
                                  uint32_t timeout_ms, AckSink ack) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int r = IsConnected() ? kRequestOk : kRequestNotConnected;
  if (r == kRequestOk) {
    const uint16_t seq_no = NextSeqNo();
    // Short orders (all but a sensor map or a file) are built on the stack: no allocation.
    uint8_t small[256];
    std::vector<uint8_t> large;
    uint8_t* order = small;
    if (OrderLayout::kHeaderLength + params_len > sizeof small)
      large.resize(OrderLayout::kHeaderLength + params_len), order = large.data();
    const uint32_t len = HostCommMsg::BuildOrder(order, seq_no, sub_type, params, params_len);
    // Listed before it is sent: its ACK may come back before SendOrder returns.
    OrderAckWaiter::Wait wait(seq_no, sub_type, ack);
    m_ack_waiter.Add(&wait);
    if (SendOrder(Order, order, len) == 0)
      r = m_ack_waiter.WaitUntil(&wait, deadline);
    else
      r = IsConnected() ? kRequestSendFailed : kRequestNotConnected;
    m_ack_waiter.Remove(&wait);
  }
  const char* why = nullptr;
  switch (r) {
    case kRequestOk: return r;
    case kRequestNotConnected: why = "not connected"; break;
    case kRequestSendFailed: why = "the link refused the order"; break;
    case kRequestStopped: why = "the library stopped before its ACK came"; break;
    default: why = "no ACK within "; break;
  }
  std::string reason = "request " + std::to_string(sub_type) + ": " + why;
  if (r == kRequestTimeout) reason += std::to_string(timeout_ms) + " ms";
  ReportFailureTo(m_config.report_failure, reason);
  return r;
}

static bool IsValidEndpoint(const std::string& host, uint32_t port) {
  if (port != 0 && port <= 65535 && HostCommTransport::IsValidHost(host)) return true;
  KLOG_DEBUG("Refused device endpoint %s:%u", host.c_str(), static_cast<unsigned>(port));
  return false;
}

int HostCommProtocolImpl::SetSettings(const HostCommSettings& settings) {
  if (!IsValidEndpoint(settings.device_ip_type1, settings.device_port_type1) ||
      !IsValidEndpoint(settings.device_ip_type3, settings.device_port_type3) ||
      settings.storage_paths.size() > HostCommTransportPlan::kMaxDisks)
    return -1;
  kestal::MutexLock lock(m_settings_mutex);
  m_settings = settings;
  return 0;
}

HostCommSettings HostCommProtocolImpl::Settings() const {
  kestal::MutexLock lock(m_settings_mutex);
  return m_settings;
}

int HostCommProtocolImpl::SetStoragePaths(std::vector<std::string> paths) {
  if (paths.size() > HostCommTransportPlan::kMaxDisks) return -1;
  kestal::MutexLock lock(m_settings_mutex);
  m_settings.storage_paths = std::move(paths);
  return 0;
}

int HostCommProtocolImpl::SetDeviceEndpoint(bool alt, const std::string& host, uint32_t port) {
  if (!IsValidEndpoint(host, port)) return -1;
  kestal::MutexLock lock(m_settings_mutex);
  (alt ? m_settings.device_ip_type3 : m_settings.device_ip_type1) = host;
  (alt ? m_settings.device_port_type3 : m_settings.device_port_type1) = port;
  return 0;
}

HostCommTransport* HostCommProtocolImpl::Transport(uint32_t type) const {
  if (type == HostCommTypeStorage) return m_storage_transport;
  if (IsNetworkType(type)) return m_network_transport;
  return nullptr;
}

HostCommTransport* HostCommProtocolImpl::MakeTransport(uint32_t type) {
  if (!NamesTransport(type)) return nullptr;
  if (HostCommTransport* made = Transport(type)) return made;
  kestal::MutexLock lock(m_transport_mutex);
  const bool storage = type == HostCommTypeStorage;
  std::unique_ptr<HostCommTransport>& owned =
      storage ? m_comm_dev_via_storage : m_comm_dev_via_network;
  if (!owned && m_config.make_transport)
    owned = m_config.make_transport(
        storage ? HostCommTransportKind::Storage : HostCommTransportKind::Network,
        HostCommTransportConfig{m_config.report_status, &m_health, m_config.report_failure});
  (storage ? m_storage_transport : m_network_transport) = owned.get();
  return owned.get();
}

// The settings of this start and the capture; the TCP link connects to the endpoint of its comm
// type.
HostCommTransportPlan HostCommProtocolImpl::Plan(uint32_t type) {
  const HostCommSettings settings = Settings();
  HostCommTransportPlan plan;
  if (IsNetworkType(type)) {
    const bool alt = type == HostCommTypeNetworkAlt;
    plan.endpoint = {alt ? settings.device_ip_type3 : settings.device_ip_type1,
                     alt ? settings.device_port_type3 : settings.device_port_type1};
    // Which device this log file is about: a process may run several links.
    KLOG_DEBUG("Device endpoint %s:%u", plan.endpoint.host.c_str(),
               static_cast<unsigned>(plan.endpoint.port));
  }
  plan.disks = settings.storage_paths;
  // Without an active capture the transport carries a null pointer: a capture that is off costs
  // one branch.
  plan.capture = m_capture.Active() ? &m_capture : nullptr;
  plan.deliver = DealFn();
  return plan;
}

void HostCommProtocolImpl::PrintVolumeRunInfo() {
  if (HostCommTransport* storage = MakeTransport(HostCommTypeStorage))
    storage->PrintVolumeRunInfo();
}

int HostCommProtocolImpl::StartLoopRecv() {
  const uint32_t type = m_host_comm_type;
  HostCommTransport* transport = MakeTransport(type);
  if (!transport) {
    KLOG_DEBUG("StartLoopRecv failed:%d", -1);
    return -1;
  }
  ReserveDelivery();
  const int r = transport->StartLoopRecv(Plan(type));
  if (r < 0) {
    KLOG_DEBUG("%s StartLoopRecv failed:%d",
               type == HostCommTypeStorage ? "m_comm_dev_via_storage" : "m_comm_dev_via_network",
               r);
    KLOG_DEBUG("StartLoopRecv failed:%d", r);
    return -1;
  }

  // Workers of an earlier start never run beside the new ones.
  if (m_recv_thread.joinable() || m_heart_beat_thread.joinable()) {
    m_stop_loop_recv = true;
    m_wait_signal.NotifyAll();
    JoinWorkers();
  }
  m_stop_loop_recv = false;
  m_recv_thread = kestal::CallbackGate::StartWorker([this] { LoopRecv(); });
  m_heart_beat_thread = kestal::CallbackGate::StartWorker([this] { LoopSendHeartBeat(); });
  return 0;
}

void HostCommProtocolImpl::StopLoopRecv() {
  const auto done = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopMinimumMs);
  {
    kestal::MutexLock lock(m_wait_mutex);
    m_stop_loop_recv = true;
  }
  m_wait_signal.NotifyAll();
  m_ack_waiter.Cancel();
  // The receive worker waits up to ten seconds for an item; it sees the stop at once.
  m_delivery.Interrupt();
  for (uint32_t type : {HostCommTypeNetwork, HostCommTypeStorage})
    if (HostCommTransport* transport = Transport(type)) transport->StopLoopRecv();
  JoinWorkers();
  // What the stopped session received but did not hand on yet is dropped with it, so that a later
  // start never hands the application messages of this one.
  m_delivery.DropWaiting();
  kestal::SleepUntil(done);
}

void HostCommProtocolImpl::ReserveDelivery() {
  m_delivery.Reserve(ImageFrameAssembler::kFrameBufferSize, kFrameDepth, kMessageRingBytes);
}

void HostCommProtocolImpl::JoinWorkers() {
  kestal::CallbackGate::JoinWorker(m_recv_thread);  // the receive callback runs on it (disk)
  kestal::CallbackGate::JoinWorker(m_heart_beat_thread);
}

int HostCommProtocolImpl::SendOrder(uint16_t type, const uint8_t* data, uint32_t len,
                                    const SendWait& wait) {
  const uint32_t comm_type = m_host_comm_type;
  if (!NamesTransport(comm_type)) {
    KLOG_DEBUG("Not support host communication type:%d", static_cast<int>(comm_type));
    return -1;
  }
  HostCommTransport* transport = Transport(comm_type);
  if (!transport) return -1;  // never started: no link
  const bool order = type == Order && len >= OrderLayout::kHeaderLength;
  const bool heart_beat = order && kestal::LoadU16(data + OrderLayout::kSubMsgType) == HeartBeat;
  // The round trip starts before the write: the ACK may be dealt with before SendOrder returns.
  if (order && !heart_beat) {
    m_rtt_sent_us.store(NowUs(), std::memory_order_relaxed);
    m_rtt_seq_no.store(kestal::LoadU16(data + OrderLayout::kSeqNo), std::memory_order_relaxed);
  }
  const int r = transport->SendOrder(type, data, len, wait);
  if (r == 0 && order) {
    LinkHealth::Add(heart_beat ? m_health.heartbeats_sent : m_health.orders_sent);
    if (!heart_beat) NoteScanOrder(data, len);
  }
  return r;
}

void HostCommProtocolImpl::NoteScanOrder(const uint8_t* order, uint32_t len) {
  const uint16_t sub_type = kestal::LoadU16(order + OrderLayout::kSubMsgType);
  const bool start = sub_type == StartScan || sub_type == StartScanAlt;
  if (!start && sub_type != StopScan && sub_type != StopScanAlt) return;
  kestal::MutexLock lock(m_scan_mutex);
  if (start)
    m_scan_order.assign(order, order + len);
  else
    m_scan_order.clear();
}

void HostCommProtocolImpl::ForgetScanOrder() {
  kestal::MutexLock lock(m_scan_mutex);
  m_scan_order.clear();
}

int HostCommProtocolImpl::ResumeScan() {
  if (!Settings().resume_scan) return 0;
  std::vector<uint8_t> order;
  {
    kestal::MutexLock lock(m_scan_mutex);
    order = m_scan_order;
  }
  if (order.empty()) return 0;
  kestal::StoreU16(order.data() + OrderLayout::kSeqNo, NextSeqNo());
  KLOG_DEBUG("Resume scan after reconnect, order:%d",
             static_cast<int>(kestal::LoadU16(order.data() + OrderLayout::kSubMsgType)));
  return SendOrder(Order, order.data(), static_cast<uint32_t>(order.size()));
}

int HostCommProtocolImpl::SendCommTypeOrder() {
  uint8_t order[12];
  const uint32_t comm_type = m_host_comm_type;
  uint32_t len = HostCommMsg::BuildCommTypeOrder(order, NextSeqNo(), comm_type);
  KLOG_DEBUG("SendCommTypeOrder:%d", static_cast<int>(comm_type));
  SendOrder(Order, order, len);
  return 0;
}

// The chunks come faster than the link carries them away: each waits for room, until a stop.
// Over the disk nothing tells the host how far the device has read the mailbox ring, and chunks
// written faster than it reads would overwrite chunks it has not read yet. So a read mark (a
// heartbeat) follows every stretch of chunks, and the stretch after next waits for the mark's ACK:
// the device reads the ring in order, so the ACK says it has read every chunk before the mark.
// At most two stretches and the orders between them are then unread, well within the ring.
int HostCommProtocolImpl::SendUpdateFirmware(uint16_t type, const uint8_t* data, uint32_t len) {
  const SendWait wait{kFirmwareRoomWaitMs, &m_stop_loop_recv};
  // Firmware chunk bytes between two read marks over the disk: three eighths of what the mailbox
  // holds unread, so that two stretches and the orders between them fit with room.
  const HostCommTransport* transport = Transport(m_host_comm_type);
  const uint32_t stretch_limit = transport ? transport->UnreadLimit() / 8 * 3 : 0;
  const bool over_disk = stretch_limit != 0;
  uint32_t stretch = 0;  // chunk bytes since the last read mark
  bool marked = false;   // a read mark of this file waits for its ACK
  auto send = [&](uint16_t t, const uint8_t* d, uint32_t l) {
    if (over_disk && stretch + l > stretch_limit) {
      if ((marked && WaitForReadMark(wait) < 0) || SendReadMark() < 0) return -1;
      marked = true;
      stretch = 0;
    }
    stretch += l;
    return SendOrder(t, d, l, wait);
  };
  return SendFirmwareChunks(send, NextSeqNo(), type, data, len);
}

int HostCommProtocolImpl::SendReadMark() {
  uint8_t order[OrderLayout::kHeaderLength];
  const uint16_t seq_no = NextSeqNo();
  {
    kestal::MutexLock lock(m_wait_mutex);
    m_read_mark_seq_no = seq_no;
    m_read_mark_acked = false;
  }
  return SendOrder(Order, order, HostCommMsg::BuildHeartBeat(order, seq_no)) < 0 ? -1 : 0;
}

int HostCommProtocolImpl::WaitForReadMark(const SendWait& wait) {
  kestal::MutexLock lock(m_wait_mutex);
  m_wait_signal.WaitFor(
      lock, std::chrono::milliseconds(wait.max_wait_ms),
      [&]() REQUIRES(m_wait_mutex) { return m_read_mark_acked || wait.Cancelled(); });
  return m_read_mark_acked && !wait.Cancelled() ? 0 : -1;
}

void HostCommProtocolImpl::NoteHeartBeatAck(uint16_t seq_no) {
  kestal::MutexLock lock(m_wait_mutex);
  if (m_read_mark_seq_no != seq_no) return;
  m_read_mark_acked = true;
  m_wait_signal.NotifyAll();
}

int HostCommProtocolImpl::SendFirmwareChunks(const SendFn& send, uint16_t seq_no, uint16_t type,
                                             const uint8_t* data, uint32_t len) {
  using L = FirmwareChunkLayout;
  constexpr const char* kFunction = "HostCommProtocolImpl::SendUpdateFirmware";
  std::vector<uint8_t> chunk(kMsgBufferSize);
  const uint32_t check = HostCommMsg::FirmwareCheck(data, len);
  KLOG_DEBUG_AS(kFunction, "firmware file len:%d, check:%d", static_cast<int>(len),
                static_cast<int>(check));
  int result = 0;
  for (uint32_t offset = 0; offset < len;) {
    const uint32_t chunk_len = len - offset < L::kMaxChunkData ? len - offset : L::kMaxChunkData;
    HostCommMsg::BuildFirmwareChunkHeader(chunk.data(), seq_no, type, len, check, offset,
                                          chunk_len);
    std::memcpy(chunk.data() + L::kData, data + offset, chunk_len);
    // The device cannot use a file with a hole: the rest is not sent and the caller hears of it.
    if (send(UpdateFirmware, chunk.data(), chunk_len + L::kHeaderLength) < 0) {
      result = -1;
      break;
    }
    offset += chunk_len;
  }
  KLOG_DEBUG_AS(kFunction, "Send update firmware:%d", static_cast<int>(len));
  return result;
}

// The receive worker only delivers: a message or frame waits here until the application has
// taken the one before.
void HostCommProtocolImpl::LoopRecv() {
  kestal::NameThisThread("kestal-recv");
  KLOG_DEBUG_AS(kLoopRecv, "loop recv thread started, comm_type:%d",
                static_cast<int>(m_host_comm_type.load()));
  const std::unique_ptr<uint8_t[]> message(new uint8_t[DeliveryQueue::kMaxMessage]);
  while (!m_stop_loop_recv) {
    const uint32_t comm_type = m_host_comm_type;
    if (!NamesTransport(comm_type)) {
      KLOG_DEBUG_AS(kLoopRecv, "Not support host communication type:%d",
                    static_cast<int>(comm_type));
      break;
    }
    m_delivery.DeliverNext(kQueueWaitMs, message.get(), m_deliver);
  }
  KLOG_DEBUG_AS(kLoopRecv, "loop recv thread stopped");
}

void HostCommProtocolImpl::DeliverWaiting() {
  if (!m_own_message) m_own_message.reset(new uint8_t[DeliveryQueue::kMaxMessage]);
  while (m_delivery.DeliverNext(0, m_own_message.get(), m_deliver)) {
  }
}

void HostCommProtocolImpl::LoopSendHeartBeat() {
  kestal::NameThisThread("kestal-beat");
  KLOG_DEBUG_AS(kLoopHeartBeat, "loop send_heart_beat thread started");
  uint8_t order[OrderLayout::kHeaderLength];
  while (!m_stop_loop_recv) {
    uint32_t len = HostCommMsg::BuildHeartBeat(order, NextSeqNo());
    SendOrder(Order, order, len);
    kestal::MutexLock lock(m_wait_mutex);
    m_wait_signal.WaitFor(lock, std::chrono::milliseconds(1000),
                          [this] { return m_stop_loop_recv.load(); });
  }
  KLOG_DEBUG_AS(kLoopHeartBeat, "loop send_heart_beat thread stopped");
}

void HostCommProtocolImpl::Deliver(const DeliveryQueue::Item& item) {
  if (RecvMsgCallBack callback = m_recv_msg_callback.Function())
    callback(item.type, item.data, item.len, m_recv_msg_callback.UserData());
  if (!item.frame) return;
  if (FrameCallBack callback = m_frame_callback.Function()) {
    ImageFrame frame{item.type,         item.data,
                     item.header_len,   item.len - item.header_len,
                     item.host_time_ns, item.utc_time_ns,
                     0,                 0,
                     0};
    ImageHeader header;
    if (item.type != YImage && DecodeImageHeader(item.data, item.header_len, &header) == 0)
      frame.number = header.number, frame.width = header.width, frame.height = header.height;
    callback(frame, m_frame_callback.UserData());
  }
}

ControllerStatusSnapshot HostCommProtocolImpl::GetControllerStatus() const {
  ControllerStatusSnapshot snapshot;
  kestal::MutexLock lock(m_controller_status_mutex);
  snapshot.time_ms = m_controller_status_time;
  std::memcpy(snapshot.record, m_controller_status, sizeof snapshot.record);
  return snapshot;
}

void HostCommProtocolImpl::ClearControllerStatus() {
  kestal::MutexLock lock(m_controller_status_mutex);
  m_controller_status_time = 0;
}

int HostCommProtocolImpl::DealMsg(uint16_t type, const uint8_t* data, uint32_t len) {
  if (!m_delivery.FrameBuffer()) ReserveDelivery();  // an engine that was never started
  const PayloadReader in(data, len);
  switch (type) {
    case ArmMsg:
      if (m_config.relay_arm_msg) m_config.relay_arm_msg(data, len);
      break;
    case YImage: {
      const uint32_t y_data_len = in.U32(YImageLayout::kYDataLen);
      if (static_cast<uint64_t>(YImageLayout::kHeaderLength) + y_data_len != len) {
        KLOG_DEBUG_AS(kDealMsg, "Y image is not correct:%d/%d", static_cast<int>(y_data_len),
                      static_cast<int>(len));
        break;
      }
      // A Y image is a frame of one message: the application gets it from the pool, in a buffer
      // of its own, since a frame of pieces may be half assembled in FrameBuffer().
      m_delivery.PushFrameCopy(type, YImageLayout::kHeaderLength, data, len);
      break;
    }
    case OriginalImagePiece:
    case YOriginalImagePiece: DealImagePiece(type, data, len); break;
    case WriteConfig:
      KLOG_DEBUG_AS(kDealMsg, "Recv a write config ACK, seq_no:%d, sub_msg_type:%d, ack_code:%d",
                    in.U16(ConfigAckLayout::kSeqNo), in.U16(ConfigAckLayout::kSubMsgType),
                    in.U16(ConfigAckLayout::kAckCode));
      m_delivery.PushMessage(type, data, len);
      break;
    case ReadConfig:
      DealReadConfigAck(data, len);
      m_delivery.PushMessage(type, data, len);
      break;
    case Order:
      DealOrderAck(data, len);
      m_delivery.PushMessage(type, data, len);
      break;
    case ControllerStatus:
      DealControllerStatus(data, len);
      m_delivery.PushMessage(type, data, len);
      break;
    case UpdateFirmware:
      KLOG_DEBUG_AS(
          kDealMsg,
          "Recv a update firmware ACK, seq_no:%d, type:%d, ack_code:%d, progress:%d, step:%d",
          in.U16(FirmwareAckLayout::kSeqNo), in.U16(FirmwareAckLayout::kType),
          in.U16(FirmwareAckLayout::kAckCode), in.U8(FirmwareAckLayout::kProgress),
          in.U8(FirmwareAckLayout::kStep));
      m_delivery.PushMessage(type, data, len);
      break;
    default:  // 0 and unknown types are dropped silently
      break;
  }
  return 0;
}

// A piece goes straight into the pool buffer of the frame being assembled; the frame it completes
// is queued whole, and the reading side goes on in another buffer.
void HostCommProtocolImpl::DealImagePiece(uint16_t type, const uint8_t* data, uint32_t len) {
  const uint32_t incomplete = m_image_frame.IncompleteFrameCount();
  const int64_t frame_len = m_image_frame.AddPiece(type, data, len, m_delivery.FrameBuffer());
  LinkHealth::Add(m_health.image_frames_dropped, m_image_frame.IncompleteFrameCount() - incomplete);
  if (frame_len <= 0) return;
  LinkHealth::Add(m_health.image_frames);
  m_delivery.PushFrame(type, ImagePieceLayout::kImageHeaderLength,
                       static_cast<uint32_t>(frame_len));
}

void HostCommProtocolImpl::DealReadConfigAck(const uint8_t* data, uint32_t len) {
  using L = ConfigAckLayout;
  const PayloadReader in(data, len);
  const uint32_t file_len = in.U32(L::kConfigFileLen);
  KLOG_DEBUG_AS(
      kDealMsg,
      "Recv a read config ACK, seq_no:%d, sub_msg_type:%d, ack_code:%d, config_file_len:%d",
      in.U16(L::kSeqNo), in.U16(L::kSubMsgType), in.U16(L::kAckCode), static_cast<int>(file_len));
  if (!kestal::Log::Enabled(kestal::LogLevel::Debug)) return;
  // 64 bytes a line, each "%02x "; never past the end of the payload.
  for (uint64_t offset = 0; offset < file_len; offset += 64) {
    const uint64_t first = L::kConfigFile + offset;
    if (first >= len) break;
    const uint64_t last = first + 64 < len ? first + 64 : len;
    char line[64 * 3 + 1];
    int n = 0;
    for (uint64_t i = first; i < last; ++i)
      n += std::snprintf(line + n, sizeof line - n, "%02x ", data[i]);
    line[n] = '\0';
    KLOG_DEBUG_AS(kDealMsg, "%04d: %s", static_cast<int>(offset), line);
  }
}

namespace {

// The line logged for the ACK of each order sub type, with the order's sequence number (the
// heartbeat's has none); null for a sub type that the catalogue does not know.
const char* AckLine(uint16_t sub_type) {
  switch (sub_type) {
#define KESTAL_ACK_LINE_ROW(name, value, c_name, line) \
  case value: return line;
    KESTAL_CATALOGUE_ORDER_TYPES(KESTAL_ACK_LINE_ROW)
#undef KESTAL_ACK_LINE_ROW
    default: return nullptr;
  }
}

// The fields of the replies that the log shows, after the ACK's line.
void LogAckReply(uint16_t sub_type, const PayloadReader& in) {
  switch (sub_type) {
    case GetSensorRegMap:
      KLOG_DEBUG_AS(kDealMsg,
                    "Recv sensor map, temp:%02x, %02x, roi_height:%02x, %02x, start:%02x, %02x",
                    in.U8(136), in.U8(137), in.U8(11), in.U8(12), in.U8(13), in.U8(14));
      KLOG_DEBUG_AS(kDealMsg, "Recv sensor map, flip:%02x, exposure:%02x, %02x, %02x, gain:%02x",
                    in.U8(50), in.U8(52), in.U8(53), in.U8(54), in.U8(113));
      break;
    case GetDeviceStaticInfo:
      KLOG_DEBUG_AS(kDealMsg, "Static fpga version:%d.%d.%d.%04d, app version:%d.%d.%d.%04d",
                    in.U8(16), in.U8(17), in.U16(18), in.U16(20), in.U8(10), in.U8(11), in.U16(12),
                    in.U16(14));
      break;
    case GetFpgaTemp:
      KLOG_DEBUG_AS(kDealMsg, "Fpga temp:%.2f",
                    HostCommMsg::FpgaTempCelsius(in.U32(OrderLayout::kAckReplyData)));
      break;
    default: break;
  }
}

}  // namespace

void HostCommProtocolImpl::DealOrderAck(const uint8_t* data, uint32_t len) {
  const PayloadReader in(data, len);
  const uint16_t sub_type = in.U16(OrderLayout::kSubMsgType);
  const int seq_no = in.U16(OrderLayout::kSeqNo);
  if (sub_type == HeartBeat) {
    KLOG_DEBUG_AS(kDealMsg, "%s", AckLine(HeartBeat));
    NoteHeartBeatAck(static_cast<uint16_t>(seq_no));
    m_ack_waiter.Deliver(data, len);
    return;
  }
  LinkHealth::Add(m_health.orders_acked);
  // Only the ACK of the order being timed ends the timing: an earlier order's ACK that comes after
  // it was sent must not clear it.
  uint32_t timed = static_cast<uint32_t>(seq_no);
  if (m_rtt_seq_no.compare_exchange_strong(timed, ~0u, std::memory_order_relaxed))
    LinkHealth::Set(m_health.last_rtt_us,
                    static_cast<uint64_t>(NowUs() - m_rtt_sent_us.load(std::memory_order_relaxed)));
  // Counted before the request waiting for it wakes, which may read the counters at once.
  m_ack_waiter.Deliver(data, len);
  if (const char* line = AckLine(sub_type)) KLOG_DEBUG_AS(kDealMsg, line, seq_no);
  LogAckReply(sub_type, in);
}

void HostCommProtocolImpl::DealControllerStatus(const uint8_t* data, uint32_t len) {
  using L = ControllerStatusLayout;
  const PayloadReader in(data, len);
  KLOG_DEBUG_AS(
      kDealMsg,
      "Controller status, device:%d/%d, fpga:%dfps/%dBytes, arm:%dfps, host "
      "send/recv:%dBytes/%dBytes, "
      "fpga temp:%.2f",
      static_cast<int32_t>(in.U32(L::kScannerState)), static_cast<int32_t>(in.U32(L::kArmState)),
      static_cast<int32_t>(in.U32(L::kFpgaFps)), static_cast<int32_t>(in.U32(L::kFpgaBytes)),
      static_cast<int32_t>(in.U32(L::kArmFps)), static_cast<int32_t>(in.U32(L::kHostSendBytes)),
      static_cast<int32_t>(in.U32(L::kHostRecvBytes)),
      HostCommMsg::FpgaTempCelsius(in.U32(L::kFpgaTemp)));
  // A short record is stored as far as it arrived, the rest zero.
  uint8_t record[L::kLength] = {};
  std::memcpy(record, data, len < L::kLength ? len : L::kLength);
  const uint64_t now = kestal::NowMs();
  kestal::MutexLock lock(m_controller_status_mutex);
  std::memcpy(m_controller_status, record, sizeof record);
  m_controller_status_time = now;
}
