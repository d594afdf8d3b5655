// A scripted ICMP peer for tests: inside a private network namespace whose
// kernel no longer answers echoes, it answers requests to each 127.0.0.x
// address as tests/peer/fault_script.h says, crafting packets with a raw
// socket so that it can choose their source address.
//   icmp_peer --ready FILE [--lifetime SECONDS]
#include <arpa/inet.h>
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

std::uint16_t checksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
  return static_cast<std::uint16_t>(~sum);
}

Bytes ipv4_header(in_addr from, in_addr to, std::size_t payload_size) {
  Bytes header(kIpHeader, 0);
  header[0] = 0x45;
  const auto total = static_cast<std::uint16_t>(kIpHeader + payload_size);
  header[2] = static_cast<std::uint8_t>(total >> 8);
  header[3] = static_cast<std::uint8_t>(total);
  header[8] = 64;
  header[9] = IPPROTO_ICMP;
  std::memcpy(&header[12], &from, 4);
  std::memcpy(&header[16], &to, 4);
  const std::uint16_t sum = checksum(header.data(), header.size());
  header[10] = static_cast<std::uint8_t>(sum >> 8);
  header[11] = static_cast<std::uint8_t>(sum);
  return header;
}

class Peer {
 public:
  explicit Peer(int sender) : sender_(sender) {}

  // Sends `icmp` (its checksum is filled in here) from `from` to `to`.
  void send(in_addr from, in_addr to, Bytes icmp) const {
    icmp[2] = icmp[3] = 0;
    const std::uint16_t sum = checksum(icmp.data(), icmp.size());
    icmp[2] = static_cast<std::uint8_t>(sum >> 8);
    icmp[3] = static_cast<std::uint8_t>(sum);
    Bytes packet = ipv4_header(from, to, icmp.size());
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr = to;
    sendto(sender_, packet.data(), packet.size(), 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  }

  // An ICMP error of `type` and `code` quoting `quoted`.
  static Bytes error_quoting(std::uint8_t type, std::uint8_t code, const Bytes& quoted) {
    Bytes error{type, code, 0, 0, 0, 0, 0, 0};
    error.insert(error.end(), quoted.begin(), quoted.end());
    return error;
  }

  // Answers one request (its whole IPv4 datagram) as `script` says.
  void answer(const FaultCase& script, Bytes request) const {
    in_addr asker{};
    in_addr asked{};
    std::memcpy(&asker, &request[12], 4);
    std::memcpy(&asked, &request[16], 4);
    const Bytes echo(request.begin() + kIpHeader, request.end());
    Bytes reply = echo;
    reply[0] = 0;  // echo reply
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
      case Behaviour::reply_from_next_address: {
        in_addr next = asked;
        next.s_addr = htonl(ntohl(asked.s_addr) + 1);
        at(script.delay_ms);
        send(next, asker, reply);
        break;
      }
      case Behaviour::silent:
      case Behaviour::started_together:
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
      case Behaviour::other_error_then_reply: {
        const bool ours = script.behaviour != Behaviour::other_error_then_reply;
        // As routers quote it: the IP header and 8 bytes, no send time.
        Bytes quoted(request.begin(), request.begin() + kIpHeader + 8);
        if (!ours) quoted[kIpHeader + 4] ^= 0x5A;
        const bool exceeded = script.behaviour == Behaviour::time_exceeded;
        const Bytes error = error_quoting(exceeded ? 11 : 3, exceeded ? 0 : 1, quoted);
        if (!ours) {
          send(asked, asker, error);
          at(script.delay_ms);
          send(asked, asker, reply);
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
  mutable std::atomic<unsigned> late_error_requests_{0};
};

const FaultCase* script_for(in_addr address) {
  for (const FaultCase& c : pingext::testing::kFaultCases) {
    if (c.behaviour != Behaviour::started_together && inet_addr(c.address) == address.s_addr) {
      return &c;
    }
  }
  return nullptr;
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
  if (listener < 0 || sender < 0) {
    std::perror("icmp_peer: raw socket");
    return 1;
  }
  timeval poll_interval{1, 0};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &poll_interval, sizeof poll_interval);
  if (!ready_file.empty()) std::ofstream(ready_file) << "ready\n";

  const Peer peer(sender);
  const auto end = Clock::now() + std::chrono::seconds(lifetime_s);
  std::uint8_t buffer[65536];
  while (Clock::now() < end) {
    const ssize_t length = recv(listener, buffer, sizeof buffer, 0);
    if (length < static_cast<ssize_t>(kIpHeader + 8)) continue;
    const std::size_t header = (buffer[0] & 0x0Fu) * 4u;
    if (header != kIpHeader || buffer[header] != 8) continue;  // echo requests only
    in_addr asked{};
    std::memcpy(&asked, &buffer[16], 4);
    const FaultCase* script = script_for(asked);
    if (script == nullptr) continue;
    std::thread(&Peer::answer, &peer, std::cref(*script), Bytes(buffer, buffer + length)).detach();
  }
  return 0;
}
