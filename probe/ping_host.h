// One ICMP echo exchange with one target.
#pragma once

#include <cstdint>

#include "probe/echo_message.h"

namespace pingext {

inline constexpr std::uint32_t kSocketTimeoutMs = 1000;

// `name`: a dotted-decimal IPv4 address or a host name, NUL-terminated.
// Returns the round trip in milliseconds, or kPingFailed.
std::int32_t ping_host(const char* name);

}  // namespace pingext
