// Linux: an ICMP datagram ("ping") socket, which the groups in
// net.ipv4.ping_group_range may open, whoever the caller is; a raw ICMP socket
// (root or CAP_NET_RAW) only when the kernel refuses that. The kernel hands a
// datagram socket only the replies and errors carrying its own identifier,
// while every raw socket wakes for every ICMP message on the host: under many
// concurrent calls raw sockets cost far more and can overflow and lose replies.
// The same holds for IPv6 (ICMPv6 sockets, the same group range).
//
// Nothing here blocks in the kernel: receives and sends pass MSG_DONTWAIT and
// waits use poll, whose time-out is precise to well under a millisecond. So the
// sockets' own time-outs would never be used and are not set: SO_RCVTIMEO runs
// on the coarse timer wheel (tens of ms late at one second), and a send of one
// datagram on a fresh socket never waits for buffer space.
// net/if.h must come before the linux/ headers, which then leave its
// definitions alone.
#include <net/if.h>
//
#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/icmp_platform.h"
#include "platform/ipv6_literal.h"

namespace pingext::platform {
namespace {

constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::uint8_t kNextHeaderIcmp6 = 58;

bool is_v4(IpFamily family) { return family == IpFamily::v4; }

union SocketAddress {
  sockaddr any;
  sockaddr_in v4;
  sockaddr_in6 v6;
};

socklen_t socket_address(const IpAddress& address, SocketAddress& result) {
  result = {};
  if (is_v4(address.family)) {
    result.v4.sin_family = AF_INET;
    std::memcpy(&result.v4.sin_addr, address.bytes, 4);
    return sizeof result.v4;
  }
  result.v6.sin6_family = AF_INET6;
  std::memcpy(&result.v6.sin6_addr, address.bytes, 16);
  result.v6.sin6_scope_id = address.scope_id;
  return sizeof result.v6;
}

IpAddress ip_address(const SocketAddress& address) {
  if (address.any.sa_family == AF_INET6) {
    IpAddress result{IpFamily::v6, {}, address.v6.sin6_scope_id};
    std::memcpy(result.bytes, &address.v6.sin6_addr, 16);
    return result;
  }
  return ipv4_address(address.v4.sin_addr.s_addr);
}

// One datagram and its sender if one is queued, or too_long when it did not
// fit: the kernel then sets MSG_TRUNC in the message flags (datagram sockets
// ignore it as a request). Otherwise failed, and errno tells why (EAGAIN:
// nothing queued).
Received receive_queued(const IcmpSocket& socket, std::span<std::uint8_t> buffer) {
  iovec data{buffer.data(), buffer.size()};
  SocketAddress sender{};
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  const ssize_t length = recvmsg(socket.descriptor, &message, MSG_DONTWAIT);
  if (length < 0) return {ReceiveStatus::failed, 0, {}};
  if ((message.msg_flags & MSG_TRUNC) != 0) return {ReceiveStatus::too_long, 0, {}};
  return {ReceiveStatus::datagram, static_cast<std::size_t>(length), ip_address(sender)};
}

// The IP header of a request to `destination`, as an ICMP error quotes it.
void write_quoted_header(std::span<std::uint8_t> at, const SocketAddress& destination) {
  if (destination.any.sa_family == AF_INET6) {
    std::memset(at.data(), 0, kIpv6HeaderSize);
    at[0] = 0x60;  // version 6
    at[6] = kNextHeaderIcmp6;
    std::memcpy(&at[24], &destination.v6.sin6_addr, 16);
    return;
  }
  std::memset(at.data(), 0, kIpv4HeaderSize);
  at[0] = 0x45;  // version 4, 20 bytes
  at[9] = kProtocolIcmp;
  std::memcpy(&at[16], &destination.v4.sin_addr, 4);
}

// ICMP errors about a datagram socket's requests reach it only through its
// error queue, and only when asked for. Returns -1 with errno set when the
// kernel offers no such socket to this caller.
int open_datagram_socket(IpFamily family) {
  const int fd = ::socket(is_v4(family) ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC,
                          is_v4(family) ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6});
  if (fd < 0) return -1;
  const int on = 1;
  if (setsockopt(fd, is_v4(family) ? SOL_IP : SOL_IPV6, is_v4(family) ? IP_RECVERR : IPV6_RECVERR,
                 &on, sizeof on) != 0) {
    close(fd);
    errno = EINVAL;  // not a refusal: no fallback
    return -1;
  }
  return fd;
}

// Every raw socket receives a copy of every echo reply reaching the host, so
// with many calls at once the queue of a socket whose thread waits for a core
// fills with other calls' replies, and then its own is dropped. The queue is
// raised beyond the default (208 KB): forced, where the caller has
// CAP_NET_ADMIN, else as far as net.core.rmem_max lets it go.
constexpr int kRawReceiveBufferBytes = 4 << 20;

void raise_receive_buffer(int fd) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kRawReceiveBufferBytes,
                 sizeof kRawReceiveBufferBytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kRawReceiveBufferBytes, sizeof kRawReceiveBufferBytes);
  }
}

// A raw socket wakes for every ICMP message reaching the host, our own
// request's loopback copy included. Only echo replies and errors can be about
// our request; the kernel drops the rest before they reach the socket. Should
// the filter be refused, every message is still judged, only at more cost.
// Received ICMPv6 messages carry no IP header; the kernel also fills in the
// checksum of those sent.
int open_raw_socket(IpFamily family) {
  const int fd = is_v4(family) ? ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)
                               : ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
  if (fd < 0) return -1;
  raise_receive_buffer(fd);
  if (is_v4(family)) {
    const icmp_filter only_ours{~(1u << ICMP_ECHOREPLY | 1u << ICMP_DEST_UNREACH |
                                  1u << ICMP_TIME_EXCEEDED | 1u << ICMP_PARAMETERPROB)};
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &only_ours, sizeof only_ours);
    return fd;
  }
  icmp6_filter only_ours;
  ICMP6_FILTER_SETBLOCKALL(&only_ours);
  for (const int type : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG,
                         ICMP6_TIME_EXCEEDED, ICMP6_PARAM_PROB}) {
    ICMP6_FILTER_SETPASS(type, &only_ours);
  }
  setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &only_ours, sizeof only_ours);
  return fd;
}

// Outside ping_group_range the kernel refuses a datagram socket with EACCES,
// and a kernel built without them with one of the others; a raw socket is
// refused with EPERM to a caller without CAP_NET_RAW.
bool socket_kind_refused(int error) {
  return error == EACCES || error == EPERM || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

// Whether the kernel refused this process a datagram socket of the family
// when first asked. The kernel makes a whole socket before it checks the
// group range, so a refusal costs a fifth of a raw call on loopback: where
// datagram sockets are refused, raw ones are asked for first. Found once per
// process and constant after.
bool datagram_refused_when_first_asked(IpFamily family) {
  const auto refused = [](IpFamily asked) {
    const int fd = open_datagram_socket(asked);
    if (fd >= 0) close(fd);
    return fd < 0 && socket_kind_refused(errno);
  };
  if (is_v4(family)) {
    static const bool v4_refused = refused(IpFamily::v4);
    return v4_refused;
  }
  static const bool v6_refused = refused(IpFamily::v6);
  return v6_refused;
}

// A datagram socket reports ICMP errors about its requests on its error queue.
// Rebuild the error message as it came, quoting the request, so that the one
// reply rule judges it.
Received receive_queued_error(const IcmpSocket& socket, std::span<std::uint8_t> buffer) {
  const std::size_t quote_at =
      kIcmpHeaderSize + (is_v4(socket.family) ? kIpv4HeaderSize : kIpv6HeaderSize);
  SocketAddress original_destination{};
  iovec payload{buffer.data() + quote_at, buffer.size() - quote_at};
  alignas(cmsghdr) std::uint8_t control[256];
  msghdr message{};
  message.msg_name = &original_destination;
  message.msg_namelen = sizeof original_destination;
  message.msg_iov = &payload;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t length = recvmsg(socket.descriptor, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (length < 0) return {ReceiveStatus::failed, 0, {}};
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    const bool report = is_v4(socket.family)
                            ? header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR
                            : header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR;
    if (!report) continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(header), sizeof error);
    if (error.ee_origin != SO_EE_ORIGIN_ICMP && error.ee_origin != SO_EE_ORIGIN_ICMP6) break;
    // The kernel follows the record with the offender's address, of the
    // socket's own family.
    SocketAddress offender{};
    std::memcpy(&offender, CMSG_DATA(header) + sizeof error,
                is_v4(socket.family) ? sizeof offender.v4 : sizeof offender.v6);
    std::memset(buffer.data(), 0, kIcmpHeaderSize);
    buffer[0] = error.ee_type;
    buffer[1] = error.ee_code;
    write_quoted_header(buffer.subspan(kIcmpHeaderSize), original_destination);
    return {ReceiveStatus::datagram, quote_at + static_cast<std::size_t>(length),
            ip_address(offender)};
  }
  // Not an ICMP report (a local error, say): nothing to judge, keep waiting.
  return {ReceiveStatus::interrupted, 0, {}};
}

// What a datagram socket has queued: a reply, or a report of an error.
Received receive_queued_datagram(const IcmpSocket& socket, std::span<std::uint8_t> buffer) {
  const Received received = receive_queued(socket, buffer);
  if (received.status != ReceiveStatus::failed || errno == EAGAIN || errno == EINTR) {
    return received;
  }
  // Any other error means the kernel has queued a report about a request.
  return receive_queued_error(socket, buffer);
}

Received receive_now(const IcmpSocket& socket, std::span<std::uint8_t> buffer) {
  return socket.raw ? receive_queued(socket, buffer) : receive_queued_datagram(socket, buffer);
}

// The first answer of `family`, or null.
const addrinfo* first_of(const addrinfo* answers, int family) {
  const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  for (; answers != nullptr; answers = answers->ai_next) {
    if (answers->ai_family == family && answers->ai_addrlen >= length &&
        answers->ai_addrlen <= sizeof(SocketAddress)) {
      return answers;
    }
  }
  return nullptr;
}

}  // namespace

// The other kind is tried whenever the first is refused, so the order only
// saves a refusal and never decides whether a socket is had: a process that
// gives up CAP_NET_RAW, or whose groups are let in later, still gets one.
bool SystemIcmp::open_socket(IcmpSocket& socket, IpFamily family) {
  const bool raw_first = datagram_refused_when_first_asked(family);
  for (const bool raw : {raw_first, !raw_first}) {
    const int fd = raw ? open_raw_socket(family) : open_datagram_socket(family);
    if (fd >= 0) {
      socket = {fd, family, raw};
      return true;
    }
    if (!socket_kind_refused(errno)) return false;
  }
  return false;
}

// Received ICMPv6 messages carry no IP header, on either kind of socket.
bool SystemIcmp::delivers_ipv4_header(const IcmpSocket& socket) {
  return socket.raw && is_v4(socket.family);
}

bool SystemIcmp::kernel_owns_identifier(const IcmpSocket& socket) { return !socket.raw; }

// Waits are bounded by poll and sends never wait: see the top of this file.
bool SystemIcmp::set_receive_timeout(IcmpSocket&, std::uint32_t) { return true; }

bool SystemIcmp::set_send_timeout(const IcmpSocket&, std::uint32_t) { return true; }

std::uint32_t SystemIcmp::convert_dotted(const char* name) { return inet_addr(name); }

// IPv6 literals first (a colon is never part of a host name, so such a text
// is never sent to the resolver), then one lookup of both families: the
// name's first IPv4 address as ever, and its IPv6 address only when it has no
// IPv4 one. One lookup asks the name server for both at once, so a server
// that never answers costs one time-out, not one per family.
bool SystemIcmp::look_up_name(const char* name, IpAddress& address) {
  if (std::strchr(name, ':') != nullptr) {
    // The scope is an interface's name or number: `fe80::1%eth0`, `::1%1`.
    return parse_ipv6_literal(
        name,
        [](const char* text, std::uint8_t* bytes) { return inet_pton(AF_INET6, text, bytes) == 1; },
        [](const char* interface_name) { return if_nametoindex(interface_name); }, address);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_RAW;
  addrinfo* answers = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answers) != 0) return false;
  const addrinfo* chosen = first_of(answers, AF_INET);
  if (chosen == nullptr) chosen = first_of(answers, AF_INET6);
  if (chosen != nullptr) {
    SocketAddress first{};
    std::memcpy(&first, chosen->ai_addr, chosen->ai_addrlen);
    address = ip_address(first);
  }
  freeaddrinfo(answers);
  return chosen != nullptr;
}

bool SystemIcmp::send_to(IcmpSocket& socket, std::span<const std::uint8_t> message,
                         const IpAddress& address) {
  SocketAddress destination;
  const socklen_t length = socket_address(address, destination);
  return sendto(socket.descriptor, message.data(), message.size(), MSG_DONTWAIT, &destination.any,
                length) >= 0;
}

// On loopback the answer is usually queued before the send returns, so look
// first and wait only when nothing is there.
Received SystemIcmp::receive(IcmpSocket& socket, std::span<std::uint8_t> buffer,
                             std::uint32_t wait_ms) {
  const Received first = receive_now(socket, buffer);
  if (first.status != ReceiveStatus::failed || errno != EAGAIN) {
    return first.status == ReceiveStatus::failed && errno == EINTR
               ? Received{ReceiveStatus::interrupted, 0, {}}
               : first;
  }
  pollfd ready{socket.descriptor, POLLIN, 0};
  const int polled = poll(&ready, 1, static_cast<int>(wait_ms));
  if (polled == 0) return {ReceiveStatus::failed, 0, {}};  // the wait is over
  if (polled < 0) {
    return {errno == EINTR ? ReceiveStatus::interrupted : ReceiveStatus::failed, 0, {}};
  }
  if (!socket.raw && (ready.revents & POLLERR) != 0) {
    const Received error = receive_queued_error(socket, buffer);
    if (error.status != ReceiveStatus::failed) return error;
  }
  const Received second = receive_now(socket, buffer);
  // Woken with nothing to read (or by a signal): the caller waits again.
  if (second.status == ReceiveStatus::failed && (errno == EAGAIN || errno == EINTR)) {
    return {ReceiveStatus::interrupted, 0, {}};
  }
  return second;
}

std::uint32_t SystemIcmp::receive_time(const IcmpSocket&) { return tick_count_ms(); }

void SystemIcmp::close_socket(const IcmpSocket& socket) { close(socket.descriptor); }

std::uint32_t SystemIcmp::tick_count_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(milliseconds);
}

std::uint32_t SystemIcmp::process_id() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace pingext::platform
