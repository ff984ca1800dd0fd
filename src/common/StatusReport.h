// How a subsystem tells its owner about a connection state or a device event: a status code
// of HostCommStatus and a text. The service installs the function that turns it into
// device-event callbacks; a subsystem built without one (tests, tools) reports nothing.
#pragma once

#include <functional>
#include <string>

// The status codes, as the exported header gives them to the application (its HostCommStatus);
// the service checks that the two lists agree.
#define KESTAL_HOST_COMM_STATUSES(X) \
  X(NotConnected, 0)                 \
  X(Connecting, 1)                   \
  X(StorageConnectError, 2)          \
  X(StorageConnected, 3)             \
  X(NetworkConnectError, 4)          \
  X(NetworkConnected, 5)             \
  X(StorageCommError, 6)             \
  X(CommError, 7)                    \
  X(DeviceArrival, 8)                \
  X(DeviceLeft, 9)

namespace kestal {
#define KESTAL_STATUS_ENUMERATOR(name, value) HostCommStatus##name = value,
enum HostCommStatus : unsigned int { KESTAL_HOST_COMM_STATUSES(KESTAL_STATUS_ENUMERATOR) };
#undef KESTAL_STATUS_ENUMERATOR
}  // namespace kestal

using StatusReportFn = std::function<void(unsigned int status, const char* text)>;

// Calls `report` when it is set.
inline void ReportStatusTo(const StatusReportFn& report, unsigned int status, const char* text) {
  if (report) report(status, text);
}

// The reason of a failure in words ("connect 127.0.0.1:9: connection refused"), reported just
// before the status that announces it, so that the owner can give it with the event.
using FailureReportFn = std::function<void(const std::string& reason)>;

inline void ReportFailureTo(const FailureReportFn& report, const std::string& reason) {
  if (report) report(reason);
}
