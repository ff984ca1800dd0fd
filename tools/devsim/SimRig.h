// A simulated device with one of its links running: the SimDevice behind its TCP half
// (SimNetworkServer) or behind its storage half (SimStorageDevice) on an image file. kestal-devsim,
// kestal-soak and the end-to-end tests run the simulator through it, and PointService aims the
// in-process service at it (never at the default device addresses).
//
// Thread safety: Start, Stop, PointService and the destructor are called on one thread. The device
// and its halves keep their own rules for the threads that use them through the accessors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "SimDevice.h"
#include "SimNetworkServer.h"
#include "SimStorageDevice.h"
#include "common/HostCommSettings.h"
#include "kestal/KestalHostCommService.h"

enum class SimLink { Network, Storage };

struct SimRigPlace {                  // where the host finds the device
  std::string address = "127.0.0.1";  // network link: the listen address
  uint16_t port = 0;                  // and port; 0: any free one
  std::string image =
      "disk.img";  // storage link: the image, relative to the working directory or absolute
  bool create_image = true;  // made afresh (52428800 zero bytes) by each Start
};

class SimRig {
 public:
  explicit SimRig(SimLink link, const SimDeviceOptions& options = SimDeviceOptions(),
                  const SimRigPlace& place = SimRigPlace());
  ~SimRig();  // stops the simulator and gives back the addresses PointService replaced (stop the
              // service first)
  SimRig(const SimRig&) = delete;
  SimRig& operator=(const SimRig&) = delete;

  int Start();  // 0 or -1
  void Stop();

  // Points the service at this device (comm type 1 on the listen address, or the image as the only
  // disk candidate) and selects that comm type.
  void PointService();
  // Points any service object the same way; its settings are not restored afterwards.
  void PointService(KestalHostCommService::Impl& service) const;

  SimLink Link() const { return m_link; }
  SimDevice& Device() { return m_device; }
  SimNetworkServer& Server() { return *m_server; }        // network link only
  SimStorageDevice& StorageHalf() { return *m_storage; }  // storage link only
  const std::string& ImagePath() const { return m_image_path; }

 private:
  const SimLink m_link;
  SimDevice m_device;
  const std::string m_image_path;  // absolute; storage link only
  const bool m_create_image;
  std::unique_ptr<SimNetworkServer> m_server;
  std::unique_ptr<SimStorageDevice> m_storage;

  // The device address PointService replaced.
  bool m_pointed = false;
  HostCommSettings m_saved_settings;  // the service's, restored by the destructor
};

// Creates (or empties) `path` and makes it `size` zero bytes, sparse where the file system can. 0
// or -1.
int CreateImage(const std::string& path, uint64_t size = 52428800);
