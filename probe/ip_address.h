// An IPv4 or IPv6 address, as the probe, the wire logic and the platform pass
// it between them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pingext {

enum class IpFamily : std::uint8_t { v4, v6 };

struct IpAddress {
  IpFamily family;
  std::uint8_t bytes[16];  // network order; IPv4 uses the first 4
  std::uint32_t scope_id;  // the interface of an IPv6 link-local address, else 0
};

constexpr std::size_t address_length(IpFamily family) { return family == IpFamily::v4 ? 4 : 16; }

// `network_order` as it lies in a sockaddr_in.
inline IpAddress ipv4_address(std::uint32_t network_order) {
  IpAddress address{IpFamily::v4, {}, 0};
  std::memcpy(address.bytes, &network_order, 4);
  return address;
}

// The same host: family and address agree. The scope says where a request
// goes out, not who answers it, so it is not compared.
constexpr bool same_host(const IpAddress& a, const IpAddress& b) {
  return a.family == b.family && std::equal(a.bytes, a.bytes + address_length(a.family), b.bytes);
}

// 0.0.0.0 or ::, which name no host; an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d), an IPv4 host in disguise, which ICMPv6 cannot reach; or
// a link-local IPv6 address (fe80::/10) without the interface whose link it
// names (a datagram socket refuses it; a raw one would send it out of
// whichever interface the routes pick), whether written so or a resolver's
// answer.
constexpr bool names_no_host(const IpAddress& address) {
  const auto zero = [](std::uint8_t byte) { return byte == 0; };
  if (std::all_of(address.bytes, address.bytes + address_length(address.family), zero)) {
    return true;
  }
  if (address.family != IpFamily::v6) return false;
  const bool link_local = address.bytes[0] == 0xFE && (address.bytes[1] & 0xC0) == 0x80;
  return (link_local && address.scope_id == 0) ||
         (std::all_of(address.bytes, address.bytes + 10, zero) && address.bytes[10] == 0xFF &&
          address.bytes[11] == 0xFF);
}

}  // namespace pingext
