// The Linux platform's record of one exchange.
#pragma once

#include <cstdint>

#include "probe/ip_address.h"

namespace pingext::platform {

struct ExchangeRecord {
  int descriptor;
  IpFamily family;
  // A raw socket (root's fallback) rather than an ICMP datagram socket.
  bool raw;
  // Whether the kernel has been asked to stamp what arrives (SO_TIMESTAMPNS).
  bool stamps_asked;
  // CLOCK_MONOTONIC when the socket was opened: nothing reached it before.
  std::int64_t opened_ns;
  std::uint32_t deadline_ms;
};

}  // namespace pingext::platform
