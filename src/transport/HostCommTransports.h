// The transports of the library, made by kind: what the service hands the protocol engine as its
// HostCommTransportFactory.
#pragma once

#include <memory>

#include "transport/HostCommTransport.h"

std::unique_ptr<HostCommTransport> MakeHostCommTransport(HostCommTransportKind kind,
                                                         const HostCommTransportConfig& config);
