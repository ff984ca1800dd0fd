// The simulated scan head's controller, at message level: it answers the host's orders,
// reports its status once a second, streams image pieces while scanning, takes firmware
// chunks and relays arm messages. It knows nothing of transports: a transport half (TCP
// server or storage mailbox) calls OnHostMessage for every message from the host and gives
// Start the function through which the device sends its own messages.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimDeviceOptions {
  uint32_t image_size = 640 * 480;      // bytes of image data per frame
  uint32_t piece_data_len = 60000;      // image bytes per piece (<= 65428)
  double frame_rate = 10.0;             // frames per second while scanning
  uint32_t status_interval_ms = 1000;   // controller status period; 0 = never
  uint32_t scanner_state = 0;           // device state codes of the controller status
  uint32_t arm_state = 0;
  uint32_t fpga_temp_raw = 6500;        // 25.00 degrees
  uint8_t app_version[4] = {1, 2, 3, 45};   // u8.u8.u16.u16
  uint8_t fpga_version[4] = {2, 0, 7, 12};
  uint64_t seed = 1;                    // image content and other random choices
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

  explicit SimDevice(const SimDeviceOptions& options);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Starts the status and image workers; every device message goes out through `send`.
  void Start(SendFn send);
  // Stops and joins the workers; idempotent.
  void Stop();

  // Called by the transport half for each message from the host, on its own thread.
  void OnHostMessage(uint16_t type, const uint8_t* data, uint32_t len);

  // Sends a device arm message (type 1) to the host, e.g. relayed from the arm companion.
  int SendArmMsg(const uint8_t* data, uint32_t len);

  // Observation for tests and tools (thread-safe copies).
  std::vector<SimHostMessage> HostMessages() const;        // every message received, in order
  std::vector<uint8_t> FirmwareImage() const;             // the last firmware file assembled
  bool FirmwareComplete() const;                          // all bytes of the last file arrived
  bool Scanning() const { return m_scanning.load(); }
  uint64_t FramesSent() const { return m_frames_sent.load(); }
  // Waits until at least `count` host messages of `type` have arrived.
  bool WaitForHostMessages(uint16_t type, size_t count, int timeout_ms) const;

 private:
  // Implementation-defined members follow (the implementer adds what the .cpp needs).
  SimDeviceOptions m_options;
  SendFn m_send;
  std::atomic<bool> m_scanning{false};
  std::atomic<uint64_t> m_frames_sent{0};
};
