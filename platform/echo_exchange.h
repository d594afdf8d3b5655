// One ICMP echo exchange, as each system carries it out in its own way: the
// probe resolves a target, opens an exchange for the address's family, sends
// its request, and takes what arrives, each message with the time it
// arrived, until its deadline. One implementation per platform
// (platform/linux, platform/windows), each with a record of its own; the probe
// is written against these names, so tests can script them.
#pragma once

#include <cstdint>
#include <span>

#include "probe/echo_message.h"
#include "probe/ip_address.h"

#if defined(_WIN32)
#include "platform/windows/exchange_record.h"
#else
#include "platform/linux/exchange_record.h"
#endif

namespace pingext::platform {

// What a target text stands for: the address to try, and, for a name with
// addresses of both families, its first address of the other family, tried
// when the first cannot be reached.
struct Target {
  IpAddress first;
  bool has_other;
  IpAddress other;
};

// A name's target from the system's first answer of each family (either may
// be null), as `to_address` reads one: IPv4 first where there is one. False
// when there is neither.
template <typename Answer, typename ToAddress>
bool target_from_answers(const Answer* v4, const Answer* v6, ToAddress to_address, Target& target) {
  if (v4 == nullptr && v6 == nullptr) return false;
  target.first = to_address(v4 != nullptr ? *v4 : *v6);
  target.has_other = v4 != nullptr && v6 != nullptr;
  if (target.has_other) target.other = to_address(*v6);
  return true;
}

// How this exchange's requests are told from others': by the identifier the
// request carries, unless the system writes its own into every request and
// hands over only what carries it.
struct RequestIdentity {
  std::uint16_t identifier;
  bool checked_by_system;
};

enum class Sent {
  sent,
  no_route,  // nothing sent: no route to the destination from here
  failed,
};

// One message that reached the exchange: the bare ICMP message (empty when it
// was nothing usable, such as a datagram too long for the buffer) and its
// sender, and the count at which it arrived. Where the system does not say
// when a message arrived, the count when it was read stands in.
struct Arrival {
  IcmpMessage message;
  std::uint32_t arrived_ms;
};

enum class Next {
  arrival,          // `arrival` is set
  deadline_passed,  // nothing more arrived by the deadline
  failed,           // the exchange cannot go on
};

struct SystemEcho {
  using Exchange = ExchangeRecord;  // the platform's own

  // An address literal, or one lookup of a name. Safe on any thread.
  static bool resolve(const char* name, Target& target);
  // False when no exchange of the family may be had here.
  static bool open(Exchange& exchange, IpFamily family, RequestIdentity& identity);
  // Sends the request; the exchange lasts until `deadline_ms` on the count.
  static Sent send(Exchange& exchange, std::span<const std::uint8_t> request,
                   const IpAddress& destination, std::uint32_t deadline_ms);
  // The next message, in the order they arrived, waiting for one until the
  // deadline. After the deadline what is already queued is still handed
  // over, without waiting.
  static Next next(Exchange& exchange, std::span<std::uint8_t, kPacketBufferSize> buffer,
                   Arrival& arrival);
  static void close(Exchange& exchange);
  // Milliseconds on a monotonic 32-bit count that wraps to 0.
  static std::uint32_t now_ms();
};

}  // namespace pingext::platform
