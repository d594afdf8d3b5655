// Windows: IPv4 through a raw ICMP socket of Windows Sockets 2, which
// administrators may open. Everyone else is refused it, and raw support also
// depends on the provider: whatever the refusal, the exchange goes through
// the ICMP helper of IPHLPAPI, which every user may use. IPv6 goes through
// the helper's IPv6 functions for every user, as the system's ping does. The
// helper sends one echo and waits for its reply in one call, which the send
// makes; the exchange then hands over what it answered.
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

#include "platform/echo_exchange.h"
#include "probe/ipv6_literal.h"
#include "probe/millisecond_clock.h"

namespace pingext::platform {
namespace {

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kRequestDataSize = sizeof ExchangeRecord::echoed;  // our send time

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
// never unloaded): a process-wide value, constant once made. A function the
// helper lacks stays null; a family needs all of its own.
struct IcmpHelper {
  decltype(&IcmpCreateFile) create_file;
  decltype(&IcmpSendEcho) send_echo;
  decltype(&IcmpCloseHandle) close_handle;
  decltype(&Icmp6CreateFile) create_file6;
  decltype(&Icmp6SendEcho2) send_echo6;
  decltype(&Icmp6ParseReplies) parse_replies6;
  decltype(&if_indextoname) index_to_name;

  bool serves(IpFamily family) const {
    return close_handle != nullptr &&
           (family == IpFamily::v4
                ? create_file != nullptr && send_echo != nullptr
                : create_file6 != nullptr && send_echo6 != nullptr && parse_replies6 != nullptr);
  }
};

template <typename Function>
Function resolve_function(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

BOOL CALLBACK load_icmp_helper(PINIT_ONCE, PVOID helper, PVOID*) {
  const HMODULE module = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return TRUE;  // no helper, for good: nothing is loaded per call
  *static_cast<IcmpHelper*>(helper) = {
      resolve_function<decltype(&IcmpCreateFile)>(module, "IcmpCreateFile"),
      resolve_function<decltype(&IcmpSendEcho)>(module, "IcmpSendEcho"),
      resolve_function<decltype(&IcmpCloseHandle)>(module, "IcmpCloseHandle"),
      resolve_function<decltype(&Icmp6CreateFile)>(module, "Icmp6CreateFile"),
      resolve_function<decltype(&Icmp6SendEcho2)>(module, "Icmp6SendEcho2"),
      resolve_function<decltype(&Icmp6ParseReplies)>(module, "Icmp6ParseReplies"),
      resolve_function<decltype(&if_indextoname)>(module, "if_indextoname")};
  return TRUE;
}

// The helper's table, made at the first call that needs it. Safe on any thread.
const IcmpHelper& icmp_helper() {
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  static IcmpHelper helper{};
  InitOnceExecuteOnce(&once, load_icmp_helper, &helper, nullptr);
  return helper;
}

SOCKET native(const ExchangeRecord& exchange) { return static_cast<SOCKET>(exchange.socket); }
HANDLE helper_handle(const ExchangeRecord& exchange) { return exchange.helper; }

sockaddr_in6 socket_address6(const IpAddress& address) {
  sockaddr_in6 result{};
  result.sin6_family = AF_INET6;
  std::memcpy(&result.sin6_addr, address.bytes, 16);
  result.sin6_scope_id = address.scope_id;
  return result;
}

// What the helper made of one echo.
struct HelperReply {
  HelperOutcome outcome;
  bool no_route;
  IpAddress sender;
  std::uint32_t round_trip_ms;
  const std::uint8_t* data;
  std::size_t data_size;
};

// Where the system has no route to the destination, the helper says so as
// the error of a failed call or as the status of its reply (ping.exe shows
// "Destination host unreachable", or "General failure").
bool means_no_route(DWORD code) {
  switch (code) {
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
    case IP_DEST_NET_UNREACHABLE:
    case IP_DEST_HOST_UNREACHABLE:
    case IP_GENERAL_FAILURE:
      return true;
    default:
      return false;
  }
}

// A call that returns no reply says why in the thread's last error: the
// deadline passed, or nothing could be sent.
HelperReply without_reply() {
  const DWORD error = GetLastError();
  if (error == IP_REQ_TIMED_OUT) return {HelperOutcome::timed_out, false, {}, 0, nullptr, 0};
  return {HelperOutcome::failed, means_no_route(error), {}, 0, nullptr, 0};
}

// A reply whose status is not a success: an ICMP error, or no route.
HelperReply failed_reply(ULONG status) {
  return {HelperOutcome::failed, means_no_route(status), {}, 0, nullptr, 0};
}

HelperReply echo_ipv4(HANDLE handle, const IpAddress& destination, const std::uint8_t* data,
                      std::span<std::uint8_t> reply_area, std::uint32_t wait_ms) {
  IPAddr to;
  std::memcpy(&to, destination.bytes, 4);
  const DWORD replies = icmp_helper().send_echo(handle, to, const_cast<std::uint8_t*>(data),
                                                kRequestDataSize, nullptr, reply_area.data(),
                                                static_cast<DWORD>(reply_area.size()), wait_ms);
  if (replies == 0) return without_reply();
  ICMP_ECHO_REPLY reply;
  std::memcpy(&reply, reply_area.data(), sizeof reply);
  if (reply.Status != IP_SUCCESS) return failed_reply(reply.Status);
  // The echoed data is the helper's to place and size: only what lies within
  // the reply area is read.
  const auto* echoed = static_cast<const std::uint8_t*>(reply.Data);
  const std::uint8_t* const area_end = reply_area.data() + reply_area.size();
  const bool inside = echoed >= reply_area.data() && echoed <= area_end;
  const std::size_t size =
      inside ? std::min<std::size_t>(reply.DataSize, static_cast<std::size_t>(area_end - echoed))
             : 0;
  return {HelperOutcome::answered, false,  ipv4_address(reply.Address),
          reply.RoundTripTime,     echoed, size};
}

// No event and no APC, so the helper waits; from any source address. Its
// reply carries no data size: the echoed data is as long as the request's.
HelperReply echo_ipv6(HANDLE handle, const IpAddress& destination, const std::uint8_t* data,
                      std::span<std::uint8_t> reply_area, std::uint32_t wait_ms) {
  sockaddr_in6 source{};
  source.sin6_family = AF_INET6;
  sockaddr_in6 to = socket_address6(destination);
  const IcmpHelper& functions = icmp_helper();
  const DWORD replies = functions.send_echo6(
      handle, nullptr, nullptr, nullptr, &source, &to, const_cast<std::uint8_t*>(data),
      kRequestDataSize, nullptr, reply_area.data(), static_cast<DWORD>(reply_area.size()), wait_ms);
  if (replies == 0) return without_reply();
  if (functions.parse_replies6(reply_area.data(), static_cast<DWORD>(reply_area.size())) == 0) {
    return {HelperOutcome::failed, false, {}, 0, nullptr, 0};
  }
  HelperIpv6Reply reply;
  std::memcpy(&reply, reply_area.data(), sizeof reply);
  if (reply.status != IP_SUCCESS) return failed_reply(reply.status);
  IpAddress sender{IpFamily::v6, {}, reply.address.scope_id};
  std::memcpy(sender.bytes, reply.address.address, sizeof sender.bytes);
  return {HelperOutcome::answered,          false,           sender, reply.round_trip_ms,
          reply_area.data() + sizeof reply, kRequestDataSize};
}

// The helper's one echo, waiting at most until the deadline. A reply is kept
// to be handed over as the echo reply message it was, timed by the helper's
// own round trip.
Sent echo_through_helper(ExchangeRecord& exchange, std::span<const std::uint8_t> request,
                         const IpAddress& destination) {
  const std::uint32_t started_ms = SystemEcho::now_ms();
  const auto wait_ms = static_cast<std::int32_t>(exchange.deadline_ms - started_ms);
  // The helper builds the header itself; only the data is ours.
  if (wait_ms <= 0 || request.size() != kIcmpHeaderSize + kRequestDataSize) return Sent::failed;
  // As the helper asks: one reply, its data, 8 bytes for an ICMP error, and
  // (IPv6) the status block of the system's own request. Zeroed, so that a
  // reply shorter than ours is judged by nothing left from before.
  alignas(8)
      std::uint8_t reply_area[std::max(sizeof(ICMP_ECHO_REPLY), sizeof(HelperIpv6Reply)) +
                              kRequestDataSize + kIcmpHeaderSize + sizeof(IO_STATUS_BLOCK)]{};
  const std::uint8_t* const data = request.data() + kIcmpHeaderSize;
  const auto wait = static_cast<std::uint32_t>(wait_ms);
  const HelperReply reply =
      exchange.family == IpFamily::v4
          ? echo_ipv4(helper_handle(exchange), destination, data, reply_area, wait)
          : echo_ipv6(helper_handle(exchange), destination, data, reply_area, wait);
  if (reply.no_route) return Sent::no_route;
  exchange.helper_outcome = reply.outcome;
  if (reply.outcome == HelperOutcome::answered) {
    exchange.reply_sender = reply.sender;
    exchange.echoed_size = static_cast<std::uint8_t>(std::min(reply.data_size, kRequestDataSize));
    std::memcpy(exchange.echoed, reply.data, exchange.echoed_size);
    // The helper's round trip cannot outlast the wait it just returned from.
    const std::uint32_t elapsed_ms = SystemEcho::now_ms() - started_ms;
    exchange.reply_arrived_ms = started_ms + std::min(reply.round_trip_ms, elapsed_ms);
  }
  return Sent::sent;
}

// The helper's reply, once, as the echo reply message it was.
Next hand_over_helper_reply(ExchangeRecord& exchange, std::span<std::uint8_t> buffer,
                            Arrival& arrival) {
  switch (exchange.helper_outcome) {
    case HelperOutcome::answered:
      break;
    case HelperOutcome::failed:
      return Next::failed;
    default:
      return Next::deadline_passed;
  }
  exchange.helper_outcome = HelperOutcome::handed_over;
  std::memset(buffer.data(), 0, kIcmpHeaderSize);
  buffer[0] = echo_reply_type(exchange.family);
  std::memcpy(buffer.data() + kIcmpHeaderSize, exchange.echoed, exchange.echoed_size);
  arrival = {{exchange.reply_sender, buffer.first(kIcmpHeaderSize + exchange.echoed_size)},
             exchange.reply_arrived_ms};
  return Next::arrival;
}

// A helper's handle for `family`.
bool open_through_helper(ExchangeRecord& exchange, IpFamily family) {
  const IcmpHelper& functions = icmp_helper();
  if (!functions.serves(family)) return false;
  const HANDLE handle = family == IpFamily::v4 ? functions.create_file() : functions.create_file6();
  if (handle == INVALID_HANDLE_VALUE) return false;
  exchange.helper = handle;
  exchange.through_helper = true;
  return true;
}

// The first answer of `family`, or null.
const addrinfo* first_of(const addrinfo* answers, int family) {
  const std::size_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  for (; answers != nullptr; answers = answers->ai_next) {
    if (answers->ai_family == family && answers->ai_addrlen >= length) return answers;
  }
  return nullptr;
}

IpAddress ip_address(const addrinfo& answer) {
  if (answer.ai_family == AF_INET) {
    sockaddr_in address;
    std::memcpy(&address, answer.ai_addr, sizeof address);
    return ipv4_address(address.sin_addr.s_addr);
  }
  sockaddr_in6 address;
  std::memcpy(&address, answer.ai_addr, sizeof address);
  IpAddress result{IpFamily::v6, {}, static_cast<std::uint32_t>(address.sin6_scope_id)};
  std::memcpy(result.bytes, &address.sin6_addr, sizeof result.bytes);
  return result;
}

}  // namespace

// An IPv6 literal (its scope an interface number, as ping.exe takes it:
// `fe80::1%12`, which must name an interface; IPv6 goes through the helper,
// whose DLL knows them); a dotted-decimal IPv4 address as inet_addr reads it;
// else one lookup of both families. A name's first IPv4 address comes first,
// its first IPv6 address is the other.
bool SystemEcho::resolve(const char* name, Target& target) {
  target = {};
  if (std::strchr(name, ':') != nullptr) {
    return parse_ipv6_literal(
        name,
        [](const char* text, std::uint8_t* bytes) { return inet_pton(AF_INET6, text, bytes) == 1; },
        [](const char*) { return 0u; },
        [](std::uint32_t index) {
          const auto index_to_name = icmp_helper().index_to_name;
          char interface_name[IF_MAX_STRING_SIZE + 1];  // IF_NAMESIZE
          return index_to_name != nullptr && index_to_name(index, interface_name) != nullptr;
        },
        target.first);
  }
  const unsigned long dotted = inet_addr(name);
  if (dotted != INADDR_NONE) {
    target.first = ipv4_address(static_cast<std::uint32_t>(dotted));
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  addrinfo* answers = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answers) != 0) return false;
  const bool found = target_from_answers(
      first_of(answers, AF_INET), first_of(answers, AF_INET6),
      [](const addrinfo& answer) { return ip_address(answer); }, target);
  freeaddrinfo(answers);
  return found;
}

// The raw socket is not inheritable: a host that starts a child process
// during a call must not hand it an administrator's raw socket.
bool SystemEcho::open(ExchangeRecord& exchange, IpFamily family, RequestIdentity& identity) {
  exchange = {};
  exchange.family = family;
  if (family == IpFamily::v4) {
    const SOCKET opened = WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (opened != INVALID_SOCKET) {
      exchange.socket = static_cast<std::uintptr_t>(opened);
      identity = {echo_identifier(GetCurrentProcessId()), false};
      return true;
    }
  }
  // The helper writes its own identifier and hands back only its own reply.
  identity = {0, true};
  return open_through_helper(exchange, family);
}

Sent SystemEcho::send(ExchangeRecord& exchange, std::span<const std::uint8_t> request,
                      const IpAddress& destination, std::uint32_t deadline_ms) {
  exchange.deadline_ms = deadline_ms;
  if (exchange.through_helper) return echo_through_helper(exchange, request, destination);
  // The send too waits at most until the deadline.
  const auto left_ms = static_cast<std::int32_t>(deadline_ms - now_ms());
  const DWORD send_timeout_ms = left_ms > 0 ? static_cast<DWORD>(left_ms) : 1;
  setsockopt(native(exchange), SOL_SOCKET, SO_SNDTIMEO,
             reinterpret_cast<const char*>(&send_timeout_ms), sizeof send_timeout_ms);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr, destination.bytes, 4);
  if (sendto(native(exchange), reinterpret_cast<const char*>(request.data()),
             static_cast<int>(request.size()), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to) != SOCKET_ERROR) {
    return Sent::sent;
  }
  const int error = WSAGetLastError();
  return error == WSAENETUNREACH || error == WSAEHOSTUNREACH || error == WSAEADDRNOTAVAIL
             ? Sent::no_route
             : Sent::failed;
}

// Windows stamps nothing that a raw socket receives, so each message is timed
// when it is read.
Next SystemEcho::next(ExchangeRecord& exchange, std::span<std::uint8_t, kPacketBufferSize> buffer,
                      Arrival& arrival) {
  if (exchange.through_helper) return hand_over_helper_reply(exchange, buffer, arrival);
  for (;;) {
    // Messages that arrive within the deadline's own millisecond still count.
    const auto left_ms = static_cast<std::int32_t>(exchange.deadline_ms - now_ms());
    WSAPOLLFD ready{native(exchange), POLLRDNORM, 0};
    const int polled = WSAPoll(&ready, 1, left_ms < 0 ? 0 : left_ms + 1);
    if (polled == SOCKET_ERROR) return Next::failed;
    if (polled == 0) {
      if (left_ms < 0) return Next::deadline_passed;
      continue;
    }
    sockaddr_in sender{};
    int sender_length = sizeof sender;
    const int length = recvfrom(native(exchange), reinterpret_cast<char*>(buffer.data()),
                                static_cast<int>(buffer.size()), 0,
                                reinterpret_cast<sockaddr*>(&sender), &sender_length);
    arrival.arrived_ms = now_ms();
    if (length != SOCKET_ERROR) {
      // Raw sockets deliver the IPv4 header, whose source is the sender.
      arrival.message = split_ipv4_datagram(buffer.first(static_cast<std::size_t>(length)));
      return Next::arrival;
    }
    switch (WSAGetLastError()) {
      case WSAEMSGSIZE:  // longer than the buffer, and the rest is gone: nothing usable
        arrival.message = {ipv4_address(sender.sin_addr.s_addr), {}};
        return Next::arrival;
      case WSAEINTR:
      case WSAEWOULDBLOCK:
        continue;
      default:
        return Next::failed;
    }
  }
}

void SystemEcho::close(ExchangeRecord& exchange) {
  if (exchange.through_helper) {
    icmp_helper().close_handle(helper_handle(exchange));
  } else {
    closesocket(native(exchange));
  }
}

// GetTickCount advances in steps of 10 to 16 ms; the performance counter
// gives whole milliseconds, still as a wrapping 32-bit count.
std::uint32_t SystemEcho::now_ms() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return counter_milliseconds(static_cast<std::uint64_t>(counter.QuadPart),
                              static_cast<std::uint64_t>(frequency.QuadPart));
}

}  // namespace pingext::platform
