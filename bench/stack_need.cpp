// One call of a library's ping on a thread with a stack of the given size, as
// a host with small thread stacks makes it. scripts/stack_need.sh searches for
// the least size that works: this prints the result and exits 0 when the call
// returns, and a stack too small ends the process.
//   stack_need BYTES LIBRARY TARGET
#include <cstdio>
#include <cstdlib>

#include "host/host_services.h"
#include "host/library_loader.h"
#include "tests/small_stack.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: stack_need BYTES LIBRARY TARGET\n", stderr);
    return 2;
  }
  const auto bytes = static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10));
  exthost::start_sockets();
  exthost::LoadedLibrary library = exthost::load_library(argv[2]);
  const pingext::ZdllFunction entry =
      library.handle != nullptr ? exthost::find_entry_point(library) : nullptr;
  if (entry == nullptr) {
    std::fprintf(stderr, "stack_need: cannot load %s\n", argv[2]);
    return 2;
  }
  const pingext::ExtensionFunction ping = entry()[0].function;
  exthost::CallOutcome outcome{};
  if (!pingext::testing::run_on_stack_of(
          bytes, [&] { outcome = exthost::call_with_text(ping, {{argv[3]}}); })) {
    std::fprintf(stderr, "stack_need: no thread with a stack of %zu bytes\n", bytes);
    return 2;
  }
  std::printf("%d\n", outcome.result.value);
  return 0;
}
