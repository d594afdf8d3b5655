#include "probe/ping_host.h"

#include "platform/echo_exchange.h"
#include "probe/round_trip_steps.h"

namespace pingext {

std::int32_t ping_host(const char* name) {
  platform::SystemEcho system;
  return measure_round_trip(system, name);
}

}  // namespace pingext
