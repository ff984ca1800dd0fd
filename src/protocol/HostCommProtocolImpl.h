// The protocol engine: makes the host transports through its configuration's factory (it knows
// them only as HostCommTransport), starts the active one with a plan and the engine's receive and
// heartbeat workers, routes every outgoing message, builds the library's own orders (heartbeat,
// comm type, firmware chunks) and interprets what the device sends.
//
// What the engine needs from its owner it gets through HostCommProtocolConfig, fixed at
// construction: the sequence counter that numbers its own orders, the functions that take the
// connection states and failure reasons, where arm messages go, and the transport factory. What
// the application gets leaves through the receive and frame callbacks the owner sets.
//
// Threads: StartLoopRecv / StopLoopRecv / SetHostCommType run on the service's thread under
// its mutex. SendOrder, SendUpdateFirmware, SendCommTypeOrder and Request run on any thread, the
// application's callbacks included. DealMsg runs on the active transport's reading worker, as each
// message is read: it logs, matches ACKs to the requests and firmware updates that wait for them,
// keeps the controller status, relays arm messages and assembles frames into the delivery pool,
// and never waits for the application. The application's receive and frame callbacks run on the
// engine's receive worker ("kestal-recv"), one at a time, in the order the messages arrived; a
// slow callback costs frames (the oldest waiting one is dropped and counted), never the link.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/CallbackSlot.h"
#include "common/HostCommSettings.h"
#include "common/Mutex.h"
#include "common/SendWait.h"
#include "common/StatusReport.h"
#include "diag/LinkCapture.h"
#include "diag/LinkHealth.h"
#include "protocol/DeliveryQueue.h"
#include "protocol/HostCommMsg.h"
#include "protocol/ImageFrameAssembler.h"
#include "protocol/OrderAckWaiter.h"
#include "transport/HostCommTransport.h"

// A consistent copy of the last controller status and the time it arrived.
struct ControllerStatusSnapshot {
  uint64_t time_ms = 0;  // 0: none received yet
  uint8_t record[ControllerStatusLayout::kLength] = {};
};

struct HostCommProtocolConfig {
  // Next value of the sequence counter for heartbeats, comm-type orders and firmware files;
  // called from any thread. Empty: the engine numbers them with a counter of its own.
  std::function<uint16_t()> next_seq_no;
  // Connection states of both transports; called from their workers and StartLoopRecv.
  StatusReportFn report_status;
  // The reason of each failure (a transport's, a request's), just before its status if it has one;
  // any thread.
  FailureReportFn report_failure;
  // Where the device's arm messages go (the arm link's queue for the companion), on the reading
  // worker; it must not wait. Empty: they are dropped.
  std::function<void(const uint8_t* data, uint32_t len)> relay_arm_msg;
  // Makes the transport of a comm type when it is first needed (the service's
  // MakeHostCommTransport). Empty: the engine has no transport, and every start fails as for a
  // comm type that names none.
  HostCommTransportFactory make_transport;
};

// One complete image frame as the engine delivers it: the header, then `image_len` bytes of image
// data, and when the library received its last piece.
struct ImageFrame {
  uint16_t kind;  // its message type: OriginalImagePiece, YOriginalImagePiece or YImage
  const uint8_t* data;
  uint32_t header_len;  // 80, or 72 for a Y image
  uint32_t image_len;
  int64_t host_time_ns;  // steady clock
  int64_t utc_time_ns;   // system clock, since 1970
  // From the 80-byte header, decoded once here; 0 for a Y image, whose header has none of them.
  uint32_t number;
  uint32_t width;
  uint32_t height;
};

class HostCommProtocolImpl {
 public:
  using RecvMsgCallBack = void (*)(unsigned short type, unsigned char* data, unsigned int len,
                                   void* user_data);
  using SendFn = std::function<int(uint16_t type, const uint8_t* data, uint32_t len)>;
  // Called on the receive worker, after the receive callback of the same frame; the frame is valid
  // during the call.
  using FrameCallBack = void (*)(const ImageFrame& frame, void* user_data);

  explicit HostCommProtocolImpl(HostCommProtocolConfig config = {});
  ~HostCommProtocolImpl();
  HostCommProtocolImpl(const HostCommProtocolImpl&) = delete;
  HostCommProtocolImpl& operator=(const HostCommProtocolImpl&) = delete;

  // Starts the active transport, then the receive and heartbeat workers. 0 or -1.
  int StartLoopRecv();
  // The stop sequence: stop flag, network transport, storage transport, then joins the
  // engine's workers. Harmless when nothing runs.
  void StopLoopRecv();
  // Routes one message to the active transport; -1 when the type names no transport. `wait`: how
  // long the transport may wait for room (a single order's short wait unless a caller says more).
  int SendOrder(uint16_t type, const uint8_t* data, uint32_t len,
                const SendWait& wait = SendWait());
  // Interprets one received message (len >= 1) and queues what the application gets; always 0.
  // One reading thread at a time.
  int DealMsg(uint16_t type, const uint8_t* data, uint32_t len);
  // Hands what DealMsg queued to the application on the calling thread, until nothing waits: for
  // an engine that is not started (a replay, a test). Not while the receive worker runs.
  void DeliverWaiting();
  void SetHostCommType(uint32_t type);
  // Tells the device the comm type in use; always 0.
  int SendCommTypeOrder();
  // After a reconnect, when the settings ask for it (resume_scan) and the last scan order sent
  // was a start, sends that order again with a new sequence number, so that the frames come back
  // after the device restarted. 0 when nothing was to be sent or it went out, -1 otherwise.
  int ResumeScan() EXCLUDES(m_scan_mutex);
  // Forgets the last scan order: a new session of the service has not started scanning yet.
  void ForgetScanOrder() EXCLUDES(m_scan_mutex);
  // Sends a whole firmware file as chunks of at most 65496 bytes; stops at the first failed
  // chunk. 0 when every chunk went out, -1 otherwise. Each chunk waits for room in the link while
  // the link is up: the file may be far larger than what the link holds at once. Over the disk
  // the chunks wait for the device to read the mailbox ring (see the definition). A chunk fails
  // when the link is lost, the engine's stop begins, or no room comes free for 5 s. Any thread,
  // the receive callback included: what it waits for is dealt with on the reading side.
  int SendUpdateFirmware(uint16_t type, const uint8_t* data, uint32_t len);
  // The chunking of SendUpdateFirmware over any sender: `seq_no` for the whole file, chunks
  // in file order, stops at the first chunk that `send` refuses. 0, or -1 after a refusal.
  static int SendFirmwareChunks(const SendFn& send, uint16_t seq_no, uint16_t type,
                                const uint8_t* data, uint32_t len);

  void SetRecvMsgCallBack(RecvMsgCallBack callback, void* user_data);
  void SetFrameCallBack(FrameCallBack callback, void* user_data);
  // Sends an order with the next sequence number and waits up to `timeout_ms` for its ACK, copied
  // by `ack`: kRequestOk, or another kRequest* result with its reason reported. Any thread, the
  // receive callback included: the ACK is matched on the reading side.
  int Request(uint16_t sub_type, const uint8_t* params, uint32_t params_len, uint32_t timeout_ms,
              AckSink ack);
  // True while the active transport has its link to the device.
  bool IsConnected();
  // The settings the next StartLoopRecv reads. Any thread, a device-event callback included, may
  // set them: they have a lock of their own, never the owner's start/stop lock. 0, or -1 (nothing
  // changed) when an endpoint's host cannot name a device (HostCommTransport::IsValidHost), its
  // port is 0 or above 65535, or more than 16 disks are named.
  int SetSettings(const HostCommSettings& settings) EXCLUDES(m_settings_mutex);
  HostCommSettings Settings() const EXCLUDES(m_settings_mutex);
  // Device address of comm type 1 (or 3 with `alt`) in the settings; 0 or -1 as SetSettings.
  // The disks of the settings (empty: discovery); 0, or -1 (nothing changed) for more than 16.
  int SetStoragePaths(std::vector<std::string> paths) EXCLUDES(m_settings_mutex);
  int SetDeviceEndpoint(bool alt, const std::string& host, uint32_t port)
      EXCLUDES(m_settings_mutex);
  ControllerStatusSnapshot GetControllerStatus() const EXCLUDES(m_controller_status_mutex);
  // Forgets the last controller status: a new session reports none until its device sends one.
  void ClearControllerStatus() EXCLUDES(m_controller_status_mutex);
  // The link's counters, kept by the engine and both transports; any thread reads them.
  LinkHealth& Health() { return m_health; }
  const LinkHealth& Health() const { return m_health; }
  // The capture of a session's traffic: the owner starts it before and stops it after a session
  // (the transports see it only while it is active at StartLoopRecv). 0, or -1 when the file cannot
  // be written.
  int StartCapture(const std::string& path) { return m_capture.Start(path); }
  void StopCapture() { m_capture.Stop(); }
  // The storage transport's summary dump (it only logs a line while no disk is open); makes the
  // storage transport when no start has yet.
  void PrintVolumeRunInfo();

 private:
  // Fixed at construction; declared before the transports, which are built from it.
  const HostCommProtocolConfig m_config;
  LinkHealth m_health;
  LinkCapture m_capture;

  std::atomic<bool> m_stop_loop_recv{false};
  // Frames and messages on their way from the reading side to the receive worker; the frame pool
  // is allocated by the first start.
  DeliveryQueue m_delivery{&m_health};
  ImageFrameAssembler m_image_frame;  // the reading side's, assembling in m_delivery's pool
  std::atomic<uint32_t> m_host_comm_type{HostCommTypeStorage};

  static bool IsNetworkType(uint32_t type) { return ((type - 1) & ~2u) == 0; }
  static bool NamesTransport(uint32_t type) {
    return type == HostCommTypeStorage || IsNetworkType(type);
  }
  // The transport of a comm type once made, or null (a type that names none, or not made yet).
  HostCommTransport* Transport(uint32_t type) const;
  // The same, made now when it is not yet (null without make_transport).
  HostCommTransport* MakeTransport(uint32_t type) EXCLUDES(m_transport_mutex);
  // What a start of the transport of `type` uses: the settings' endpoint and disks, the capture.
  HostCommTransportPlan Plan(uint32_t type);
  uint16_t NextSeqNo();
  void LoopRecv();
  void LoopSendHeartBeat();
  void ReserveDelivery();
  // DealMsg as the transports' `deliver`.
  HostCommMessageFn DealFn();
  // The application's callbacks for one delivered item (receive worker).
  void Deliver(const DeliveryQueue::Item& item);
  void DealImagePiece(uint16_t type, const uint8_t* data, uint32_t len);
  void DealOrderAck(const uint8_t* data, uint32_t len);
  void DealReadConfigAck(const uint8_t* data, uint32_t len);
  void DealControllerStatus(const uint8_t* data, uint32_t len) EXCLUDES(m_controller_status_mutex);
  void JoinWorkers();
  // The read marks of a firmware update over the disk: a heartbeat whose ACK says that the device
  // has read the mailbox up to it. 0, or -1 (not sent; no ACK within the wait, or a stop).
  int SendReadMark() EXCLUDES(m_wait_mutex);
  int WaitForReadMark(const SendWait& wait) EXCLUDES(m_wait_mutex);
  void NoteHeartBeatAck(uint16_t seq_no) EXCLUDES(m_wait_mutex);
  // Keeps the order if it starts the scan, forgets the kept one if it stops it.
  void NoteScanOrder(const uint8_t* order, uint32_t len) EXCLUDES(m_scan_mutex);

  // Written by the reading side (DealMsg), read whole by the service's log-report worker.
  mutable kestal::Mutex m_controller_status_mutex;
  uint64_t m_controller_status_time GUARDED_BY(m_controller_status_mutex) = 0;
  uint8_t m_controller_status[ControllerStatusLayout::kLength] GUARDED_BY(
      m_controller_status_mutex) = {};

  std::unique_ptr<uint8_t[]> m_own_message;  // DeliverWaiting's copy of a message
  const DeliveryQueue::DeliverFn m_deliver = [this](const DeliveryQueue::Item& item) {
    Deliver(item);
  };
  kestal::CallbackSlot<RecvMsgCallBack> m_recv_msg_callback;
  kestal::CallbackSlot<FrameCallBack> m_frame_callback;
  OrderAckWaiter m_ack_waiter;

  std::atomic<uint16_t> m_own_seq_no{0};
  // The last order sent (not a heartbeat) and when, for the round trip of its ACK.
  std::atomic<uint32_t> m_rtt_seq_no{~0u};
  std::atomic<int64_t> m_rtt_sent_us{0};  // used when the configuration has no counter

  // The last START_SCAN (or START_SCAN_ALT) order sent, whole; empty after a stop-scan order.
  kestal::Mutex m_scan_mutex;
  std::vector<uint8_t> m_scan_order GUARDED_BY(m_scan_mutex);

  mutable kestal::Mutex m_settings_mutex;
  HostCommSettings m_settings GUARDED_BY(m_settings_mutex);
  std::thread m_recv_thread;
  std::thread m_heart_beat_thread;
  kestal::Mutex
      m_wait_mutex;  // lets a stop cut the heartbeat's one-second wait and a read mark's wait short
  kestal::CondVar m_wait_signal;
  // The read mark a firmware update waits for (-1: none) and whether its ACK came.
  int32_t m_read_mark_seq_no GUARDED_BY(m_wait_mutex) = -1;
  bool m_read_mark_acked GUARDED_BY(m_wait_mutex) = false;

  // Last, so destroyed first: their reading workers call DealMsg, which uses the members above.
  // Each is made at the first start that needs it (the storage one also by PrintVolumeRunInfo) and
  // kept until the engine goes; the raw pointers let any thread find them without the lock.
  kestal::Mutex m_transport_mutex;
  std::unique_ptr<HostCommTransport> m_comm_dev_via_storage GUARDED_BY(m_transport_mutex);
  std::unique_ptr<HostCommTransport> m_comm_dev_via_network GUARDED_BY(m_transport_mutex);
  std::atomic<HostCommTransport*> m_storage_transport{nullptr};
  std::atomic<HostCommTransport*> m_network_transport{nullptr};
};
