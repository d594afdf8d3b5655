// Windows: a raw ICMP socket through Windows Sockets 2, which administrators
// may open. Everyone else is refused it with WSAEACCES, and only then the
// exchange goes through the ICMP helper of IPHLPAPI, which every user may
// use: it sends one echo and waits for its reply in one call, so send_to
// leaves the request in the socket record and receive makes the exchange.
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

#include <algorithm>
#include <cstring>

#include "platform/counter_milliseconds.h"
#include "platform/icmp_platform.h"

namespace pingext::platform {
namespace {

constexpr std::size_t kIcmpHeaderSize = 8;

// The helper's functions, resolved once per process and kept (the DLL is
// never unloaded): the library's one process-wide value, constant once made.
struct IcmpHelper {
  decltype(&IcmpCreateFile) create_file;
  decltype(&IcmpSendEcho) send_echo;
  decltype(&IcmpCloseHandle) close_handle;
};

template <typename Function>
Function resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

BOOL CALLBACK load_icmp_helper(PINIT_ONCE, PVOID helper, PVOID*) {
  const HMODULE module = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return TRUE;  // no helper, for good: nothing is loaded per call
  const IcmpHelper found{resolve<decltype(&IcmpCreateFile)>(module, "IcmpCreateFile"),
                         resolve<decltype(&IcmpSendEcho)>(module, "IcmpSendEcho"),
                         resolve<decltype(&IcmpCloseHandle)>(module, "IcmpCloseHandle")};
  if (found.create_file != nullptr && found.send_echo != nullptr && found.close_handle != nullptr) {
    *static_cast<IcmpHelper*>(helper) = found;
  }
  return TRUE;
}

// Null when the helper cannot be loaded. Safe on any thread.
const IcmpHelper* icmp_helper() {
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  static IcmpHelper helper{};
  InitOnceExecuteOnce(&once, load_icmp_helper, &helper, nullptr);
  return helper.create_file != nullptr ? &helper : nullptr;
}

SOCKET native(const IcmpSocket& socket) { return static_cast<SOCKET>(socket.handle); }
HANDLE helper(const IcmpSocket& socket) { return reinterpret_cast<HANDLE>(socket.handle); }

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

std::uint32_t read_le32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
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
  // The reply, its echoed data, and room for an ICMP error, as the helper asks.
  alignas(ICMP_ECHO_REPLY) unsigned char reply_area[sizeof(ICMP_ECHO_REPLY) + 64];
  const DWORD replies = icmp_helper()->send_echo(helper(socket), socket.pending_destination,
                                                 socket.pending_data, sizeof socket.pending_data,
                                                 nullptr, reply_area, sizeof reply_area, wait_ms);
  ICMP_ECHO_REPLY reply;
  std::memcpy(&reply, reply_area, sizeof reply);
  if (replies == 0 || reply.Status != IP_SUCCESS) return {ReceiveStatus::failed, 0, {}};
  const std::size_t data_size =
      reply.Data == nullptr
          ? 0
          : std::min<std::size_t>(reply.DataSize, buffer.size() - kIcmpHeaderSize);
  std::memset(buffer.data(), 0, kIcmpHeaderSize);  // type 0: echo reply
  if (data_size > 0) std::memcpy(buffer.data() + kIcmpHeaderSize, reply.Data, data_size);
  socket.reply_time = read_le32(socket.pending_data) + reply.RoundTripTime;
  return {ReceiveStatus::datagram, kIcmpHeaderSize + data_size, ipv4_address(reply.Address)};
}

}  // namespace

bool SystemIcmp::open_socket(IcmpSocket& socket, IpFamily family) {
  if (family != IpFamily::v4) return false;
  const SOCKET opened =
      WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (opened != INVALID_SOCKET) {
    socket = {};
    socket.handle = static_cast<std::uintptr_t>(opened);
    return true;
  }
  if (WSAGetLastError() != WSAEACCES) return false;
  const IcmpHelper* const functions = icmp_helper();
  if (functions == nullptr) return false;
  const HANDLE handle = functions->create_file();
  if (handle == INVALID_HANDLE_VALUE) return false;
  socket = {};
  socket.handle = reinterpret_cast<std::uintptr_t>(handle);
  socket.through_helper = true;
  return true;
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
  if (socket.through_helper) {
    // The helper builds the header itself; only the data is ours.
    if (message.size() != kIcmpHeaderSize + sizeof socket.pending_data) return false;
    std::memcpy(&socket.pending_destination, address.bytes, 4);
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
    icmp_helper()->close_handle(helper(socket));
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
