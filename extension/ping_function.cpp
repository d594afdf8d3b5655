#include "extension/ping_function.h"

#include <algorithm>
#include <cstring>

#include "probe/ping_host.h"

#if defined(_WIN32)
#define PINGEXT_EXPORT __declspec(dllexport)
#else
#define PINGEXT_EXPORT __attribute__((visibility("default")))
#endif

namespace pingext {

std::int32_t run_ping(const HostService* services, ResultSlot result, std::int32_t argument_count,
                      const ArgumentHandle* arguments, Probe probe) {
  if (argument_count != 1) return kCallRefused;

  CountedString area;
  // A host that stores nothing then leaves an empty text, not stack garbage.
  area.length = 0;
  reinterpret_cast<GetStringArgument>(services[kGetStringArgumentEntry])(arguments[0], &area);

  // A declared length beyond the area is clamped. The text is terminated in
  // the area itself, so the probe sees it as a C string would show it: cut at
  // its first zero byte. A text that fills the whole area without one is
  // longer than any host name or address can be: it names no host.
  const std::size_t length = std::min<std::size_t>(area.length, kArgumentTextCapacity);
  bool terminated = true;
  if (length < kArgumentTextCapacity) {
    area.text[length] = '\0';
  } else {
    terminated = std::memchr(area.text, '\0', length) != nullptr;
  }
  const std::int32_t round_trip = terminated ? probe(area.text) : kPingFailed;
  reinterpret_cast<SetIntegerResult>(services[kSetIntegerResultEntry])(round_trip, result);
  return kCallCarriedOut;
}

namespace {

std::int32_t ping(const HostService* services, ResultSlot result, std::int32_t argument_count,
                  const ArgumentHandle* arguments) {
  return run_ping(services, result, argument_count, arguments, &ping_host);
}

constexpr FunctionTableEntry kFunctionTable[] = {
    {&ping, "ping"},
    {nullptr, nullptr},
};

}  // namespace
}  // namespace pingext

extern "C" PINGEXT_EXPORT const pingext::FunctionTableEntry* ZDLL() {
  return pingext::kFunctionTable;
}
