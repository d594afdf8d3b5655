// The argument path over arbitrary counted strings: whatever length a host
// declares and whatever bytes it stores, the probe gets exactly the stored
// bytes up to the first zero byte or the declared length, never more than
// the area holds, and the area is never overrun; a text of more than the
// 1,024 bytes a name can have gives -1 without a probe.
// Input: argument count, fill byte, declared length (2 bytes), text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "extension/host_interface.hpp"
#include "extension/ping_function.h"

namespace {

// What the host leaves in the area: the text, then the fill byte to its end.
struct Stored {
  const std::uint8_t* text;
  std::size_t size;
  std::uint8_t fill;
  std::uint16_t declared;

  std::uint8_t at(std::size_t i) const { return i < size ? text[i] : fill; }
};

const Stored* g_stored = nullptr;
int g_results = 0;

void get_string_argument(pingext::ArgumentHandle argument, pingext::CountedString* area) {
  const auto* stored = static_cast<const Stored*>(argument);
  area->length = stored->declared;
  std::memcpy(area->text, stored->text, stored->size);
  std::memset(area->text + stored->size, stored->fill, sizeof area->text - stored->size);
}

// The length of the text the probe must get, or -1 when the text is longer
// than any name: then the probe is not called.
std::ptrdiff_t expected_length(const Stored& stored) {
  constexpr std::size_t kLongestName = 1024;
  const std::size_t limit = std::min<std::size_t>(stored.declared, pingext::kArgumentTextCapacity);
  std::size_t length = 0;
  while (length < limit && stored.at(length) != 0) ++length;
  return length > kLongestName ? -1 : static_cast<std::ptrdiff_t>(length);
}

void set_integer_result(std::int32_t value, pingext::ResultSlot) {
  if (value != (expected_length(*g_stored) < 0 ? -1 : 7)) std::abort();
  ++g_results;
}

std::int32_t checking_probe(const char* name) {
  const std::ptrdiff_t expected = expected_length(*g_stored);
  if (expected < 0 || std::strlen(name) != static_cast<std::size_t>(expected)) std::abort();
  for (std::size_t i = 0; i < static_cast<std::size_t>(expected); ++i) {
    if (static_cast<std::uint8_t>(name[i]) != g_stored->at(i)) std::abort();
  }
  return 7;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 4;
  if (size < kHeader) return 0;
  const std::int32_t count = data[0] % 4;
  const Stored stored{data + kHeader, std::min(size - kHeader, pingext::kArgumentTextCapacity),
                      data[1], static_cast<std::uint16_t>(data[2] | data[3] << 8)};
  g_stored = &stored;
  pingext::HostService services[9] = {};
  services[pingext::kGetStringArgumentEntry] =
      reinterpret_cast<pingext::HostService>(&get_string_argument);
  services[pingext::kSetIntegerResultEntry] =
      reinterpret_cast<pingext::HostService>(&set_integer_result);
  pingext::ArgumentHandle arguments[3] = {const_cast<Stored*>(&stored), nullptr, nullptr};
  g_results = 0;
  const std::int32_t returned =
      pingext::run_ping(services, nullptr, count, arguments, &checking_probe);
  const bool carried_out = returned == pingext::kCallCarriedOut && g_results == 1;
  const bool refused = returned == pingext::kCallRefused && g_results == 0;
  if (count == 1 ? !carried_out : !refused) std::abort();
  return 0;
}
