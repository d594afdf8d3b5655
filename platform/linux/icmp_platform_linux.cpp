// Linux: a raw ICMP socket.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/icmp_platform.h"

namespace pingext::platform {
namespace {

int descriptor(const IcmpSocket& socket) { return static_cast<int>(socket.handle); }

bool set_timeout(const IcmpSocket& socket, int option, std::uint32_t milliseconds) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  return setsockopt(descriptor(socket), SOL_SOCKET, option, &timeout, sizeof timeout) == 0;
}

}  // namespace

bool SystemIcmp::open_socket(IcmpSocket& socket) {
  const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return false;
  socket = {static_cast<std::uintptr_t>(fd), false, 0};
  return true;
}

bool SystemIcmp::set_receive_timeout(const IcmpSocket& socket, std::uint32_t milliseconds) {
  return set_timeout(socket, SO_RCVTIMEO, milliseconds);
}

bool SystemIcmp::set_send_timeout(const IcmpSocket& socket, std::uint32_t milliseconds) {
  return set_timeout(socket, SO_SNDTIMEO, milliseconds);
}

std::uint32_t SystemIcmp::convert_dotted(const char* name) { return inet_addr(name); }

bool SystemIcmp::look_up_name(const char* name, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_RAW;
  hints.ai_protocol = IPPROTO_ICMP;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return false;
  const bool usable =
      found != nullptr && found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in);
  if (usable) {
    sockaddr_in first{};
    std::memcpy(&first, found->ai_addr, sizeof first);
    address = first.sin_addr.s_addr;
  }
  freeaddrinfo(found);
  return usable;
}

bool SystemIcmp::send_to(const IcmpSocket& socket, std::span<const std::uint8_t> message,
                         std::uint32_t address) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = address;
  return sendto(descriptor(socket), message.data(), message.size(), 0,
                reinterpret_cast<const sockaddr*>(&destination), sizeof destination) >= 0;
}

Received SystemIcmp::receive(const IcmpSocket& socket, std::span<std::uint8_t> buffer) {
  // MSG_TRUNC makes the kernel report a datagram's full length, so one that
  // did not fit is recognised instead of being judged cut short.
  const ssize_t length = recv(descriptor(socket), buffer.data(), buffer.size(), MSG_TRUNC);
  if (length < 0) {
    return {errno == EINTR ? ReceiveStatus::interrupted : ReceiveStatus::failed, 0};
  }
  const auto size = static_cast<std::size_t>(length);
  if (size > buffer.size()) return {ReceiveStatus::too_long, 0};
  return {ReceiveStatus::datagram, size};
}

void SystemIcmp::close_socket(const IcmpSocket& socket) { close(descriptor(socket)); }

std::uint32_t SystemIcmp::tick_count_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(milliseconds);
}

std::uint32_t SystemIcmp::process_id() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace pingext::platform
