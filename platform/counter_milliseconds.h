// A high-resolution counter read as the probe's millisecond clock.
#pragma once

#include <cstdint>

namespace pingext::platform {

// Milliseconds since the counter's zero, as a 32-bit count that wraps like a
// tick counter. Whole seconds and the remainder are scaled apart, so nothing
// overflows: `counter * 1000` would, after 71 days of a 3 GHz counter.
constexpr std::uint32_t counter_milliseconds(std::uint64_t counter, std::uint64_t frequency) {
  const std::uint64_t seconds = counter / frequency;
  const std::uint64_t remainder = counter % frequency;
  return static_cast<std::uint32_t>(seconds * 1000 + remainder * 1000 / frequency);
}

}  // namespace pingext::platform
