// The Windows platform's record of one exchange: a raw socket's, or one made
// through the ICMP helper.
#pragma once

#include <cstdint>

#include "probe/ip_address.h"

namespace pingext::platform {

// What the helper made of its one echo.
enum class HelperOutcome : std::uint8_t { answered, handed_over, timed_out, failed };

struct ExchangeRecord {
  std::uintptr_t socket;  // a SOCKET, unless through the helper
  void* helper;           // the helper's HANDLE
  IpFamily family;
  bool through_helper;
  std::uint32_t deadline_ms;
  // The helper sends and waits for the reply in one call, which the send
  // makes; this is what it answered.
  HelperOutcome helper_outcome;
  IpAddress reply_sender;
  std::uint8_t echoed[4];  // as much of the request's data as came back
  std::uint8_t echoed_size;
  std::uint32_t reply_arrived_ms;
};

}  // namespace pingext::platform
