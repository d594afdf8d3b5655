#include "tests/allocation_counter.h"

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(PINGEXT_SANITIZED)
#define PINGEXT_COUNT_ALLOCATIONS 1
#else
#define PINGEXT_COUNT_ALLOCATIONS 0
#endif

#if PINGEXT_COUNT_ALLOCATIONS
#include <cstdlib>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

namespace {
thread_local bool t_counting = false;
thread_local std::size_t t_allocations = 0;
void note() {
  if (t_counting) ++t_allocations;
}
}  // namespace

// Replacing these in the executable replaces them for every library loaded,
// the extension included.
extern "C" void* malloc(std::size_t size) {
  note();
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  note();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, std::size_t size) {
  note();
  return __libc_realloc(block, size);
}
#endif

namespace pingext::testing {

bool allocation_counting_available() { return PINGEXT_COUNT_ALLOCATIONS != 0; }

std::size_t count_allocations(const std::function<void()>& work) {
#if PINGEXT_COUNT_ALLOCATIONS
  t_allocations = 0;
  t_counting = true;
  work();
  t_counting = false;
  return t_allocations;
#else
  work();
  return 0;
#endif
}

}  // namespace pingext::testing
