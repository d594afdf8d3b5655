// Windows: a raw ICMP socket through Windows Sockets 2. The host process has
// started Winsock; this file never starts or stops it.
// winsock2.h must come before windows.h.
#include <winsock2.h>
//
#include <windows.h>

#include <cstring>

#include "platform/icmp_platform.h"

namespace pingext::platform {
namespace {

SOCKET native(const IcmpSocket& socket) { return static_cast<SOCKET>(socket.handle); }

sockaddr_in socket_address(const IpAddress& address) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  std::memcpy(&result.sin_addr, address.bytes, 4);
  return result;
}

bool set_timeout(const IcmpSocket& socket, int option, std::uint32_t milliseconds) {
  const DWORD value = milliseconds;  // Winsock takes a 4-byte count of milliseconds
  return setsockopt(native(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                    sizeof value) != SOCKET_ERROR;
}

}  // namespace

bool SystemIcmp::open_socket(IcmpSocket& socket, IpFamily family) {
  if (family != IpFamily::v4) return false;
  const SOCKET opened =
      WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (opened == INVALID_SOCKET) return false;
  socket = {static_cast<std::uintptr_t>(opened), IpFamily::v4, true, false, 0};
  return true;
}

bool SystemIcmp::set_receive_timeout(IcmpSocket& socket, std::uint32_t milliseconds) {
  if (!set_timeout(socket, SO_RCVTIMEO, milliseconds)) return false;
  socket.receive_timeout_ms = milliseconds;
  return true;
}

bool SystemIcmp::set_send_timeout(const IcmpSocket& socket, std::uint32_t milliseconds) {
  return set_timeout(socket, SO_SNDTIMEO, milliseconds);
}

std::uint32_t SystemIcmp::convert_dotted(const char* name) { return inet_addr(name); }

bool SystemIcmp::look_up_name(const char* name, IpAddress& address) {
  // Winsock keeps gethostbyname's answer per thread, so this is thread-safe.
  const hostent* found = gethostbyname(name);
  if (found == nullptr || found->h_addrtype != AF_INET || found->h_length != 4 ||
      found->h_addr_list[0] == nullptr) {
    return false;
  }
  address = {IpFamily::v4, {}, 0};
  std::memcpy(address.bytes, found->h_addr_list[0], 4);
  return true;
}

bool SystemIcmp::send_to(IcmpSocket& socket, std::span<const std::uint8_t> message,
                         const IpAddress& address) {
  const sockaddr_in destination = socket_address(address);
  return sendto(native(socket), reinterpret_cast<const char*>(message.data()),
                static_cast<int>(message.size()), 0,
                reinterpret_cast<const sockaddr*>(&destination),
                sizeof destination) != SOCKET_ERROR;
}

// A receive waits as long as the socket's receive time-out says.
Received SystemIcmp::receive(IcmpSocket& socket, std::span<std::uint8_t> buffer,
                             std::uint32_t wait_ms) {
  if (wait_ms != socket.receive_timeout_ms && !set_receive_timeout(socket, wait_ms)) {
    return {ReceiveStatus::failed, 0, {}};
  }
  sockaddr_in sender{};
  int sender_length = sizeof sender;
  const int length = recvfrom(native(socket), reinterpret_cast<char*>(buffer.data()),
                              static_cast<int>(buffer.size()), 0,
                              reinterpret_cast<sockaddr*>(&sender), &sender_length);
  if (length != SOCKET_ERROR) {
    return {ReceiveStatus::datagram, static_cast<std::size_t>(length),
            ipv4_address(sender.sin_addr.s_addr)};
  }
  switch (WSAGetLastError()) {
    case WSAEMSGSIZE:  // longer than the buffer: not ours, and the rest is gone
      return {ReceiveStatus::too_long, 0, {}};
    case WSAEINTR:
      return {ReceiveStatus::interrupted, 0, {}};
    default:
      return {ReceiveStatus::failed, 0, {}};
  }
}

void SystemIcmp::close_socket(const IcmpSocket& socket) { closesocket(native(socket)); }

std::uint32_t SystemIcmp::tick_count_ms() { return GetTickCount(); }

std::uint32_t SystemIcmp::process_id() { return GetCurrentProcessId(); }

}  // namespace pingext::platform
