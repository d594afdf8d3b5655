// The few operating-system services the round-trip probe needs. One
// implementation per platform (platform/linux, platform/windows); the probe is
// written against this interface so tests can script it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "probe/ip_address.h"

namespace pingext::platform {

struct IcmpSocket {
  std::uintptr_t handle;
  IpFamily family;
  // Raw IPv4 sockets deliver the IPv4 header before each message; the probe
  // takes the sender from it.
  bool delivers_ipv4_header;
  // Some sockets (Linux ICMP datagram sockets) write their own identifier into
  // every request, and hand over only the replies and errors that carry it.
  bool kernel_owns_identifier;
  // The receive time-out last set, so a platform that waits by it changes it
  // only when the wait changes.
  std::uint32_t receive_timeout_ms;
  // Where the system sends and waits in one step (the Windows ICMP helper),
  // send_to leaves the request here and receive sends it.
  bool request_pending = false;
  std::uint32_t pending_destination = 0;  // IPv4, network order
  std::uint8_t pending_data[4] = {};      // the request's 4 data bytes
};

enum class ReceiveStatus {
  datagram,     // `length` bytes from `sender`
  too_long,     // a datagram that did not fit the buffer; nothing usable
  interrupted,  // woke without a datagram (a signal); the wait may go on
  failed,       // time-out or error: the wait is over
};

struct Received {
  ReceiveStatus status;
  std::size_t length;
  IpAddress sender;
  // Set when the system timed the exchange itself (the Windows ICMP helper):
  // an accepted reply's round trip is then this, not the probe's own clock.
  std::optional<std::int32_t> system_round_trip_ms = std::nullopt;
};

inline constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

struct SystemIcmp {
  // Opens an ICMP socket of the family; false when none may be opened.
  static bool open_socket(IcmpSocket& socket, IpFamily family);
  static bool set_receive_timeout(IcmpSocket& socket, std::uint32_t milliseconds);
  static bool set_send_timeout(const IcmpSocket& socket, std::uint32_t milliseconds);
  // Dotted-decimal conversion; kAddressNone (also the value of 255.255.255.255)
  // when `name` is not an address. The result is in network order.
  static std::uint32_t convert_dotted(const char* name);
  // Name lookup, first address. Safe on any thread.
  static bool look_up_name(const char* name, IpAddress& address);
  static bool send_to(IcmpSocket& socket, std::span<const std::uint8_t> message,
                      const IpAddress& destination);
  // Waits at most `wait_ms` (at least 1) for one datagram: an ICMP message, or
  // on a socket that delivers_ipv4_header, an IPv4 header and a message.
  static Received receive(IcmpSocket& socket, std::span<std::uint8_t> buffer,
                          std::uint32_t wait_ms);
  static void close_socket(const IcmpSocket& socket);
  // Milliseconds on a monotonic 32-bit counter that wraps to 0.
  static std::uint32_t tick_count_ms();
  static std::uint32_t process_id();
};

}  // namespace pingext::platform
