// Windows: IPv4 through a raw ICMP socket of Windows Sockets 2, which
// administrators may open. Everyone else is refused it with WSAEACCES, and
// only then the exchange goes through the ICMP helper of IPHLPAPI, which
// every user may use. IPv6 goes through the helper's IPv6 functions for
// every user, as the system's ping does. The helper sends one echo and waits
// for its reply in one call, so send_to leaves the request in the socket
// record and receive makes the exchange.
// IPHLPAPI.DLL is not a KnownDLL: imported, or loaded by its bare name, it
// would be searched for beside the host program first, where anyone who can
// write there could plant one. So it is loaded from the system directory
// alone, and only when a call needs the helper.
// The host process has started Winsock; this file never starts or stops it.
// winsock2.h must come before windows.h.
#include <winsock2.h>
//
#include <windows.h>
//
#include <iphlpapi.h>
//
#include <icmpapi.h>
//
#include <winternl.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/counter_milliseconds.h"
#include "platform/icmp_platform.h"
#include "platform/ipv6_literal.h"

namespace pingext::platform {
namespace {

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::uint8_t kIcmp6EchoReplyType = 129;

// The helper's IPv6 reply as the Windows SDK lays it out (ipexport.h,
// ICMPV6_ECHO_REPLY_LH): IPV6_ADDRESS_EX is packed to 1 byte there, and .NET
// declares it so in its interop too. Debian 12's mingw-w64 declares it
// unpacked (28 bytes, the address at offset 8), so read through its header
// every reply would seem to come from elsewhere. The echoed data follows.
#pragma pack(push, 1)
struct HelperIpv6Address {
  std::uint16_t port;
  std::uint32_t flow_information;
  std::uint8_t address[16];
  std::uint32_t scope_id;
};
#pragma pack(pop)
struct HelperIpv6Reply {
  HelperIpv6Address address;
  std::uint32_t status;  // an IP_STATUS code
  std::uint32_t round_trip_ms;
};
static_assert(sizeof(HelperIpv6Address) == 26 && offsetof(HelperIpv6Address, address) == 6 &&
              offsetof(HelperIpv6Address, scope_id) == 22);
static_assert(offsetof(HelperIpv6Reply, status) == 28 &&
              offsetof(HelperIpv6Reply, round_trip_ms) == 32 && sizeof(HelperIpv6Reply) == 36);

// The helper's functions, resolved once per process and kept (the DLL is
// never unloaded): the library's one process-wide value, constant once made.
// A function the helper lacks stays null; a family needs all of its own.
struct IcmpHelper {
  decltype(&IcmpCreateFile) create_file;
  decltype(&IcmpSendEcho) send_echo;
  decltype(&IcmpCloseHandle) close_handle;
  decltype(&Icmp6CreateFile) create_file6;
  decltype(&Icmp6SendEcho2) send_echo6;
  decltype(&Icmp6ParseReplies) parse_replies6;

  bool serves(IpFamily family) const {
    return close_handle != nullptr &&
           (family == IpFamily::v4
                ? create_file != nullptr && send_echo != nullptr
                : create_file6 != nullptr && send_echo6 != nullptr && parse_replies6 != nullptr);
  }
};

template <typename Function>
Function resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

BOOL CALLBACK load_icmp_helper(PINIT_ONCE, PVOID helper, PVOID*) {
  const HMODULE module = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return TRUE;  // no helper, for good: nothing is loaded per call
  *static_cast<IcmpHelper*>(helper) = {
      resolve<decltype(&IcmpCreateFile)>(module, "IcmpCreateFile"),
      resolve<decltype(&IcmpSendEcho)>(module, "IcmpSendEcho"),
      resolve<decltype(&IcmpCloseHandle)>(module, "IcmpCloseHandle"),
      resolve<decltype(&Icmp6CreateFile)>(module, "Icmp6CreateFile"),
      resolve<decltype(&Icmp6SendEcho2)>(module, "Icmp6SendEcho2"),
      resolve<decltype(&Icmp6ParseReplies)>(module, "Icmp6ParseReplies")};
  return TRUE;
}

// The helper's table, made at the first call that needs it. Safe on any thread.
const IcmpHelper& icmp_helper() {
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  static IcmpHelper helper{};
  InitOnceExecuteOnce(&once, load_icmp_helper, &helper, nullptr);
  return helper;
}

SOCKET native(const IcmpSocket& socket) { return static_cast<SOCKET>(socket.handle); }
HANDLE helper(const IcmpSocket& socket) { return reinterpret_cast<HANDLE>(socket.handle); }

sockaddr_in socket_address(const IpAddress& address) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  std::memcpy(&result.sin_addr, address.bytes, 4);
  return result;
}

sockaddr_in6 socket_address6(const IpAddress& address) {
  sockaddr_in6 result{};
  result.sin6_family = AF_INET6;
  std::memcpy(&result.sin6_addr, address.bytes, 16);
  result.sin6_scope_id = address.scope_id;
  return result;
}

bool set_timeout(const IcmpSocket& socket, int option, std::uint32_t milliseconds) {
  const DWORD value = milliseconds;  // Winsock takes a 4-byte count of milliseconds
  return setsockopt(native(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                    sizeof value) != SOCKET_ERROR;
}

std::uint32_t read_le32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// What the helper made of one echo: a reply with IP_SUCCESS, or nothing.
struct HelperReply {
  bool answered;
  IpAddress sender;
  std::uint32_t round_trip_ms;
  const std::uint8_t* data;
  std::size_t data_size;
};

HelperReply echo_ipv4(const IcmpSocket& socket, std::span<std::uint8_t> reply_area,
                      std::uint32_t wait_ms) {
  IPAddr destination;
  std::memcpy(&destination, socket.pending_destination.bytes, 4);
  const DWORD replies = icmp_helper().send_echo(
      helper(socket), destination, const_cast<std::uint8_t*>(socket.pending_data),
      sizeof socket.pending_data, nullptr, reply_area.data(), static_cast<DWORD>(reply_area.size()),
      wait_ms);
  ICMP_ECHO_REPLY reply;
  std::memcpy(&reply, reply_area.data(), sizeof reply);
  if (replies == 0 || reply.Status != IP_SUCCESS) return {};
  return {true, ipv4_address(reply.Address), reply.RoundTripTime,
          static_cast<const std::uint8_t*>(reply.Data),
          reply.Data == nullptr ? 0 : std::size_t{reply.DataSize}};
}

// No event and no APC, so the helper waits; from any source address. Its
// reply carries no data size: the echoed data is as long as the request's.
HelperReply echo_ipv6(const IcmpSocket& socket, std::span<std::uint8_t> reply_area,
                      std::uint32_t wait_ms) {
  sockaddr_in6 source{};
  source.sin6_family = AF_INET6;
  sockaddr_in6 destination = socket_address6(socket.pending_destination);
  const IcmpHelper& functions = icmp_helper();
  const DWORD replies = functions.send_echo6(
      helper(socket), nullptr, nullptr, nullptr, &source, &destination,
      const_cast<std::uint8_t*>(socket.pending_data), sizeof socket.pending_data, nullptr,
      reply_area.data(), static_cast<DWORD>(reply_area.size()), wait_ms);
  if (replies == 0 ||
      functions.parse_replies6(reply_area.data(), static_cast<DWORD>(reply_area.size())) == 0) {
    return {};
  }
  HelperIpv6Reply reply;
  std::memcpy(&reply, reply_area.data(), sizeof reply);
  if (reply.status != IP_SUCCESS) return {};
  IpAddress sender{IpFamily::v6, {}, reply.address.scope_id};
  std::memcpy(sender.bytes, reply.address.address, sizeof sender.bytes);
  return {true, sender, reply.round_trip_ms, reply_area.data() + sizeof reply,
          sizeof socket.pending_data};
}

// One echo through the helper, waiting at most `wait_ms`. A reply is handed
// over as the echo reply message it was, timed by the helper's own round trip;
// an error status, a time-out or a second receive (the helper sends only
// once) end the wait.
Received exchange_through_helper(IcmpSocket& socket, std::span<std::uint8_t> buffer,
                                 std::uint32_t wait_ms) {
  socket.reply_time = SystemIcmp::tick_count_ms();
  if (!socket.request_pending) return {ReceiveStatus::failed, 0, {}};
  socket.request_pending = false;
  // As the helper asks: one reply, its data, 8 bytes for an ICMP error, and
  // (IPv6) the status block of the system's own request.
  alignas(8) std::uint8_t reply_area[std::max(sizeof(ICMP_ECHO_REPLY), sizeof(HelperIpv6Reply)) +
                                     sizeof socket.pending_data + kIcmpHeaderSize +
                                     sizeof(IO_STATUS_BLOCK)];
  const bool v4 = socket.family == IpFamily::v4;
  const HelperReply reply =
      v4 ? echo_ipv4(socket, reply_area, wait_ms) : echo_ipv6(socket, reply_area, wait_ms);
  if (!reply.answered) return {ReceiveStatus::failed, 0, {}};
  const std::size_t data_size = std::min(reply.data_size, buffer.size() - kIcmpHeaderSize);
  std::memset(buffer.data(), 0, kIcmpHeaderSize);
  buffer[0] = v4 ? 0 : kIcmp6EchoReplyType;
  if (data_size > 0) std::memcpy(buffer.data() + kIcmpHeaderSize, reply.data, data_size);
  socket.reply_time = read_le32(socket.pending_data) + reply.round_trip_ms;
  return {ReceiveStatus::datagram, kIcmpHeaderSize + data_size, reply.sender};
}

// A helper's handle for `family`, in place of a socket.
bool open_through_helper(IcmpSocket& socket, IpFamily family) {
  const IcmpHelper& functions = icmp_helper();
  if (!functions.serves(family)) return false;
  const HANDLE handle = family == IpFamily::v4 ? functions.create_file() : functions.create_file6();
  if (handle == INVALID_HANDLE_VALUE) return false;
  socket = {};
  socket.handle = reinterpret_cast<std::uintptr_t>(handle);
  socket.family = family;
  socket.through_helper = true;
  return true;
}

}  // namespace

bool SystemIcmp::open_socket(IcmpSocket& socket, IpFamily family) {
  if (family == IpFamily::v6) return open_through_helper(socket, family);
  const SOCKET opened =
      WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (opened != INVALID_SOCKET) {
    socket = {};
    socket.handle = static_cast<std::uintptr_t>(opened);
    socket.family = family;
    return true;
  }
  return WSAGetLastError() == WSAEACCES && open_through_helper(socket, family);
}

// Raw sockets deliver the IPv4 header; the helper's exchanges are rebuilt as
// bare messages.
bool SystemIcmp::delivers_ipv4_header(const IcmpSocket& socket) { return !socket.through_helper; }

// The helper writes its own identifier and hands back only its own reply.
bool SystemIcmp::kernel_owns_identifier(const IcmpSocket& socket) { return socket.through_helper; }

bool SystemIcmp::set_receive_timeout(IcmpSocket& socket, std::uint32_t milliseconds) {
  if (!socket.through_helper && !set_timeout(socket, SO_RCVTIMEO, milliseconds)) return false;
  socket.receive_timeout_ms = milliseconds;
  return true;
}

bool SystemIcmp::set_send_timeout(const IcmpSocket& socket, std::uint32_t milliseconds) {
  return socket.through_helper || set_timeout(socket, SO_SNDTIMEO, milliseconds);
}

std::uint32_t SystemIcmp::convert_dotted(const char* name) { return inet_addr(name); }

// IPv6 literals first (the scope is an interface number, as ping.exe takes
// it: `fe80::1%12`), then the name's first IPv4 address as ever, and its IPv6
// address only when it has no IPv4 one.
bool SystemIcmp::look_up_name(const char* name, IpAddress& address) {
  if (std::strchr(name, ':') != nullptr) {
    return parse_ipv6_literal(
        name,
        [](const char* text, std::uint8_t* bytes) { return inet_pton(AF_INET6, text, bytes) == 1; },
        [](const char*) { return 0u; }, address);
  }
  // Winsock keeps gethostbyname's answer per thread, so this is thread-safe.
  const hostent* found = gethostbyname(name);
  if (found != nullptr && found->h_addrtype == AF_INET && found->h_length == 4 &&
      found->h_addr_list[0] != nullptr) {
    address = {IpFamily::v4, {}, 0};
    std::memcpy(address.bytes, found->h_addr_list[0], 4);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  addrinfo* answers = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answers) != 0) return false;
  const bool usable = answers != nullptr && answers->ai_family == AF_INET6 &&
                      answers->ai_addrlen >= sizeof(sockaddr_in6);
  if (usable) {
    sockaddr_in6 first;
    std::memcpy(&first, answers->ai_addr, sizeof first);
    address = {IpFamily::v6, {}, static_cast<std::uint32_t>(first.sin6_scope_id)};
    std::memcpy(address.bytes, &first.sin6_addr, sizeof address.bytes);
  }
  freeaddrinfo(answers);
  return usable;
}

bool SystemIcmp::send_to(IcmpSocket& socket, std::span<const std::uint8_t> message,
                         const IpAddress& address) {
  if (socket.through_helper) {
    // The helper builds the header itself; only the data is ours.
    if (message.size() != kIcmpHeaderSize + sizeof socket.pending_data) return false;
    socket.pending_destination = address;
    std::memcpy(socket.pending_data, message.data() + kIcmpHeaderSize, sizeof socket.pending_data);
    socket.request_pending = true;
    return true;
  }
  const sockaddr_in destination = socket_address(address);
  return sendto(native(socket), reinterpret_cast<const char*>(message.data()),
                static_cast<int>(message.size()), 0,
                reinterpret_cast<const sockaddr*>(&destination),
                sizeof destination) != SOCKET_ERROR;
}

// A raw socket's receive waits as long as its receive time-out says.
Received SystemIcmp::receive(IcmpSocket& socket, std::span<std::uint8_t> buffer,
                             std::uint32_t wait_ms) {
  if (socket.through_helper) return exchange_through_helper(socket, buffer, wait_ms);
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

std::uint32_t SystemIcmp::receive_time(const IcmpSocket& socket) {
  return socket.through_helper ? socket.reply_time : tick_count_ms();
}

void SystemIcmp::close_socket(const IcmpSocket& socket) {
  if (socket.through_helper) {
    icmp_helper().close_handle(helper(socket));
  } else {
    closesocket(native(socket));
  }
}

// GetTickCount advances in steps of 10 to 16 ms; the performance counter
// gives whole milliseconds, still as a wrapping 32-bit count.
std::uint32_t SystemIcmp::tick_count_ms() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return counter_milliseconds(static_cast<std::uint64_t>(counter.QuadPart),
                              static_cast<std::uint64_t>(frequency.QuadPart));
}

std::uint32_t SystemIcmp::process_id() { return GetCurrentProcessId(); }

}  // namespace pingext::platform
