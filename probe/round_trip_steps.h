// The steps of one round trip, written against any type with the members of
// platform::SystemEcho, so tests can drive them with a scripted platform.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "platform/echo_exchange.h"
#include "probe/echo_message.h"
#include "probe/ip_address.h"
#include "probe/ping_host.h"

namespace pingext {

// No host name or address is empty or holds whitespace or a control byte.
// Resolvers take some such texts for the local host ("") or read an address
// up to a space and drop the rest ("127.0.0.1 junk").
constexpr bool could_name_a_host(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    if (byte <= ' ' || byte == 0x7F) return false;
  }
  return true;
}

// Takes what arrives until this call's reply, an error about its request, or
// the deadline.
template <typename Platform>
std::int32_t await_reply(Platform& platform, typename Platform::Exchange& exchange,
                         const SentEcho& sent, std::uint32_t deadline_ms) {
  std::array<std::uint8_t, kPacketBufferSize> buffer{};
  for (;;) {
    platform::Arrival arrival{};
    if (platform.next(exchange, buffer, arrival) != platform::Next::arrival) return kPingFailed;
    // Messages come in the order they arrived: once one arrived after the
    // deadline, so did every one behind it. What arrived in time counts,
    // however late it is read; what arrived before the request is not about it.
    if (static_cast<std::int32_t>(arrival.arrived_ms - deadline_ms) > 0) return kPingFailed;
    if (static_cast<std::int32_t>(arrival.arrived_ms - sent.send_time) < 0) continue;
    const ReplyMatch match = match_echo_reply(arrival.message, arrival.arrived_ms, sent);
    if (match.verdict == ReplyVerdict::echo_reply) return match.round_trip_ms;
    if (match.verdict == ReplyVerdict::error_for_request) return kPingFailed;
  }
}

// What one request came to: its result, and whether it could not be sent at
// all for want of a route.
struct Attempt {
  std::int32_t result;
  bool no_route;
};

// The first attempt of a call sets its deadline, one second after its send.
template <typename Platform>
Attempt attempt_echo(Platform& platform, const IpAddress& destination, bool first_attempt,
                     std::uint32_t& deadline_ms) {
  typename Platform::Exchange exchange{};
  platform::RequestIdentity identity{};
  if (!platform.open(exchange, destination.family, identity)) return {kPingFailed, false};

  std::array<std::uint8_t, kPacketBufferSize> request{};
  const std::uint32_t send_time = platform.now_ms();
  if (first_attempt) deadline_ms = send_time + kReplyDeadlineMs;
  build_echo_request(request, destination.family, identity.identifier, send_time);
  const platform::Sent sent =
      platform.send(exchange, std::span(request).first(kEchoRequestSize), destination, deadline_ms);
  const std::int32_t result =
      sent == platform::Sent::sent
          ? await_reply(platform, exchange,
                        {identity.identifier, send_time, destination, identity.checked_by_system},
                        deadline_ms)
          : kPingFailed;
  // Every path after the open leaves through here: the exchange is closed once.
  platform.close(exchange);
  return {result, sent == platform::Sent::no_route};
}

template <typename Platform>
std::int32_t measure_round_trip(Platform& platform, const char* name) {
  platform::Target target{};
  if (!could_name_a_host(name) || !platform.resolve(name, target) || names_no_host(target.first)) {
    return kPingFailed;
  }
  std::uint32_t deadline_ms = 0;
  const Attempt first = attempt_echo(platform, target.first, true, deadline_ms);
  // Where the first address has no route from here (an IPv6-only host, say),
  // a name's address of the other family gets what is left of the second.
  if (!first.no_route || !target.has_other || names_no_host(target.other)) return first.result;
  return attempt_echo(platform, target.other, false, deadline_ms).result;
}

}  // namespace pingext
