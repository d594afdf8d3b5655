// The Linux platform's record of one exchange.
#pragma once

#include <cstdint>

#include "probe/echo_message.h"
#include "probe/ip_address.h"

namespace pingext::platform {

// An ICMP error taken from a datagram socket's error queue, which the kernel
// reports ahead of messages that arrived before it: kept until those are
// handed over.
struct HeldError {
  bool present;
  std::uint8_t type;
  std::uint8_t code;
  IpAddress offender;
  IpAddress quoted_destination;
  // As much of the quoted request as the judging reads.
  std::uint8_t quoted[kEchoRequestSize];
  std::uint8_t quoted_size;
  std::int64_t stamp_wall_ns;  // the kernel's receive stamp, or -1
  std::uint32_t arrived_ms;
};

struct ExchangeRecord {
  int descriptor;
  IpFamily family;
  // A raw socket (root's fallback) rather than an ICMP datagram socket.
  bool raw;
  // CLOCK_MONOTONIC when the socket was opened: nothing reached it before.
  std::int64_t opened_ns;
  std::uint32_t deadline_ms;
  // The caller's cancellation state, restored when the exchange closes.
  int cancel_state;
  HeldError held;
};

}  // namespace pingext::platform
