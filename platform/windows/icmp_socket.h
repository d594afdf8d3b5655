// The Windows platform's socket record: a raw socket, or the ICMP helper.
#pragma once

#include <cstdint>

#include "platform/ip_address.h"

namespace pingext::platform {

struct IcmpSocket {
  std::uintptr_t handle;  // a SOCKET, or the helper's HANDLE
  IpFamily family;
  bool through_helper;
  // The raw socket's receive time-out as last set, so that a wait changes it
  // only when the wait changes.
  std::uint32_t receive_timeout_ms;
  // The helper sends and waits in one step: send_to leaves the request here
  // and receive makes the exchange.
  bool request_pending;
  IpAddress pending_destination;
  std::uint8_t pending_data[4];  // the request's 4 data bytes: its send time
  // When the helper's reply arrived, on the probe's clock: the send time plus
  // the helper's own round trip.
  std::uint32_t reply_time;
};

}  // namespace pingext::platform
