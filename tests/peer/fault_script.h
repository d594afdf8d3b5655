// What the scripted ICMP peer does at each loopback address, and what a ping
// of that address must then give. Shared by the peer and the tests that ping
// it, so the two cannot drift apart.
#pragma once

#include <cstdint>

namespace pingext::testing {

enum class Behaviour {
  reply,                    // an echo reply after delay_ms
  foreign_then_reply,       // replies with another identifier and another send time first
  header_only,              // an echo reply of only the 8-byte ICMP header
  unreachable,              // destination unreachable quoting the request
  time_exceeded,            // time exceeded quoting the request
  packet_too_big,           // packet too big quoting the request
  other_error_then_reply,   // an unreachable quoting someone else's request first
  flood,                    // foreign echo replies as fast as it can, until 1,100 ms; no reply
  flood_then_reply,         // foreign echo replies every millisecond, the reply inside them
  oversized_then_reply,     // a 1,100-byte echo reply first
  reply_from_next_address,  // a true echo reply, but sent from the next address up
  silent,                   // nothing at all
  late_error_then_reply,    // odd requests: only an error quoting it whole, kLateErrorMs
                            // later; even ones: a reply after delay_ms
  started_together,         // not a peer: the test calls these addresses at once
  dead_resolver,            // a name whose first label the peer's name server never answers
  reply_then_error,         // an echo reply after delay_ms, then at once an unreachable quoting it
  parameter_problem,        // a parameter problem quoting the request
};

enum class Outcome {
  round_trip,         // at least delay_ms, at most the call's own duration
  fails_at_deadline,  // -1, not before one second
  fails_early,        // -1, clearly before one second
  each_as_its_row,    // started_together: every address as its own row says
  // A first call fails at the deadline; a second, kSecondCallMs after the
  // first began, gets a round trip as above.
  round_trip_on_a_second_call,
  fails_after_resolver_time_out,  // -1 once the lookup has timed out (kResolverTimeoutMs)
};

struct FaultCase {
  const char* name;
  const char* address;  // started_together: addresses separated by commas
  Behaviour behaviour;
  std::uint32_t delay_ms;  // when the reply (or error) is sent
  Outcome outcome;
  // The Windows ICMP helper waits for one reply, the first that carries its
  // identifier and sequence: when that one is not ours (stale, oversized, cut
  // short, from elsewhere), -1 comes at once.
  bool helper_fails_early = false;
};

constexpr bool sends_icmp_errors(Behaviour behaviour) {
  return behaviour == Behaviour::unreachable || behaviour == Behaviour::time_exceeded ||
         behaviour == Behaviour::packet_too_big || behaviour == Behaviour::other_error_then_reply ||
         behaviour == Behaviour::late_error_then_reply ||
         behaviour == Behaviour::reply_then_error || behaviour == Behaviour::parameter_problem;
}

// How long the peer keeps sending after a request: a flood outlasts the call
// it disturbs, and the next case must not run inside it.
inline constexpr std::uint32_t kFloodMs = 1100;
inline constexpr std::uint32_t kModerateFloodAfterReplyMs = 20;
inline constexpr std::uint32_t kLateErrorMs = 1200;
inline constexpr std::uint32_t kSecondCallMs = 1010;
// The peer's name server answers every other name at once, with "no such
// name"; tests/in_private_netns.sh --peer gives the resolver this time-out.
inline constexpr std::uint32_t kResolverTimeoutMs = 1000;
constexpr std::uint32_t busy_ms(const FaultCase& c) {
  return c.behaviour == Behaviour::flood                   ? kFloodMs
         : c.behaviour == Behaviour::flood_then_reply      ? c.delay_ms + kModerateFloodAfterReplyMs
         : c.behaviour == Behaviour::late_error_then_reply ? kSecondCallMs + c.delay_ms
                                                           : c.delay_ms;
}

inline constexpr FaultCase kFaultCases[] = {
    {"reply after 20 ms", "127.0.0.2", Behaviour::reply, 20, Outcome::round_trip},
    {"reply after 200 ms", "127.0.0.3", Behaviour::reply, 200, Outcome::round_trip},
    {"foreign and stale replies first", "127.0.0.4", Behaviour::foreign_then_reply, 10,
     Outcome::round_trip, true},
    {"header-only reply", "127.0.0.5", Behaviour::header_only, 0, Outcome::fails_at_deadline, true},
    {"unreachable quoting our request", "127.0.0.6", Behaviour::unreachable, 0,
     Outcome::fails_early},
    {"time exceeded quoting our request", "127.0.0.7", Behaviour::time_exceeded, 0,
     Outcome::fails_early},
    {"parameter problem quoting our request", "127.0.0.18", Behaviour::parameter_problem, 0,
     Outcome::fails_early},
    {"error quoting another request", "127.0.0.8", Behaviour::other_error_then_reply, 5,
     Outcome::round_trip},
    {"foreign flood, no reply", "127.0.0.9", Behaviour::flood, 0, Outcome::fails_at_deadline},
    {"reply inside a moderate flood", "127.0.0.10", Behaviour::flood_then_reply, 50,
     Outcome::round_trip},
    {"oversized datagram first", "127.0.0.11", Behaviour::oversized_then_reply, 5,
     Outcome::round_trip, true},
    {"immediate reply", "127.0.0.12", Behaviour::reply, 0, Outcome::round_trip},
    {"reply after 100 ms", "127.0.0.13", Behaviour::reply, 100, Outcome::round_trip},
    {"reply after 50 ms", "127.0.0.16", Behaviour::reply, 50, Outcome::round_trip},
    {"silent target", "127.0.0.14", Behaviour::silent, 0, Outcome::fails_at_deadline},
    {"reply from another address", "127.0.0.15", Behaviour::reply_from_next_address, 10,
     Outcome::fails_at_deadline, true},
    // The error about the first call arrives 190 ms into the second.
    {"late error about an earlier call", "127.0.0.20", Behaviour::late_error_then_reply, 400,
     Outcome::round_trip_on_a_second_call},
    // Calls in one process share an identifier and may share a send time:
    // each must still get its own answer.
    {"calls started together", "127.0.0.2,127.0.0.3,127.0.0.12,127.0.0.13,127.0.0.14,127.0.0.15",
     Behaviour::started_together, 0, Outcome::each_as_its_row},
    {"name server that never answers", "slow.pingext.test", Behaviour::dead_resolver, 0,
     Outcome::fails_after_resolver_time_out},
    // The reply arrived first, however the system hands the two over.
    {"reply, then at once an error", "127.0.0.17", Behaviour::reply_then_error, 5,
     Outcome::round_trip},
    // IPv6. Windows goes through the ICMP helper for every user there; Wine
    // has none, so a double of the helper answers these rows (tests/wine).
    {"IPv6 reply after 20 ms", "fd00::2", Behaviour::reply, 20, Outcome::round_trip},
    {"IPv6 stale reply first", "fd00::4", Behaviour::foreign_then_reply, 10, Outcome::round_trip,
     true},
    {"IPv6 unreachable quoting our request", "fd00::6", Behaviour::unreachable, 0,
     Outcome::fails_early},
    {"IPv6 time exceeded quoting our request", "fd00::7", Behaviour::time_exceeded, 0,
     Outcome::fails_early},
    {"IPv6 packet too big quoting our request", "fd00::16", Behaviour::packet_too_big, 0,
     Outcome::fails_early},
    {"IPv6 parameter problem quoting our request", "fd00::18", Behaviour::parameter_problem, 0,
     Outcome::fails_early},
    {"IPv6 silent target", "fd00::14", Behaviour::silent, 0, Outcome::fails_at_deadline},
    {"IPv6 reply, then at once an error", "fd00::17", Behaviour::reply_then_error, 5,
     Outcome::round_trip},
    {"IPv6 reply from another address", "fd00::15", Behaviour::reply_from_next_address, 10,
     Outcome::fails_at_deadline, true},
};

}  // namespace pingext::testing
