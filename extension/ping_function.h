// The `ping` function as the host calls it, with the probe it runs passed in
// so the argument handling can be checked without a network.
#pragma once

#include <cstdint>

#include "extension/host_interface.hpp"

namespace pingext {

using Probe = std::int32_t (*)(const char* name);

std::int32_t run_ping(const HostService* services, ResultSlot result, std::int32_t argument_count,
                      const ArgumentHandle* arguments, Probe probe);

}  // namespace pingext
