// The C interface's operations on one service: the process-wide one (kestal_*) or a session
// (kestal_session_*). Each checks its arguments, refuses bad ones with KESTAL_E_INVALID and a
// reason (kestal_last_error on the calling thread), and calls the service.
//
// Thread safety: as the service's own operations. `service` must remain live during the call.
#pragma once

#include <string>

#include "kestal/kestal_c.h"
#include "service/KestalHostCommServiceImpl.h"

namespace kestal {
namespace calls {

using Service = KestalHostCommService::Impl;

// Notes `reason` with `service` as its last failure and as the calling thread's own.
int Refuse(Service& service, const std::string& reason);

int Start(Service& service);
int Stop(Service& service);
int SetCommType(Service& service, int comm_type);
int SetNetworkEndpoint(Service& service, int comm_type, const char* host, unsigned short port);
int SetStorageDevice(Service& service, const char* path);
int Request(Service& service, unsigned short sub_type, const unsigned char* params,
            unsigned int params_len, unsigned int timeout_ms, kestal_ack* ack);
int LastError(Service& service, char* buf, unsigned int len);
int GetHealth(Service& service, kestal_health* out);
int Send(Service& service, unsigned short type, const unsigned char* data, unsigned int len);
int UpdateFirmware(Service& service, unsigned short type, const unsigned char* data,
                   unsigned int len);
int IsConnected(Service& service);
// Waits up to `timeout_ms` until IsConnected: 1, or 0 when the time ran out or the service is not
// stopped (a stop ends the wait).
int WaitConnected(Service& service, unsigned int timeout_ms);

}  // namespace calls
}  // namespace kestal
