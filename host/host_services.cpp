#include "host/host_services.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace exthost {
namespace {

// Per thread, so calls on several threads each see only their own.
thread_local int t_unexpected_service = -1;

void PINGEXT_CDECL get_string_argument(pingext::ArgumentHandle argument,
                                       pingext::CountedString* area) {
  const auto& text = static_cast<const TextArgument*>(argument)->text;
  // The command line refuses longer texts before any call; this only guards the area.
  const std::size_t length = std::min(text.size(), pingext::kArgumentTextCapacity);
  area->length = static_cast<std::uint16_t>(length);
  std::memcpy(area->text, text.data(), length);
}

void PINGEXT_CDECL set_integer_result(std::int32_t value, pingext::ResultSlot result) {
  auto* slot = static_cast<IntegerResult*>(result);
  slot->set = true;
  slot->value = value;
}

template <int Entry>
void PINGEXT_CDECL unexpected_service() {
  t_unexpected_service = Entry;
}

template <std::size_t... Entries>
constexpr std::array<pingext::HostService, kHostServiceCount> make_table(
    std::index_sequence<Entries...>) {
  return {(Entries == pingext::kGetStringArgumentEntry
               ? reinterpret_cast<pingext::HostService>(&get_string_argument)
           : Entries == pingext::kSetIntegerResultEntry
               ? reinterpret_cast<pingext::HostService>(&set_integer_result)
               : &unexpected_service<static_cast<int>(Entries)>)...};
}

// Function addresses, cast (so not a constant expression): nothing can throw.
const std::array<pingext::HostService, kHostServiceCount> kServices =  // NOLINT(cert-err58-cpp)
    make_table(std::make_index_sequence<kHostServiceCount>{});

}  // namespace

const pingext::HostService* host_services() { return kServices.data(); }

int unexpected_service_called() { return t_unexpected_service; }
void reset_unexpected_service() { t_unexpected_service = -1; }

CallOutcome call_with_text(pingext::ExtensionFunction function,
                           const std::vector<TextArgument>& arguments) {
  std::vector<pingext::ArgumentHandle> handles;
  handles.reserve(arguments.size());
  for (const auto& argument : arguments) {
    handles.push_back(const_cast<TextArgument*>(&argument));
  }
  reset_unexpected_service();
  CallOutcome outcome{};
  outcome.return_code = function(host_services(), &outcome.result,
                                 static_cast<std::int32_t>(handles.size()), handles.data());
  outcome.unexpected_service = unexpected_service_called();
  return outcome;
}

}  // namespace exthost
