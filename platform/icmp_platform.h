// The few operating-system services the round-trip probe needs. One
// implementation per platform (platform/linux, platform/windows), each with a
// socket record of its own; the probe is written against this interface so
// tests can script it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ip_address.h"

#if defined(_WIN32)
#include "platform/windows/icmp_socket.h"
#else
#include "platform/linux/icmp_socket.h"
#endif

namespace pingext::platform {

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
};

inline constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

struct SystemIcmp {
  using Socket = IcmpSocket;  // the platform's own record

  // Opens an ICMP socket of the family; false when none may be opened.
  static bool open_socket(Socket& socket, IpFamily family);
  // Whether each datagram received starts with an IPv4 header, from which the
  // sender is taken (raw IPv4 sockets).
  static bool delivers_ipv4_header(const Socket& socket);
  // Whether the system writes its own identifier into every request and hands
  // over only the replies and errors that carry it.
  static bool kernel_owns_identifier(const Socket& socket);
  static bool set_receive_timeout(Socket& socket, std::uint32_t milliseconds);
  static bool set_send_timeout(const Socket& socket, std::uint32_t milliseconds);
  // Dotted-decimal conversion; kAddressNone (also the value of 255.255.255.255)
  // when `name` is not an address. The result is in network order.
  static std::uint32_t convert_dotted(const char* name);
  // Name lookup, first address. Safe on any thread.
  static bool look_up_name(const char* name, IpAddress& address);
  static bool send_to(Socket& socket, std::span<const std::uint8_t> message,
                      const IpAddress& destination);
  // Waits at most `wait_ms` (at least 1) for one datagram: an ICMP message, or
  // on a socket that delivers_ipv4_header, an IPv4 header and a message.
  static Received receive(Socket& socket, std::span<std::uint8_t> buffer, std::uint32_t wait_ms);
  // The tick at which what the last receive returned arrived: the counter read
  // now, unless the system timed the exchange itself.
  static std::uint32_t receive_time(const Socket& socket);
  static void close_socket(const Socket& socket);
  // Milliseconds on a monotonic 32-bit counter that wraps to 0.
  static std::uint32_t tick_count_ms();
  static std::uint32_t process_id();
};

}  // namespace pingext::platform
