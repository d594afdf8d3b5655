// Linux: an ICMP datagram ("ping") socket, which the groups in
// net.ipv4.ping_group_range may open, whoever the caller is; a raw ICMP socket
// (root or CAP_NET_RAW) only when the kernel refuses that. The kernel hands a
// datagram socket only the replies and errors carrying its own identifier,
// while every raw socket wakes for every ICMP message on the host: under many
// concurrent calls raw sockets cost far more. The same holds for IPv6 (ICMPv6
// sockets, the same group range).
//
// Nothing here blocks in the kernel: receives and sends pass MSG_DONTWAIT and
// waits use poll, whose time-out is precise to well under a millisecond, so
// the sockets' own time-outs are never set.
//
// A message may be read long after it arrived, when the calling thread is
// kept off the CPU. So the kernel is asked to stamp what arrives
// (SO_TIMESTAMPNS, on the wall clock) as soon as the socket is open, and each
// message is timed by its stamp, mapped onto the monotonic count: the kernel
// stamps a message when it arrives only while some socket has asked, so a
// socket that asked later would find what arrived meanwhile timed when read.
//
// A call holds its socket from open to close, and a thread cancelled while it
// waits would unwind past the close: cancellation is held off meanwhile, for
// at most about a second.
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
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/echo_exchange.h"
#include "probe/ipv6_literal.h"
#include "probe/millisecond_clock.h"

namespace pingext::platform {
namespace {

constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::uint8_t kNextHeaderIcmp6 = 58;
// Room for a receive stamp, twice: a C library with 64-bit time on a 32-bit
// system may add its own copy of an older kernel's stamp.
constexpr std::size_t kStampControlSize = 2 * CMSG_SPACE(sizeof(timespec));

bool is_v4(IpFamily family) { return family == IpFamily::v4; }

std::int64_t nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

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
// fills with other calls' replies, and a reply that finds it full is dropped.
// The queue is raised beyond the default (208 KB): forced, where the caller
// has CAP_NET_ADMIN, else as far as net.core.rmem_max lets it go. The kernel
// doubles the figure for its own bookkeeping. 16 MB is the least that lost no
// reply in three million calls from 8 threads and from 64 on 2 cores (from
// 64: 4 MB lost 46, 8 MB lost 1). Only what a flood queues is held, and only
// while the call lasts.
constexpr int kRawReceiveBufferBytes = 16 << 20;

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
// process, and constant after.
bool datagram_refused(IpFamily family) {
  const int fd = open_datagram_socket(family);
  if (fd >= 0) close(fd);
  return fd < 0 && socket_kind_refused(errno);
}
bool g_v4_datagram_refused = false;
bool g_v6_datagram_refused = false;
pthread_once_t g_v4_asked = PTHREAD_ONCE_INIT;
pthread_once_t g_v6_asked = PTHREAD_ONCE_INIT;

bool datagram_refused_when_first_asked(IpFamily family) {
  if (is_v4(family)) {
    pthread_once(&g_v4_asked, [] { g_v4_datagram_refused = datagram_refused(IpFamily::v4); });
    return g_v4_datagram_refused;
  }
  pthread_once(&g_v6_asked, [] { g_v6_datagram_refused = datagram_refused(IpFamily::v6); });
  return g_v6_datagram_refused;
}

// The kernel's receive stamp of a message, in nanoseconds on the wall clock,
// or -1 where it gave none.
std::int64_t receive_stamp(msghdr& message) {
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp;
    std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
    return static_cast<std::int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
  }
  return -1;
}

// When a message with this stamp (or none) arrived: by the stamp where the
// kernel gave one, else now. Called right after the read.
std::uint32_t arrival_time(const ExchangeRecord& exchange, std::int64_t stamp_wall_ns) {
  if (stamp_wall_ns < 0) return tick_of(nanoseconds(CLOCK_MONOTONIC));
  const ClockReading read = read_clocks([] { return nanoseconds(CLOCK_REALTIME); },
                                        [] { return nanoseconds(CLOCK_MONOTONIC); });
  return arrival_tick(stamp_wall_ns, read, exchange.opened_ns);
}

// The IP header of a request to `destination`, as an ICMP error quotes it.
void write_quoted_header(std::span<std::uint8_t> at, const IpAddress& destination) {
  if (!is_v4(destination.family)) {
    std::memset(at.data(), 0, kIpv6HeaderSize);
    at[0] = 0x60;  // version 6
    at[6] = kNextHeaderIcmp6;
    std::memcpy(&at[24], destination.bytes, 16);
    return;
  }
  std::memset(at.data(), 0, kIpv4HeaderSize);
  at[0] = 0x45;  // version 4, 20 bytes
  at[9] = kProtocolIcmp;
  std::memcpy(&at[16], destination.bytes, 4);
}

enum class Read {
  message,
  nothing_queued,
  failed,
  error_reported,  // a datagram socket's kernel says an ICMP error waits
};

// A receive into `data`, with the sender's address and control messages.
msghdr message_into(SocketAddress& sender, iovec& data, std::span<std::uint8_t> control) {
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  return message;
}

// A datagram socket's ICMP errors about its requests wait on its error
// queue, and the kernel reports at the next read that one waits, ahead of
// whatever arrived before it. The first is taken off that queue and held,
// with its stamp, until what arrived before it has been handed over.
Read hold_queued_error(ExchangeRecord& exchange) {
  HeldError& held = exchange.held;
  SocketAddress original_destination{};
  iovec payload{held.quoted, sizeof held.quoted};
  alignas(cmsghdr) std::uint8_t control[256];
  msghdr message = message_into(original_destination, payload, control);
  const ssize_t length = recvmsg(exchange.descriptor, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (length < 0) return errno == EAGAIN ? Read::nothing_queued : Read::failed;
  held.stamp_wall_ns = receive_stamp(message);
  held.arrived_ms = arrival_time(exchange, held.stamp_wall_ns);
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    const bool report = is_v4(exchange.family)
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
                is_v4(exchange.family) ? sizeof offender.v4 : sizeof offender.v6);
    held.present = true;
    held.type = error.ee_type;
    held.code = error.ee_code;
    held.offender = ip_address(offender);
    held.quoted_destination = ip_address(original_destination);
    held.quoted_size = static_cast<std::uint8_t>(length);
    return Read::message;
  }
  // Not an ICMP report (a local error, say): nothing to judge.
  return Read::nothing_queued;
}

// The held error, rebuilt as it came, quoting the request, so that the one
// reply rule judges it.
void hand_over_held_error(ExchangeRecord& exchange, std::span<std::uint8_t> buffer,
                          Arrival& arrival) {
  HeldError& held = exchange.held;
  const std::size_t quote_at =
      kIcmpHeaderSize + (is_v4(exchange.family) ? kIpv4HeaderSize : kIpv6HeaderSize);
  std::memset(buffer.data(), 0, kIcmpHeaderSize);
  buffer[0] = held.type;
  buffer[1] = held.code;
  write_quoted_header(buffer.subspan(kIcmpHeaderSize), held.quoted_destination);
  std::memcpy(&buffer[quote_at], held.quoted, held.quoted_size);
  arrival = {{held.offender, buffer.first(quote_at + held.quoted_size)}, held.arrived_ms};
  held.present = false;
}

// Whether the message at the head of the queue arrived before the held error,
// by their stamps; without both, the error goes first, as the kernel had it.
// A report of a further error (which arrived later, and stays queued) is
// passed over.
bool queued_before_held_error(const ExchangeRecord& exchange) {
  for (int reports = 0; reports < 4; ++reports) {
    SocketAddress sender{};
    std::uint8_t first_byte;
    iovec data{&first_byte, 1};
    alignas(cmsghdr) std::uint8_t control[kStampControlSize];
    msghdr message = message_into(sender, data, control);
    if (recvmsg(exchange.descriptor, &message, MSG_PEEK | MSG_DONTWAIT) >= 0) {
      const std::int64_t stamp = receive_stamp(message);
      return stamp >= 0 && exchange.held.stamp_wall_ns >= 0 && stamp <= exchange.held.stamp_wall_ns;
    }
    if (errno == EAGAIN) return false;
  }
  return false;
}

// One queued message, without waiting. A datagram too long for the buffer is
// handed over empty: the kernel sets MSG_TRUNC in the message flags (datagram
// sockets ignore it as a request).
Read read_queued(const ExchangeRecord& exchange, std::span<std::uint8_t> buffer, Arrival& arrival) {
  iovec data{buffer.data(), buffer.size()};
  SocketAddress sender{};
  alignas(cmsghdr) std::uint8_t control[kStampControlSize];
  msghdr message = message_into(sender, data, control);
  const ssize_t length = recvmsg(exchange.descriptor, &message, MSG_DONTWAIT);
  if (length < 0) {
    if (errno == EAGAIN || errno == EINTR) return Read::nothing_queued;
    // On a datagram socket any other error means that the kernel has queued
    // a report about a request.
    return exchange.raw ? Read::failed : Read::error_reported;
  }
  arrival.arrived_ms = arrival_time(exchange, receive_stamp(message));
  const std::span<const std::uint8_t> bytes = (message.msg_flags & MSG_TRUNC) != 0
                                                  ? buffer.first(0)
                                                  : buffer.first(static_cast<std::size_t>(length));
  // Raw IPv4 sockets deliver the IPv4 header, whose source is the sender.
  arrival.message = exchange.raw && is_v4(exchange.family) ? split_ipv4_datagram(bytes)
                                                           : IcmpMessage{ip_address(sender), bytes};
  return Read::message;
}

// One message without waiting, in the order they arrived. A raw socket's one
// queue holds them so; a datagram socket's errors wait apart (above).
Read read_in_order(ExchangeRecord& exchange, std::span<std::uint8_t> buffer, Arrival& arrival) {
  for (;;) {
    if (exchange.held.present && !queued_before_held_error(exchange)) {
      hand_over_held_error(exchange, buffer, arrival);
      return Read::message;
    }
    const Read read = read_queued(exchange, buffer, arrival);
    if (read != Read::error_reported) return read;
    // One error is held at a time: one reported behind it arrived later.
    if (!exchange.held.present && hold_queued_error(exchange) == Read::failed) return Read::failed;
  }
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

IpAddress ip_address(const addrinfo& answer) {
  SocketAddress address{};
  std::memcpy(&address, answer.ai_addr, answer.ai_addrlen);
  return ip_address(address);
}

}  // namespace

// An IPv6 literal (a colon is never part of a host name, so such a text never
// goes to the resolver; its scope is an interface's name or number:
// `fe80::1%eth0`, `::1%1`); a dotted-decimal IPv4 address as inet_addr reads
// it; else one lookup of both families (the resolver's settings decide how
// long a name server that never answers holds it). A name's first IPv4
// address comes first, its first IPv6 address is the other.
bool SystemEcho::resolve(const char* name, Target& target) {
  target = {};
  if (std::strchr(name, ':') != nullptr) {
    return parse_ipv6_literal(
        name,
        [](const char* text, std::uint8_t* bytes) { return inet_pton(AF_INET6, text, bytes) == 1; },
        [](const char* interface_name) { return if_nametoindex(interface_name); },
        [](std::uint32_t index) {
          char interface_name[IF_NAMESIZE];
          return if_indextoname(index, interface_name) != nullptr;
        },
        target.first);
  }
  const in_addr_t dotted = inet_addr(name);
  if (dotted != INADDR_NONE) {
    target.first = ipv4_address(dotted);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_RAW;
  addrinfo* answers = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answers) != 0) return false;
  const bool found = target_from_answers(
      first_of(answers, AF_INET), first_of(answers, AF_INET6),
      [](const addrinfo& answer) { return ip_address(answer); }, target);
  freeaddrinfo(answers);
  return found;
}

// The other kind is tried whenever the first is refused, so the order only
// saves a refusal and never decides whether a socket is had: a process that
// gives up CAP_NET_RAW, or whose groups are let in later, still gets one.
bool SystemEcho::open(ExchangeRecord& exchange, IpFamily family, RequestIdentity& identity) {
  int cancel_state = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  const bool raw_first = datagram_refused_when_first_asked(family);
  for (const bool raw : {raw_first, !raw_first}) {
    const int fd = raw ? open_raw_socket(family) : open_datagram_socket(family);
    if (fd >= 0) {
      const int on = 1;
      setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
      exchange = {fd, family, raw, nanoseconds(CLOCK_MONOTONIC), 0, cancel_state, {}};
      // A datagram socket's kernel writes its own identifier into the request.
      identity = raw ? RequestIdentity{echo_identifier(static_cast<std::uint32_t>(getpid())), false}
                     : RequestIdentity{0, true};
      return true;
    }
    if (!socket_kind_refused(errno)) break;
  }
  pthread_setcancelstate(cancel_state, nullptr);
  return false;
}

Sent SystemEcho::send(ExchangeRecord& exchange, std::span<const std::uint8_t> request,
                      const IpAddress& destination, std::uint32_t deadline_ms) {
  exchange.deadline_ms = deadline_ms;
  // Raised only now: what filled the default queue before the send cannot be
  // our reply, and the room that is added is left for what comes after it.
  if (exchange.raw) raise_receive_buffer(exchange.descriptor);
  SocketAddress to;
  const socklen_t length = socket_address(destination, to);
  if (sendto(exchange.descriptor, request.data(), request.size(), MSG_DONTWAIT, &to.any, length) >=
      0) {
    return Sent::sent;
  }
  return errno == ENETUNREACH || errno == EHOSTUNREACH || errno == EADDRNOTAVAIL ? Sent::no_route
                                                                                 : Sent::failed;
}

// On loopback the answer is usually queued before the send returns, so look
// first and wait only when nothing is there.
Next SystemEcho::next(ExchangeRecord& exchange, std::span<std::uint8_t, kPacketBufferSize> buffer,
                      Arrival& arrival) {
  for (;;) {
    const std::uint32_t now = now_ms();
    const Read read = read_in_order(exchange, buffer, arrival);
    if (read != Read::nothing_queued) return read == Read::message ? Next::arrival : Next::failed;
    // Messages that arrive within the deadline's own millisecond still count.
    const auto left_ms = static_cast<std::int32_t>(exchange.deadline_ms - now);
    if (left_ms < 0) return Next::deadline_passed;
    pollfd ready{exchange.descriptor, POLLIN, 0};
    // Woken by a signal, by a message, or by the time-out: look again.
    if (poll(&ready, 1, left_ms + 1) < 0 && errno != EINTR) return Next::failed;
  }
}

void SystemEcho::close(ExchangeRecord& exchange) {
  ::close(exchange.descriptor);
  pthread_setcancelstate(exchange.cancel_state, nullptr);
}

std::uint32_t SystemEcho::now_ms() { return tick_of(nanoseconds(CLOCK_MONOTONIC)); }

}  // namespace pingext::platform
