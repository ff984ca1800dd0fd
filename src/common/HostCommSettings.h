// What a session of the link may be pointed at beside the defaults: the two device endpoints, the
// disks the storage transport tries, the arm link's ports and the capture file. The service keeps
// one copy, which its tools and the C interface change between sessions; the protocol engine reads
// it at every StartLoopRecv and hands each transport its part, so a running session never sees it
// change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/ProtocolCatalogue.h"

struct HostCommSettings {
  // Comm type 1 (HostCommTypeNetwork) and comm type 3 (HostCommTypeNetworkAlt).
  std::string device_ip_type1 = kestal::catalogue::kDeviceHostType1;
  uint32_t device_port_type1 = kestal::catalogue::kDevicePortType1;
  std::string device_ip_type3 = kestal::catalogue::kDeviceHostType3;
  uint32_t device_port_type3 = kestal::catalogue::kDevicePortType3;
  // Disks (or image files) tried in order instead of discovering the device's disk; at most 16.
  // Empty: discovery.
  std::vector<std::string> storage_paths;
  // The arm link's UDP port on every local address (0: no arm link), and the companion's on
  // 127.0.0.1.
  uint16_t arm_local_port = kestal::catalogue::kArmLibraryPort;
  uint16_t arm_peer_port = kestal::catalogue::kArmCompanionPort;
  // After a reconnect, send the last START_SCAN again if the application's last scan order was a
  // start (the device forgets it when it restarts).
  bool resume_scan = false;
  // Where a session's traffic is captured; empty: the environment variable KESTAL_CAPTURE decides.
  std::string capture_path;
};
