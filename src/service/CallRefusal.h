// The C interface's refusals of bad arguments. A refused call gives its reason to kestal_last_error
// on the calling thread, whatever other threads report meanwhile, as a failed kestal_request does.
#pragma once

#include <string>

namespace kestal {

// Notes `reason` as the library's last failure and as the calling thread's own; returns
// KESTAL_E_INVALID for the refusing function to pass on.
int RefuseCall(const std::string& reason);

}  // namespace kestal
