// Runs a function on a new thread with a stack of a given size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>

#if defined(_WIN32)
#include <windows.h>
#else
#include <limits.h>
#include <pthread.h>
#endif

namespace pingext::testing {

// The stack a calling thread needs, as the README states it: the least
// measured (scripts/stack_need.sh) was 38 KB on Linux, on every path, the
// argument area's frame being the deepest.
inline constexpr std::size_t kStatedStackNeed = 48 * 1024;

#if defined(_WIN32)
// A thread's start is stdcall, which 32-bit x86 tells from the default.
inline DWORD WINAPI run_function(LPVOID function) {
  (*static_cast<std::function<void()>*>(function))();
  return 0;
}
#endif

// Where the system's least thread stack is larger (128 KB on aarch64), the
// thread gets that least.
inline bool run_on_stack_of(std::size_t bytes, std::function<void()> work) {
#if defined(_WIN32)
  const auto start = &run_function;
  HANDLE thread =
      CreateThread(nullptr, bytes, start, &work, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return true;
#else
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  // A size the system refuses would leave the thread on its default stack.
  if (pthread_attr_setstacksize(
          &attributes, std::max(bytes, static_cast<std::size_t>(PTHREAD_STACK_MIN))) != 0) {
    pthread_attr_destroy(&attributes);
    return false;
  }
  pthread_t thread;
  const auto start = [](void* function) -> void* {
    (*static_cast<std::function<void()>*>(function))();
    return nullptr;
  };
  const bool started = pthread_create(&thread, &attributes, start, &work) == 0;
  pthread_attr_destroy(&attributes);
  if (started) pthread_join(thread, nullptr);
  return started;
#endif
}

}  // namespace pingext::testing
