// The Linux platform's socket record.
#pragma once

#include "platform/ip_address.h"

namespace pingext::platform {

struct IcmpSocket {
  int descriptor;
  IpFamily family;
  // A raw socket (root's fallback) rather than an ICMP datagram socket.
  bool raw;
};

}  // namespace pingext::platform
