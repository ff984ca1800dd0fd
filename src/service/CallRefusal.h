// The C interface's refusals of bad arguments. A refused call gives its reason to kestal_last_error
// on the calling thread, whatever other threads report meanwhile, as a failed kestal_request does.
#pragma once

#include <string>

namespace kestal {

// Notes `reason` as the library's last failure and as the calling thread's own; returns
// KESTAL_E_INVALID for the refusing function to pass on.
int RefuseCall(const std::string& reason);
// A decoder's refusal: the calling thread's reason alone. The library decodes ACKs and image
// headers on its own threads, also for sessions, and a short message there is no failure of the
// service.
int RefuseDecoding(const std::string& reason);

}  // namespace kestal
