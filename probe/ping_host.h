// One ICMP echo exchange with one target.
#pragma once

#include <cstdint>

#include "probe/echo_message.h"

namespace pingext {

// How long after its request a call waits for the reply: a reply that
// arrives later does not count.
inline constexpr std::uint32_t kReplyDeadlineMs = 1000;

// `name`: an IPv4 or IPv6 address or a host name, NUL-terminated.
// Returns the round trip in milliseconds, or kPingFailed.
std::int32_t ping_host(const char* name);

}  // namespace pingext
