// An IPv6 literal, with an optional scope after '%', parsed without the
// resolver: a colon is never part of a host name, and the resolver would
// allocate. Each platform brings its own inet_pton and interface names.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "probe/ip_address.h"

namespace pingext {

// `to_bytes(text, bytes)`: the system's inet_pton for IPv6, true on success.
// `interface_index(name)`: the index of the interface called `name`, or 0.
// `interface_exists(index)`: whether an interface has that index.
// A scope of digits alone is an interface number, which must fit 32 bits and
// name an interface; anything else is an interface's name.
template <typename ToBytes, typename InterfaceIndex, typename InterfaceExists>
bool parse_ipv6_literal(const char* text, ToBytes to_bytes, InterfaceIndex interface_index,
                        InterfaceExists interface_exists, IpAddress& address) {
  char literal[46];  // INET6_ADDRSTRLEN: the longest literal and its terminator
  const char* const scope = std::strchr(text, '%');
  const std::size_t length =
      scope != nullptr ? static_cast<std::size_t>(scope - text) : std::strlen(text);
  if (length >= sizeof literal) return false;
  std::memcpy(literal, text, length);
  literal[length] = '\0';
  IpAddress parsed{IpFamily::v6, {}, 0};
  if (!to_bytes(literal, parsed.bytes)) return false;
  if (scope != nullptr) {
    // strtoull alone would also take a sign, or wrap a large number onto another.
    const char* const scope_text = scope + 1;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(scope_text, &end, 10);
    const bool numeric = *scope_text >= '0' && *scope_text <= '9' && *end == '\0';
    if (!numeric) {
      parsed.scope_id = interface_index(scope_text);
    } else if (number <= UINT32_MAX && interface_exists(static_cast<std::uint32_t>(number))) {
      parsed.scope_id = static_cast<std::uint32_t>(number);
    }
    if (parsed.scope_id == 0) return false;
  }
  address = parsed;
  return true;
}

}  // namespace pingext
