#include "extension/ping_function.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "probe/ping_host.h"

#if defined(_WIN32)
#define PINGEXT_EXPORT __declspec(dllexport)
#else
#define PINGEXT_EXPORT __attribute__((visibility("default")))
#endif
#if defined(_MSC_VER)
#define PINGEXT_NOINLINE __declspec(noinline)
#else
#define PINGEXT_NOINLINE __attribute__((noinline))
#endif

namespace pingext {

static_assert(kPingFailed == PINGEXT_PING_FAILED);

namespace {

// The longest text a resolver takes, with its terminator (NI_MAXHOST).
constexpr std::size_t kTargetBufferSize = 1025;

// Fetches the argument's text into `target`, terminated; false when it is too
// long to name any host. The 32 KB area lives in this frame alone, which
// returns before the probe runs, so the area and the resolver never take
// stack at the same time.
PINGEXT_NOINLINE bool fetch_target(GetStringArgument get_string_argument, ArgumentHandle argument,
                                   std::span<char, kTargetBufferSize> target) {
  CountedString area;
  // Only these bytes can reach the copy. Zeroed, they end the text of a host
  // that declares more than it wrote, where stale stack bytes would go on to
  // the resolver. A host that stores nothing leaves an empty text.
  area.length = 0;
  std::memset(area.text, 0, target.size());
  get_string_argument(argument, &area);
  // As a C string shows it: cut at the declared length or at the first zero
  // byte, whichever comes first; beyond the copy's size it names no host.
  const std::size_t scanned = std::min<std::size_t>(area.length, target.size());
  const std::size_t length =
      static_cast<std::size_t>(std::find(area.text, area.text + scanned, '\0') - area.text);
  if (length == target.size()) return false;
  std::memcpy(target.data(), area.text, length);
  target[length] = '\0';
  return true;
}

}  // namespace

std::int32_t run_ping(const HostService* services, ResultSlot result, std::int32_t argument_count,
                      const ArgumentHandle* arguments, Probe probe) {
  if (argument_count != 1 || services == nullptr || arguments == nullptr) return kCallRefused;
  const auto get_string_argument =
      reinterpret_cast<GetStringArgument>(services[kGetStringArgumentEntry]);
  const auto set_integer_result =
      reinterpret_cast<SetIntegerResult>(services[kSetIntegerResultEntry]);
  // A host without either service cannot take the call: nothing is fetched or sent.
  if (get_string_argument == nullptr || set_integer_result == nullptr) return kCallRefused;

  std::array<char, kTargetBufferSize> target;
  const std::int32_t round_trip =
      fetch_target(get_string_argument, arguments[0], target) ? probe(target.data()) : kPingFailed;
  set_integer_result(round_trip, result);
  return kCallCarriedOut;
}

namespace {

std::int32_t PINGEXT_CDECL ping(const HostService* services, ResultSlot result,
                                std::int32_t argument_count, const ArgumentHandle* arguments) {
  return run_ping(services, result, argument_count, arguments, &ping_host);
}

constexpr FunctionTableEntry kFunctionTable[] = {
    {&ping, "ping"},
    {nullptr, nullptr},
};

}  // namespace
}  // namespace pingext

extern "C" PINGEXT_EXPORT const pingext::FunctionTableEntry* PINGEXT_CDECL ZDLL() {
  return pingext::kFunctionTable;
}
