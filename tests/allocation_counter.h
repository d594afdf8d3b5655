// Counts heap allocations made on the calling thread while a function runs
// (Linux without sanitizers, where malloc can be replaced).
#pragma once

#include <cstddef>
#include <functional>

namespace pingext::testing {

bool allocation_counting_available();
std::size_t count_allocations(const std::function<void()>& work);

}  // namespace pingext::testing
