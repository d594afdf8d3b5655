// The probe's millisecond count, made from what a system's clocks report:
// pure arithmetic, so that each platform's clock is tested without it.
#pragma once

#include <cstdint>

namespace pingext {

// Milliseconds since a counter's zero, as a 32-bit count that wraps like a
// tick counter. Whole seconds and the remainder are scaled apart, so nothing
// overflows: `counter * 1000` would, after 71 days of a 3 GHz counter.
constexpr std::uint32_t counter_milliseconds(std::uint64_t counter, std::uint64_t frequency) {
  const std::uint64_t seconds = counter / frequency;
  const std::uint64_t remainder = counter % frequency;
  return static_cast<std::uint32_t>(seconds * 1000 + remainder * 1000 / frequency);
}

// A reading of the monotonic clock that the count comes from, and of the wall
// clock that receive stamps come in, taken together; both in nanoseconds.
struct ClockReading {
  std::int64_t monotonic_ns;
  std::int64_t wall_ns;
};

// Reads the two clocks to map a stamp just taken: the wall clock first, so
// that a pause between the readings (the thread taken off the CPU) makes the
// arrival look later than it was, never earlier, and no late reply passes
// for one in time.
template <typename ReadWall, typename ReadMonotonic>
ClockReading read_clocks(ReadWall read_wall, ReadMonotonic read_monotonic) {
  const std::int64_t wall_ns = read_wall();
  return {read_monotonic(), wall_ns};
}

constexpr std::uint32_t tick_of(std::int64_t monotonic_ns) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(monotonic_ns) / 1000000u);
}

// The count at which a message stamped `stamp_wall_ns` by the system arrived,
// read at `read`. The stamp is on the wall clock, which may be stepped at any
// time: an age below zero, or one that puts the arrival before `opened_ns`
// (the monotonic time the socket was opened, before which nothing reached
// it), is no arrival time, and the read time stands.
constexpr std::uint32_t arrival_tick(std::int64_t stamp_wall_ns, ClockReading read,
                                     std::int64_t opened_ns) {
  const std::int64_t age_ns = read.wall_ns - stamp_wall_ns;
  const bool believable = age_ns >= 0 && age_ns <= read.monotonic_ns - opened_ns;
  return tick_of(believable ? read.monotonic_ns - age_ns : read.monotonic_ns);
}

}  // namespace pingext
