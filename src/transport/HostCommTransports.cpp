#include "transport/HostCommTransports.h"

#include "transport/network/HostCommViaNetwork.h"
#include "transport/storage/HostCommViaStorage.h"

std::unique_ptr<HostCommTransport> MakeHostCommTransport(HostCommTransportKind kind,
                                                         const HostCommTransportConfig& config) {
  if (kind == HostCommTransportKind::Network) return std::make_unique<HostCommViaNetwork>(config);
  return std::make_unique<HostCommViaStorage>(config);
}
