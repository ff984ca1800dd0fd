// The simulated scan head's controller, at message level: it answers the host's orders,
// reports its status every status_interval_ms, streams image pieces while scanning, takes
// firmware chunks and relays arm messages. It knows nothing of transports: a transport half (TCP
// server or storage mailbox) calls OnHostMessage for every message from the host and gives
// Start the function through which the device sends its own messages.
//
// Threads: Start / Stop run on the owner's thread. OnHostMessage runs on the transport half's
// thread (replies go out from there). The status worker and the image worker are owned threads
// joined by Stop; they and OnHostMessage may call the send function concurrently, so the
// transport half's send function must be thread-safe. Observers may be called from any thread.
//
// The device's own conventions, where the host leaves a field to the device:
//  - order ACK bytes 4..9: ack code (u16, always 0) and the length of the reply data (u32);
//  - write-config order: laid out like an order, its parameters are the new configuration file;
//    ack_code 1 when param_len does not match what arrived;
//  - update-firmware ACK: ack_code 0 / 1 (byte sum differs from `check`) / 2 (chunk outside its
//    file or cut short); progress = share of the file received, 100 only once it is whole;
//    step 1 while receiving, 2 when the file is whole;
//  - image header: frame number (u32) at 0, message type (u16) at 4, nominal width and height
//    (u32) at 8 and 12, the seed (u64) at 16, seeded filler up to image_size at 76.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimDeviceOptions {
  uint32_t image_size = 640 * 480;     // bytes of image data per frame
  uint32_t piece_data_len = 60000;     // image bytes per piece (<= 65428)
  double frame_rate = 10.0;            // frames per second while scanning
  uint32_t status_interval_ms = 1000;  // controller status period; 0 = never
  uint32_t scanner_state = 0;          // device state codes of the controller status
  uint32_t arm_state = 0;
  uint32_t fpga_temp_raw = 6500;           // 25.00 degrees
  uint8_t app_version[4] = {1, 2, 3, 45};  // u8.u8.u16.u16
  uint8_t fpga_version[4] = {2, 0, 7, 12};
  uint64_t seed = 1;     // image content and other random choices
  uint32_t arm_fps = 0;  // arm frame rate reported in the controller status
  // Largest firmware file the device accepts; larger files are refused with ack_code 2.
  uint32_t max_firmware_len = 64u * 1024 * 1024;
  // Whether HostMessages keeps every message received (tests look at them); a long run does not.
  bool keep_host_messages = true;
  // Answer nothing but heartbeats (a replay speaks for the device otherwise).
  bool heartbeats_only = false;
};

// One message as the device received it from the host.
struct SimHostMessage {
  uint16_t type = 0;
  std::vector<uint8_t> payload;
};

class SimDevice {
 public:
  // Sends one device-to-host message; returns 0 on success, negative when it could not be sent.
  using SendFn = std::function<int(uint16_t type, const uint8_t* data, uint32_t len)>;

  // Bytes of the register map in a sensor-map reply (reply data from ACK offset 10 on).
  static constexpr uint32_t kSensorMapLength = 256;
  // Largest image data per piece: 92 header bytes + data fill the largest frame payload.
  static constexpr uint32_t kMaxPieceDataLen = 65520 - 92;
  // Update-firmware ACK codes and steps sent by the simulated device.
  static constexpr uint16_t kFirmwareAckOk = 0;
  static constexpr uint16_t kFirmwareAckBadCheck = 1;
  static constexpr uint16_t kFirmwareAckBadChunk = 2;
  static constexpr uint8_t kFirmwareStepReceiving = 1;
  static constexpr uint8_t kFirmwareStepDone = 2;

  explicit SimDevice(const SimDeviceOptions& options);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Starts the status and image workers; every device message goes out through `send`.
  // A second Start stops the first one's workers before it begins.
  void Start(SendFn send);
  // Stops and joins the workers; idempotent. No message is sent after it returns.
  void Stop();

  // Called by the transport half for each message from the host, on its own thread.
  void OnHostMessage(uint16_t type, const uint8_t* data, uint32_t len);

  // Sends a device arm message (type 1) to the host, e.g. relayed from the arm companion.
  int SendArmMsg(const uint8_t* data, uint32_t len);

  // Changes the states reported by later controller status records.
  void SetStates(uint32_t scanner_state, uint32_t arm_state);

  // The frame (80-byte header + image data) that the device sends as its `frame_no`-th frame
  // of message type `type` (3 or 8); frames are numbered from 1 and the number is the u32 at
  // header offset 0. Deterministic for a given seed, so tests can compare what arrived.
  std::vector<uint8_t> ExpectedFrame(uint32_t frame_no, uint16_t type) const;
  // The sensor register map that a GetSensorRegMap reply carries.
  std::vector<uint8_t> SensorMap() const;
  // The configuration file that a read-config reply carries (the last one written, or the
  // device's own default).
  std::vector<uint8_t> ConfigFile() const;

  // Observation for tests and tools (thread-safe copies).
  std::vector<SimHostMessage> HostMessages() const;     // every message received, in order
  std::vector<SimHostMessage> HostArmMessages() const;  // the type-1 messages among them
  std::vector<uint8_t> FirmwareImage() const;           // the last firmware file assembled
  bool FirmwareComplete() const;                        // all bytes of the last file arrived
  bool FirmwareCheckOk() const;                         // ... and their byte sum matched `check`
  bool Scanning() const { return m_scanning.load(); }
  uint16_t ImageType() const { return m_image_type.load(); }  // 3 or 8
  uint64_t FramesSent() const { return m_frames_sent.load(); }
  uint64_t StatusSent() const { return m_status_sent.load(); }
  // Waits until at least `count` host messages of `type` have arrived.
  bool WaitForHostMessages(uint16_t type, size_t count, int timeout_ms) const;
  // Waits until at least `count` frames have been sent whole.
  bool WaitForFramesSent(uint64_t count, int timeout_ms) const;

 private:
  // Firmware file being assembled from its chunks.
  struct FirmwareAssembly {
    bool active = false;
    uint16_t seq_no = 0;
    uint16_t type = 0;
    uint32_t file_len = 0;
    uint32_t check = 0;
    std::vector<uint8_t> data;
    std::map<uint32_t, uint32_t> ranges;  // received [start, end) ranges, merged
    uint64_t received = 0;                // bytes covered by `ranges`
    bool complete = false;
    bool check_ok = false;
  };

  int Send(uint16_t type, const uint8_t* data, uint32_t len);
  void HandleOrder(const uint8_t* data, uint32_t len);
  void HandleFirmwareChunk(const uint8_t* data, uint32_t len);
  void HandleWriteConfig(const uint8_t* data, uint32_t len);
  void HandleReadConfig(const uint8_t* data, uint32_t len);
  void SendFirmwareAck(uint16_t seq_no, uint16_t type, uint16_t ack_code, uint8_t progress,
                       uint8_t step);
  void LoopStatus();
  void LoopImage();
  void SendFrame(uint32_t frame_no);
  void FillFrame(uint32_t frame_no, uint16_t type, uint8_t* out) const;
  void WakeWorkers();
  // Stops and joins the status and image workers; m_start_mutex held.
  void JoinWorkersLocked();
  void NoteSent(std::atomic<uint64_t>& counter);

  SimDeviceOptions m_options;
  // Set by Start before the workers exist, cleared by Stop after they are gone; every send
  // holds m_send_mutex, so none is in flight once Stop returns.
  std::mutex m_send_mutex;
  SendFn m_send;
  std::atomic<bool> m_scanning{false};
  std::atomic<uint64_t> m_frames_sent{0};
  std::atomic<uint64_t> m_status_sent{0};
  std::atomic<uint16_t> m_image_type{3};
  std::atomic<uint32_t> m_scanner_state;
  std::atomic<uint32_t> m_arm_state;
  std::atomic<uint64_t> m_host_send_bytes{0};  // payload bytes sent / received, for the status
  std::atomic<uint64_t> m_host_recv_bytes{0};
  std::atomic<uint64_t> m_image_bytes{0};

  // Worker control: m_stop and the scan state changes are signalled through m_wait_signal.
  std::mutex m_wait_mutex;
  std::condition_variable m_wait_signal;
  bool m_stop = true;
  std::thread m_status_thread;
  std::thread m_image_thread;
  std::mutex m_start_mutex;  // serialises Start and Stop
  // Held by the image worker for a whole frame, and by the orders that change the stream
  // around their state change and ACK.
  std::mutex m_frame_mutex;

  // Observations.
  mutable std::mutex m_observe_mutex;
  mutable std::condition_variable m_observe_signal;
  std::vector<SimHostMessage> m_host_messages;

  mutable std::mutex m_state_mutex;  // firmware assembly and configuration file
  FirmwareAssembly m_firmware;
  std::vector<uint8_t> m_config_file;
  std::vector<uint8_t> m_sensor_map;
};
