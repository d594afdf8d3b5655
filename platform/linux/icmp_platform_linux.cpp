// Linux: an ICMP datagram ("ping") socket, which the groups in
// net.ipv4.ping_group_range may open, whoever the caller is; a raw ICMP socket
// (root or CAP_NET_RAW) only when the kernel refuses that. The kernel hands a
// datagram socket only the replies and errors carrying its own identifier,
// while every raw socket wakes for every ICMP message on the host: under many
// concurrent calls raw sockets cost far more and can overflow and lose replies.
//
// Nothing here blocks in the kernel: receives and sends pass MSG_DONTWAIT and
// waits use poll, whose time-out is precise to well under a millisecond. So the
// sockets' own time-outs would never be used and are not set: SO_RCVTIMEO runs
// on the coarse timer wheel (tens of ms late at one second), and a send of one
// datagram on a fresh socket never waits for buffer space.
#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/icmp_platform.h"

namespace pingext::platform {
namespace {

constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::uint8_t kProtocolIcmp = 1;

int descriptor(const IcmpSocket& socket) { return static_cast<int>(socket.handle); }

sockaddr_in socket_address(const IpAddress& address) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  std::memcpy(&result.sin_addr, address.bytes, 4);
  return result;
}

IpAddress ip_address(const sockaddr_in& address) { return ipv4_address(address.sin_addr.s_addr); }

// One datagram and its sender if one is queued, or too_long when it did not
// fit: the kernel then sets MSG_TRUNC in the message flags (datagram sockets
// ignore it as a request). Otherwise failed, and errno tells why (EAGAIN:
// nothing queued).
Received receive_queued(const IcmpSocket& socket, std::span<std::uint8_t> buffer) {
  iovec data{buffer.data(), buffer.size()};
  sockaddr_in sender{};
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  const ssize_t length = recvmsg(descriptor(socket), &message, MSG_DONTWAIT);
  if (length < 0) return {ReceiveStatus::failed, 0, {}};
  if ((message.msg_flags & MSG_TRUNC) != 0) return {ReceiveStatus::too_long, 0, {}};
  return {ReceiveStatus::datagram, static_cast<std::size_t>(length), ip_address(sender)};
}

// The IPv4 header of a request to `destination`, as an ICMP error quotes it.
void write_quoted_ipv4_header(std::span<std::uint8_t> at, const sockaddr_in& destination) {
  std::memset(at.data(), 0, kIpv4HeaderSize);
  at[0] = 0x45;  // version 4, 20 bytes
  at[9] = kProtocolIcmp;
  std::memcpy(&at[16], &destination.sin_addr, 4);
}

// ICMP errors about a datagram socket's requests reach it only through its
// error queue, and only when asked for. Returns -1 with errno set when the
// kernel offers no such socket to this caller.
int open_datagram_socket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return -1;
  const int on = 1;
  if (setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on) != 0) {
    close(fd);
    errno = EINVAL;  // not a refusal: no fallback
    return -1;
  }
  return fd;
}

// A raw socket wakes for every ICMP message reaching the host, our own
// request's loopback copy included. Only these types can be about our request;
// the kernel drops the rest before they reach the socket. Should the filter be
// refused, every message is still judged, only at more cost.
int open_raw_socket() {
  const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return -1;
  const icmp_filter only_ours{~(1u << ICMP_ECHOREPLY | 1u << ICMP_DEST_UNREACH |
                                1u << ICMP_TIME_EXCEEDED | 1u << ICMP_PARAMETERPROB)};
  setsockopt(fd, SOL_RAW, ICMP_FILTER, &only_ours, sizeof only_ours);
  return fd;
}

// Outside ping_group_range the kernel refuses with EACCES; a kernel built
// without datagram ICMP sockets refuses with one of the others.
bool datagram_socket_refused(int error) {
  return error == EACCES || error == EPERM || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

// The kernel binds a datagram socket at its first send and writes the bound
// port, in its own (network) byte order, as the request's identifier.
bool read_kernel_identifier(IcmpSocket& socket) {
  sockaddr_in local{};
  socklen_t local_length = sizeof local;
  if (getsockname(descriptor(socket), reinterpret_cast<sockaddr*>(&local), &local_length) != 0) {
    return false;
  }
  std::uint8_t port[2];
  std::memcpy(port, &local.sin_port, sizeof port);
  socket.kernel_identifier = static_cast<std::uint16_t>(port[0] | port[1] << 8);
  return true;
}

// A datagram socket reports ICMP errors about its requests on its error queue.
// Rebuild the error message as it came, quoting the request, so that the one
// reply rule judges it.
Received receive_queued_error(const IcmpSocket& socket, std::span<std::uint8_t> buffer) {
  constexpr std::size_t kQuoteAt = kIcmpHeaderSize + kIpv4HeaderSize;
  sockaddr_in original_destination{};
  iovec payload{buffer.data() + kQuoteAt, buffer.size() - kQuoteAt};
  alignas(cmsghdr) std::uint8_t control[256];
  msghdr message{};
  message.msg_name = &original_destination;
  message.msg_namelen = sizeof original_destination;
  message.msg_iov = &payload;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t length = recvmsg(descriptor(socket), &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (length < 0) return {ReceiveStatus::failed, 0, {}};
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_IP || header->cmsg_type != IP_RECVERR) continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(header), sizeof error);
    if (error.ee_origin != SO_EE_ORIGIN_ICMP) break;
    sockaddr_in offender{};
    std::memcpy(&offender, CMSG_DATA(header) + sizeof error, sizeof offender);
    std::memset(buffer.data(), 0, kIcmpHeaderSize);
    buffer[0] = error.ee_type;
    buffer[1] = error.ee_code;
    write_quoted_ipv4_header(buffer.subspan(kIcmpHeaderSize), original_destination);
    return {ReceiveStatus::datagram, kQuoteAt + static_cast<std::size_t>(length),
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
  return socket.kernel_sets_identifier ? receive_queued_datagram(socket, buffer)
                                       : receive_queued(socket, buffer);
}

}  // namespace

bool SystemIcmp::open_socket(IcmpSocket& socket, IpFamily family) {
  if (family != IpFamily::v4) return false;
  if (const int fd = open_datagram_socket(); fd >= 0) {
    socket = {static_cast<std::uintptr_t>(fd), family, false, true, 0, 0};
    return true;
  }
  if (!datagram_socket_refused(errno)) return false;
  const int fd = open_raw_socket();
  if (fd < 0) return false;
  socket = {static_cast<std::uintptr_t>(fd), family, true, false, 0, 0};
  return true;
}

// Waits are bounded by poll and sends never wait: see the top of this file.
bool SystemIcmp::set_receive_timeout(IcmpSocket& socket, std::uint32_t milliseconds) {
  socket.receive_timeout_ms = milliseconds;
  return true;
}

bool SystemIcmp::set_send_timeout(const IcmpSocket&, std::uint32_t) { return true; }

std::uint32_t SystemIcmp::convert_dotted(const char* name) { return inet_addr(name); }

bool SystemIcmp::look_up_name(const char* name, IpAddress& address) {
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
    address = ip_address(first);
  }
  freeaddrinfo(found);
  return usable;
}

bool SystemIcmp::send_to(IcmpSocket& socket, std::span<const std::uint8_t> message,
                         const IpAddress& address) {
  const sockaddr_in destination = socket_address(address);
  if (sendto(descriptor(socket), message.data(), message.size(), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&destination), sizeof destination) < 0) {
    return false;
  }
  return !socket.kernel_sets_identifier || read_kernel_identifier(socket);
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
  pollfd ready{descriptor(socket), POLLIN, 0};
  const int polled = poll(&ready, 1, static_cast<int>(wait_ms));
  if (polled == 0) return {ReceiveStatus::failed, 0, {}};  // the wait is over
  if (polled < 0) {
    return {errno == EINTR ? ReceiveStatus::interrupted : ReceiveStatus::failed, 0, {}};
  }
  if (socket.kernel_sets_identifier && (ready.revents & POLLERR) != 0) {
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
