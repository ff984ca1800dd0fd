// How a subsystem tells its owner about a connection state or a device event: a status code
// of HostCommStatus and a text. The service installs the function that turns it into
// device-event callbacks; a subsystem built without one (tests, tools) reports nothing.
#pragma once

#include <functional>

using StatusReportFn = std::function<void(unsigned int status, const char* text)>;

// Calls `report` when it is set.
inline void ReportStatusTo(const StatusReportFn& report, unsigned int status, const char* text) {
  if (report) report(status, text);
}
