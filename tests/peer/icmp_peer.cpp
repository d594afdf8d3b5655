// A scripted ICMP peer for tests: inside a private network namespace whose
// kernel no longer answers echoes, it answers requests to each 127.0.0.x and
// fd00::x address as tests/peer/fault_script.h says, crafting packets with
// raw sockets so that it can choose their source address. It is also the
// namespace's name server, on 127.0.0.53: "no such name" at once, except for
// the names of dead_resolver rows, which it never answers.
//   icmp_peer --ready FILE [--lifetime SECONDS]
#include <arpa/inet.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/peer/fault_script.h"

namespace {

using pingext::testing::Behaviour;
using pingext::testing::FaultCase;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kIpv6Header = 40;

// A peer's or an asker's address, of either family.
struct Address {
  int family;
  std::uint8_t bytes[16];
};

// The next address up, which the script's "another address" answers from.
Address next_of(Address address) {
  ++address.bytes[address.family == AF_INET ? 3 : 15];
  return address;
}

std::uint16_t checksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
  return static_cast<std::uint16_t>(~sum);
}

Bytes ipv4_header(const Address& from, const Address& to, std::size_t payload_size) {
  Bytes header(kIpHeader, 0);
  header[0] = 0x45;
  const auto total = static_cast<std::uint16_t>(kIpHeader + payload_size);
  header[2] = static_cast<std::uint8_t>(total >> 8);
  header[3] = static_cast<std::uint8_t>(total);
  header[8] = 64;
  header[9] = IPPROTO_ICMP;
  std::memcpy(&header[12], from.bytes, 4);
  std::memcpy(&header[16], to.bytes, 4);
  const std::uint16_t sum = checksum(header.data(), header.size());
  header[10] = static_cast<std::uint8_t>(sum >> 8);
  header[11] = static_cast<std::uint8_t>(sum);
  return header;
}

// One buffer's message to or from `peer`, with room for control messages.
template <std::size_t ControlSize>
msghdr message_of(sockaddr_in6& peer, iovec& data, std::uint8_t (&control)[ControlSize]) {
  msghdr message{};
  message.msg_name = &peer;
  message.msg_namelen = sizeof peer;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = ControlSize;
  return message;
}

// An ICMPv6 message from `from` to `to` behind its IPv6 header, as an
// ICMPv6 error quotes the packet.
Bytes ipv6_packet(const Address& from, const Address& to, const std::uint8_t* icmp,
                  std::size_t size) {
  Bytes packet(kIpv6Header + size, 0);
  packet[0] = 0x60;
  packet[4] = static_cast<std::uint8_t>(size >> 8);
  packet[5] = static_cast<std::uint8_t>(size);
  packet[6] = IPPROTO_ICMPV6;
  packet[7] = 64;
  std::memcpy(&packet[8], from.bytes, 16);
  std::memcpy(&packet[24], to.bytes, 16);
  std::memcpy(&packet[kIpv6Header], icmp, size);
  return packet;
}

class Peer {
 public:
  Peer(int sender, int sender6) : sender_(sender), sender6_(sender6) {}

  // Sends `icmp` from `from` to `to`. IPv4: its checksum is filled in here,
  // behind a header chosen here. IPv6: the kernel fills in the checksum, and
  // the source is chosen per message.
  void send(const Address& from, const Address& to, Bytes icmp) const {
    icmp[2] = icmp[3] = 0;
    if (to.family == AF_INET6) {
      sockaddr_in6 destination{};
      destination.sin6_family = AF_INET6;
      std::memcpy(&destination.sin6_addr, to.bytes, 16);
      iovec data{icmp.data(), icmp.size()};
      alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
      msghdr message = message_of(destination, data, control);
      cmsghdr* source = CMSG_FIRSTHDR(&message);
      source->cmsg_level = IPPROTO_IPV6;
      source->cmsg_type = IPV6_PKTINFO;
      source->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
      in6_pktinfo info{};
      std::memcpy(&info.ipi6_addr, from.bytes, 16);
      std::memcpy(CMSG_DATA(source), &info, sizeof info);
      sendmsg(sender6_, &message, 0);
      return;
    }
    const std::uint16_t sum = checksum(icmp.data(), icmp.size());
    icmp[2] = static_cast<std::uint8_t>(sum >> 8);
    icmp[3] = static_cast<std::uint8_t>(sum);
    Bytes packet = ipv4_header(from, to, icmp.size());
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    std::memcpy(&destination.sin_addr, to.bytes, 4);
    sendto(sender_, packet.data(), packet.size(), 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  }

  // An ICMP error of `type` and `code` quoting `quoted`.
  static Bytes error_quoting(std::uint8_t type, std::uint8_t code, const Bytes& quoted) {
    Bytes error{type, code, 0, 0, 0, 0, 0, 0};
    error.insert(error.end(), quoted.begin(), quoted.end());
    return error;
  }

  // Answers one request as `script` says: `request` is the whole packet,
  // its IP header first, as an ICMP error quotes it.
  void answer(const FaultCase& script, Address asker, Address asked, Bytes request) const {
    const bool v6 = asked.family == AF_INET6;
    const std::size_t header = v6 ? kIpv6Header : kIpHeader;
    const Bytes echo(request.begin() + static_cast<std::ptrdiff_t>(header), request.end());
    Bytes reply = echo;
    reply[0] = v6 ? ICMP6_ECHO_REPLY : 0;
    const auto started = Clock::now();
    const auto at = [&](std::uint32_t ms) {
      std::this_thread::sleep_until(started + std::chrono::milliseconds(ms));
    };
    const auto foreign = [&] {
      Bytes other = reply;
      other[4] ^= 0x5A;  // another identifier
      return other;
    };

    switch (script.behaviour) {
      case Behaviour::reply:
        at(script.delay_ms);
        send(asked, asker, reply);
        break;
      case Behaviour::reply_from_next_address:
        at(script.delay_ms);
        send(next_of(asked), asker, reply);
        break;
      case Behaviour::silent:
      case Behaviour::started_together:
      case Behaviour::dead_resolver:
        break;
      case Behaviour::foreign_then_reply: {
        send(asked, asker, foreign());
        Bytes stale = reply;
        if (stale.size() >= 12) stale[8] ^= 0x01;  // our identifier, another send time
        send(asked, asker, stale);
        at(script.delay_ms);
        send(asked, asker, reply);
        break;
      }
      case Behaviour::header_only:
        at(script.delay_ms);
        reply.resize(8);
        send(asked, asker, reply);
        break;
      case Behaviour::late_error_then_reply:
        if (late_error_requests_++ % 2 == 0) {
          at(pingext::testing::kLateErrorMs);
          send(asked, asker, error_quoting(3, 1, request));
        } else {
          at(script.delay_ms);
          send(asked, asker, reply);
        }
        break;
      case Behaviour::unreachable:
      case Behaviour::time_exceeded:
      case Behaviour::packet_too_big:
      case Behaviour::other_error_then_reply:
      case Behaviour::reply_then_error:
      case Behaviour::parameter_problem: {
        const bool ours = script.behaviour != Behaviour::other_error_then_reply;
        // As IPv4 routers quote it: the IP header and 8 bytes, no send time;
        // IPv6 ones quote as much as fits, here all of it.
        Bytes quoted(
            request.begin(),
            v6 ? request.end() : request.begin() + static_cast<std::ptrdiff_t>(header + 8));
        if (!ours) quoted[header + 4] ^= 0x5A;
        Bytes error;
        switch (script.behaviour) {
          case Behaviour::time_exceeded:
            error = error_quoting(v6 ? ICMP6_TIME_EXCEEDED : 11, 0, quoted);
            break;
          case Behaviour::packet_too_big:  // IPv6's minimum link size, 1,280 bytes
            error = error_quoting(v6 ? ICMP6_PACKET_TOO_BIG : 3, v6 ? 0 : 4, quoted);
            error[v6 ? 6 : 7] = 0x05;
            break;
          case Behaviour::parameter_problem:  // pointing at the quoted header's first byte
            error = error_quoting(v6 ? ICMP6_PARAM_PROB : 12, 0, quoted);
            break;
          default:
            error =
                error_quoting(v6 ? ICMP6_DST_UNREACH : 3, v6 ? ICMP6_DST_UNREACH_ADDR : 1, quoted);
            break;
        }
        if (!ours) {
          send(asked, asker, error);
          at(script.delay_ms);
          send(asked, asker, reply);
        } else if (script.behaviour == Behaviour::reply_then_error) {
          at(script.delay_ms);
          send(asked, asker, reply);
          send(asked, asker, error);
        } else {
          at(script.delay_ms);
          send(asked, asker, error);
        }
        break;
      }
      case Behaviour::flood:
      case Behaviour::flood_then_reply: {
        const bool heavy = script.behaviour == Behaviour::flood;
        const Bytes noise = foreign();
        bool replied = false;
        const auto until = started + std::chrono::milliseconds(pingext::testing::busy_ms(script));
        for (auto now = Clock::now(); now < until; now = Clock::now()) {
          send(asked, asker, noise);
          if (!heavy && !replied && now >= started + std::chrono::milliseconds(script.delay_ms)) {
            send(asked, asker, reply);
            replied = true;
          }
          std::this_thread::sleep_for(heavy ? std::chrono::microseconds(20)
                                            : std::chrono::milliseconds(1));
        }
        break;
      }
      case Behaviour::oversized_then_reply: {
        Bytes big = reply;
        big.resize(1100, 0x42);
        send(asked, asker, big);
        at(script.delay_ms);
        send(asked, asker, reply);
        break;
      }
    }
  }

 private:
  int sender_;
  int sender6_;
  mutable std::atomic<unsigned> late_error_requests_{0};
};

const FaultCase* script_for(const Address& address) {
  for (const FaultCase& c : pingext::testing::kFaultCases) {
    std::uint8_t row[16];
    if (inet_pton(address.family, c.address, row) == 1 &&
        std::memcmp(row, address.bytes, address.family == AF_INET ? 4 : 16) == 0) {
      return &c;
    }
  }
  return nullptr;
}

// Echo requests to fd00::x. A raw ICMPv6 socket receives the message alone:
// who asked comes with it, whom it asked for in the packet's information, and
// the header an error quotes is rebuilt from the two.
void answer_ipv6(const Peer& peer, int listener6) {
  icmp6_filter requests;
  ICMP6_FILTER_SETBLOCKALL(&requests);
  ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &requests);
  setsockopt(listener6, IPPROTO_ICMPV6, ICMP6_FILTER, &requests, sizeof requests);
  const int on = 1;
  setsockopt(listener6, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
  std::uint8_t buffer[65536];
  for (;;) {
    sockaddr_in6 from{};
    iovec data{buffer, sizeof buffer};
    alignas(cmsghdr) std::uint8_t control[256];
    msghdr message = message_of(from, data, control);
    const ssize_t length = recvmsg(listener6, &message, 0);
    if (length < 8) continue;
    Address asker{AF_INET6, {}};
    std::memcpy(asker.bytes, &from.sin6_addr, 16);
    Address asked{AF_INET6, {}};
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
         item = CMSG_NXTHDR(&message, item)) {
      if (item->cmsg_level == IPPROTO_IPV6 && item->cmsg_type == IPV6_PKTINFO) {
        std::memcpy(asked.bytes, CMSG_DATA(item) + offsetof(in6_pktinfo, ipi6_addr), 16);
      }
    }
    const FaultCase* script = script_for(asked);
    if (script == nullptr) continue;
    std::thread(&Peer::answer, &peer, std::cref(*script), asker, asked,
                ipv6_packet(asker, asked, buffer, static_cast<std::size_t>(length)))
        .detach();
  }
}

// Whether a DNS query asks for a name the script leaves unanswered: its
// first label is that of a dead_resolver row's name.
bool unanswered(const std::uint8_t* query, std::size_t length) {
  constexpr std::size_t kHeader = 12;
  if (length <= kHeader || kHeader + 1 + query[kHeader] > length) return false;
  const std::string label(reinterpret_cast<const char*>(query) + kHeader + 1, query[kHeader]);
  for (const FaultCase& c : pingext::testing::kFaultCases) {
    if (c.behaviour == Behaviour::dead_resolver &&
        std::string(c.address).starts_with(label + ".")) {
      return true;
    }
  }
  return false;
}

// Answers every query with "no such name", but those the script leaves
// unanswered. The answer is the query's header and question.
void serve_names(int server) {
  std::uint8_t query[512];
  for (;;) {
    sockaddr_in asker{};
    socklen_t asker_length = sizeof asker;
    const ssize_t length = recvfrom(server, query, sizeof query, 0,
                                    reinterpret_cast<sockaddr*>(&asker), &asker_length);
    if (length < 12 || unanswered(query, static_cast<std::size_t>(length))) continue;
    std::size_t end = 12;
    while (end < static_cast<std::size_t>(length) && query[end] != 0) end += query[end] + 1u;
    end += 5;  // the root label, then type and class
    if (end > static_cast<std::size_t>(length)) continue;
    query[2] =
        static_cast<std::uint8_t>(0x80 | (query[2] & 0x01));  // a response; recursion as asked
    query[3] = 0x83;                                          // recursion available; NXDOMAIN
    std::memset(query + 6, 0, 6);  // no answers, authorities or additional records
    sendto(server, query, end, 0, reinterpret_cast<const sockaddr*>(&asker), asker_length);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string ready_file;
  long lifetime_s = 600;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--ready") == 0) ready_file = argv[i + 1];
    if (std::strcmp(argv[i], "--lifetime") == 0) lifetime_s = std::strtol(argv[i + 1], nullptr, 10);
  }
  const int listener = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  const int sender = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);  // implies IP_HDRINCL
  const int listener6 = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
  const int sender6 = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
  if (listener < 0 || sender < 0 || listener6 < 0 || sender6 < 0) {
    std::perror("icmp_peer: raw socket");
    return 1;
  }
  timeval poll_interval{1, 0};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &poll_interval, sizeof poll_interval);
  const int name_server = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in name_server_address{};
  name_server_address.sin_family = AF_INET;
  name_server_address.sin_port = htons(53);
  name_server_address.sin_addr.s_addr = inet_addr("127.0.0.53");
  if (bind(name_server, reinterpret_cast<const sockaddr*>(&name_server_address),
           sizeof name_server_address) != 0) {
    std::perror("icmp_peer: name server on 127.0.0.53");
    return 1;
  }
  std::thread(serve_names, name_server).detach();
  const Peer peer(sender, sender6);
  std::thread(answer_ipv6, std::cref(peer), listener6).detach();
  if (!ready_file.empty()) std::ofstream(ready_file) << "ready\n";

  const auto end = Clock::now() + std::chrono::seconds(lifetime_s);
  std::uint8_t buffer[65536];
  while (Clock::now() < end) {
    const ssize_t length = recv(listener, buffer, sizeof buffer, 0);
    if (length < static_cast<ssize_t>(kIpHeader + 8)) continue;
    const std::size_t header = (buffer[0] & 0x0Fu) * 4u;
    if (header != kIpHeader || buffer[header] != 8) continue;  // echo requests only
    Address asker{AF_INET, {}};
    Address asked{AF_INET, {}};
    std::memcpy(asker.bytes, &buffer[12], 4);
    std::memcpy(asked.bytes, &buffer[16], 4);
    const FaultCase* script = script_for(asked);
    if (script == nullptr) continue;
    std::thread(&Peer::answer, &peer, std::cref(*script), asker, asked,
                Bytes(buffer, buffer + length))
        .detach();
  }
  return 0;
}
