// A double of the system's ICMP helper for the Windows tests, since Wine has
// no ICMPv6. Installed as system32\iphlpapi.dll of the tests' Wine prefix, it
// answers Icmp6SendEcho2 as tests/peer/fault_script.h scripts each IPv6 row,
// and ::1, fd00::1 and fe80::1%1 as the namespace's kernel would; every other export is
// forwarded to Wine's own, copied beside it as iphlpwine.dll. It follows the
// helper's documentation: replies counted, time-outs as 0 replies with
// IP_REQ_TIMED_OUT, ICMP errors as one reply with their status, the SDK's
// reply layout, IP_BUF_TOO_SMALL and ERROR_INVALID_PARAMETER. Asynchronous
// calls and a source other than ::, which the library never makes, are refused.
#include <winsock2.h>
//
#include <windows.h>
//
#include <iphlpapi.h>
#include <winternl.h>
#include <ws2tcpip.h>

#include <cstring>

#include "tests/peer/fault_script.h"

namespace {

using pingext::testing::Behaviour;
using pingext::testing::FaultCase;

// ICMPV6_ECHO_REPLY_LH as the SDK declares it (ipexport.h), written out here
// rather than shared with the library, so a layout mistake on either side shows.
#pragma pack(push, 1)
struct Ipv6AddressEx {
  USHORT sin6_port;
  ULONG sin6_flowinfo;
  USHORT sin6_addr[8];
  ULONG sin6_scope_id;
};
#pragma pack(pop)
struct Icmpv6EchoReply {
  Ipv6AddressEx Address;
  ULONG Status;
  unsigned int RoundTripTime;
};

// The handles this double gave out; IcmpCloseHandle passes the others on.
HANDLE g_handles[64];

bool ours(HANDLE handle, bool release) {
  for (HANDLE& slot : g_handles) {
    if (handle == nullptr || slot != handle) continue;
    return !release || InterlockedCompareExchangePointer(&slot, nullptr, handle) == handle;
  }
  return false;
}

bool kernel_echo_off() {
  const HANDLE file = CreateFileA("Z:\\proc\\sys\\net\\ipv6\\icmp\\echo_ignore_all", GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  char value = '0';
  DWORD read = 0;
  if (file != INVALID_HANDLE_VALUE) {
    ReadFile(file, &value, 1, &read, nullptr);
    CloseHandle(file);
  }
  return value == '1';
}

const FaultCase* row_for(const in6_addr& address) {
  for (const FaultCase& row : pingext::testing::kFaultCases) {
    in6_addr scripted;
    if (inet_pton(AF_INET6, row.address, &scripted) == 1 &&
        std::memcmp(&scripted, &address, sizeof address) == 0) {
      return &row;
    }
  }
  return nullptr;
}

DWORD fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

extern "C" {

HANDLE WINAPI Icmp6CreateFile() {
  const HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  for (HANDLE& slot : g_handles) {
    if (handle != nullptr && InterlockedCompareExchangePointer(&slot, handle, nullptr) == nullptr) {
      return handle;
    }
  }
  if (handle != nullptr) CloseHandle(handle);
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI IcmpCloseHandle(HANDLE handle) {
  if (ours(handle, true)) return CloseHandle(handle);
  using Close = BOOL(WINAPI*)(HANDLE);
  static const Close wine_close = reinterpret_cast<Close>(reinterpret_cast<void (*)()>(
      GetProcAddress(LoadLibraryExW(L"iphlpwine.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32),
                     "IcmpCloseHandle")));
  return wine_close != nullptr && wine_close(handle);
}

DWORD WINAPI Icmp6SendEcho2(HANDLE handle, HANDLE event, PVOID apc_routine, PVOID apc_context,
                            sockaddr_in6* source, sockaddr_in6* destination, LPVOID data,
                            WORD data_size, PVOID options, LPVOID reply_buffer, DWORD reply_size,
                            DWORD timeout) {
  (void)apc_context;
  (void)options;
  if (!ours(handle, false)) return fail(ERROR_INVALID_HANDLE);
  if (event != nullptr || apc_routine != nullptr || source == nullptr || destination == nullptr ||
      source->sin6_family != AF_INET6 || destination->sin6_family != AF_INET6 ||
      !IN6_IS_ADDR_UNSPECIFIED(&source->sin6_addr) || (data == nullptr && data_size > 0) ||
      reply_buffer == nullptr) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (reply_size < sizeof(Icmpv6EchoReply) + data_size + 8 + sizeof(IO_STATUS_BLOCK)) {
    return fail(IP_BUF_TOO_SMALL);
  }
  Icmpv6EchoReply reply{};
  std::memcpy(reply.Address.sin6_addr, &destination->sin6_addr, 16);
  reply.Address.sin6_scope_id = destination->sin6_scope_id;
  unsigned char* const echoed = static_cast<unsigned char*>(reply_buffer) + sizeof reply;
  std::memcpy(echoed, data, data_size);

  const FaultCase* row = row_for(destination->sin6_addr);
  // The namespace's loopback holds fd00::1, fe80::1 is on interface 1 and
  // fe80::8 on interface 8.
  const in6_addr answered_by_kernel = {{{0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}};
  in6_addr link_local = {{{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}};
  link_local.s6_addr[15] = static_cast<unsigned char>(destination->sin6_scope_id);
  const bool kernel_answers =
      IN6_IS_ADDR_LOOPBACK(&destination->sin6_addr) ||
      IN6_ARE_ADDR_EQUAL(&destination->sin6_addr, &answered_by_kernel) ||
      ((destination->sin6_scope_id == 1 || destination->sin6_scope_id == 8) &&
       IN6_ARE_ADDR_EQUAL(&destination->sin6_addr, &link_local));
  const Behaviour behaviour = row != nullptr      ? row->behaviour
                              : !kernel_answers   ? Behaviour::unreachable
                              : kernel_echo_off() ? Behaviour::silent
                                                  : Behaviour::reply;
  const DWORD delay_ms = row != nullptr ? row->delay_ms : 0;
  switch (behaviour) {
    case Behaviour::reply:
    case Behaviour::reply_then_error:  // the helper takes the first
      if (delay_ms >= timeout) {
        Sleep(timeout);
        return fail(IP_REQ_TIMED_OUT);
      }
      Sleep(delay_ms);
      reply.RoundTripTime = delay_ms;
      break;
    case Behaviour::reply_from_next_address:
      reply.Address.sin6_addr[7] ^= 0x0100;  // the last byte
      break;
    case Behaviour::foreign_then_reply:
      echoed[0] ^= 0x01;  // the helper waits for one reply: here one with other data
      break;
    case Behaviour::unreachable:  // nothing but these lies on the namespace's loopback
      reply.Status = row != nullptr ? IP_DEST_ADDR_UNREACHABLE : IP_DEST_NO_ROUTE;
      break;
    case Behaviour::time_exceeded:
      reply.Status = IP_HOP_LIMIT_EXCEEDED;
      break;
    case Behaviour::packet_too_big:
      reply.Status = IP_PACKET_TOO_BIG;
      break;
    case Behaviour::parameter_problem:
      reply.Status = IP_PARAM_PROBLEM;
      break;
    default:
      Sleep(timeout);
      return fail(IP_REQ_TIMED_OUT);
  }
  std::memcpy(reply_buffer, &reply, sizeof reply);
  return 1;
}

DWORD WINAPI Icmp6ParseReplies(LPVOID reply_buffer, DWORD reply_size) {
  if (reply_buffer == nullptr || reply_size == 0) return fail(ERROR_GEN_FAILURE);
  Icmpv6EchoReply reply;
  std::memcpy(&reply, reply_buffer, sizeof reply);
  if (reply.Status == IP_SUCCESS || reply.Status == IP_HOP_LIMIT_EXCEEDED) return 1;
  return fail(reply.Status);
}

}  // extern "C"
