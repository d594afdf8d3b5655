#include "probe/ping_host.h"

#include "platform/icmp_platform.h"
#include "probe/probe_steps.h"

namespace pingext {

std::int32_t ping_host(const char* name) {
  platform::SystemIcmp system;
  return probe_round_trip(system, name);
}

}  // namespace pingext
