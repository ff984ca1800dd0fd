// A running simulated device for end-to-end tests: the SimDevice behind its TCP half on 127.0.0.1 (an ephemeral port)
// or its storage half on a 50 MiB image in the working directory, with the service pointed at it (never at its
// default device addresses); also the storage tests' raw image helpers. Used on the test's thread; the destructor
// stops the simulator and restores what PointService changed (stop the service first).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devsim/SimDevice.h"
#include "devsim/SimNetworkServer.h"
#include "devsim/SimStorageDevice.h"
#include "kestal/KestalHostCommService.h"

enum class SimLink { Network, Storage };

// Device options without the once-a-second status, so tests see only what they cause.
SimDeviceOptions QuietDevice();

class SimRig {
 public:
  explicit SimRig(SimLink link, const SimDeviceOptions& options = QuietDevice(),
                  const std::string& image_name = "disk.img");
  ~SimRig();

  // Starts the simulator (a fresh zeroed image on the storage link). 0 or -1.
  int Start();
  void Stop();

  // Points the service at this device (comm type 1 on 127.0.0.1:port, or the image as the only disk candidate) and
  // selects that comm type.
  void PointService();

  SimLink Link() const { return m_link; }
  SimDevice& Device() { return m_device; }
  SimNetworkServer& Server() { return *m_server; }        // network link only
  SimStorageDevice& StorageHalf() { return *m_storage; }  // storage link only
  const std::string& ImagePath() const { return m_image_path; }

 private:
  const SimLink m_link;
  SimDevice m_device;
  std::unique_ptr<SimNetworkServer> m_server;
  std::unique_ptr<SimStorageDevice> m_storage;
  const std::string m_image_name, m_image_path;

  // The device address PointService replaced, put back by the destructor.
  bool m_pointed = false;
  std::string m_saved_ip;
  uint32_t m_saved_port = 0;
};

// Makes a zero-filled (sparse) image of `size` bytes in the working directory; its absolute path or an empty string.
std::string MakeImage(const std::string& name, uint64_t size = 52428800);

// Bytes of an image file (empty when it is shorter), and writing into it.
std::vector<uint8_t> Peek(const std::string& path, uint64_t offset, uint32_t len);
bool Poke(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
// The 32 bytes of a summary record.
std::vector<uint8_t> RecordBytes(uint64_t seq_no, uint32_t start, uint32_t data_len, uint16_t msg_type);

// Number of comm-type orders the device received.
size_t CommTypeOrders(const SimDevice& device);
