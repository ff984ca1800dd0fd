// The library's own tools (kestal, the simulator rig, the bench) set and read the service through
// these beside the exported class and the C interface: the settings of the next Start, a copy
// of the link's counters and the replay of captured frames. Any thread; none waits for the
// service's start/stop lock.
#pragma once

#include <cstdint>
#include <string>

#include "common/HostCommSettings.h"

namespace kestal {

// The settings the next Start of the service reads.
HostCommSettings GetServiceSettings();
// 0, or -1 (nothing changed) when an endpoint cannot name a device or more than 16 disks are named.
int SetServiceSettings(const HostCommSettings& settings);
// Every link counter of the current (or last) session, "name=value" separated by spaces.
std::string GetLinkHealthLine();
// Deals with one whole validated frame (header, payload and checksum) as if the device had sent it:
// for replaying a capture through the service's dispatcher to the application's receive callback,
// on one thread, while the service is not started.
void DealReplayedFrame(uint8_t* frame, uint32_t length);

}  // namespace kestal
