// What the scripted ICMP peer does at each loopback address, and what a ping
// of that address must then give. Shared by the peer and the tests that ping
// it, so the two cannot drift apart.
#pragma once

#include <cstdint>

namespace pingext::testing {

enum class Behaviour {
  reply,                   // an echo reply after delay_ms
  foreign_then_reply,      // replies with another identifier and another send time first
  header_only,             // an echo reply of only the 8-byte ICMP header
  unreachable,             // destination unreachable quoting the request
  time_exceeded,           // time exceeded quoting the request
  other_error_then_reply,  // an unreachable quoting someone else's request first
  flood,                   // foreign echo replies as fast as it can, until 1,100 ms; no reply
  flood_then_reply,        // foreign echo replies every millisecond, the reply inside them
  oversized_then_reply,    // a 1,100-byte echo reply first
};

struct FaultCase {
  const char* name;
  const char* address;
  Behaviour behaviour;
  std::uint32_t delay_ms;  // when the reply (or error) is sent
  bool answered;           // a round trip in [delay_ms, delay_ms + 5], else -1
  std::uint32_t min_call_ms;
  std::uint32_t max_call_ms;
};

// How long the peer keeps sending after a request: a flood outlasts the call
// it disturbs, and the next case must not run inside it.
inline constexpr std::uint32_t kFloodMs = 1100;
inline constexpr std::uint32_t kModerateFloodAfterReplyMs = 20;
constexpr std::uint32_t busy_ms(const FaultCase& c) {
  return c.behaviour == Behaviour::flood              ? kFloodMs
         : c.behaviour == Behaviour::flood_then_reply ? c.delay_ms + kModerateFloodAfterReplyMs
                                                      : c.delay_ms;
}

inline constexpr FaultCase kFaultCases[] = {
    {"reply after 20 ms", "127.0.0.2", Behaviour::reply, 20, true, 20, 100},
    {"reply after 200 ms", "127.0.0.3", Behaviour::reply, 200, true, 200, 300},
    {"foreign and stale replies first", "127.0.0.4", Behaviour::foreign_then_reply, 10, true, 10,
     100},
    {"header-only reply", "127.0.0.5", Behaviour::header_only, 0, false, 990, 1050},
    {"unreachable quoting our request", "127.0.0.6", Behaviour::unreachable, 0, false, 0, 50},
    {"time exceeded quoting our request", "127.0.0.7", Behaviour::time_exceeded, 0, false, 0, 50},
    {"error quoting another request", "127.0.0.8", Behaviour::other_error_then_reply, 5, true, 5,
     100},
    {"foreign flood, no reply", "127.0.0.9", Behaviour::flood, 0, false, 990, 1050},
    {"reply inside a moderate flood", "127.0.0.10", Behaviour::flood_then_reply, 50, true, 50, 150},
    {"oversized datagram first", "127.0.0.11", Behaviour::oversized_then_reply, 5, true, 5, 100},
    {"immediate reply", "127.0.0.12", Behaviour::reply, 0, true, 0, 100},
    {"reply after 100 ms", "127.0.0.13", Behaviour::reply, 100, true, 100, 200},
};

}  // namespace pingext::testing
