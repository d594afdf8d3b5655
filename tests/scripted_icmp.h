// A scripted stand-in for the platform: every step can be made to fail, time
// is a counter the script moves, and each receive takes the next scripted
// arrival, made from the request actually sent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "platform/icmp_platform.h"

namespace pingext::testing {

using Bytes = std::vector<std::uint8_t>;

struct Arrival {
  std::uint32_t after_ms;  // since the previous receive returned
  platform::ReceiveStatus status;
  // Builds the datagram from the 12 request bytes that were sent.
  std::function<Bytes(const Bytes& request)> datagram;
};

struct ScriptedIcmp {
  struct Socket {
    int handle;
    IpFamily family;
    bool delivers_ipv4_header;
    bool kernel_owns_identifier;
  };

  // What the script makes each step do.
  bool open_succeeds = true;
  bool receive_timeout_succeeds = true;
  bool send_timeout_succeeds = true;
  std::uint32_t dotted_address = platform::kAddressNone;
  bool lookup_succeeds = true;
  IpAddress looked_up_address = ipv4_address(0x0900007F);  // 127.0.0.9
  bool send_succeeds = true;
  std::uint32_t send_takes_ms = 0;  // the clock moves while the request goes out
  std::uint32_t pid = 0x00051234;
  std::uint32_t now = 100000;
  Socket opened_socket{7, IpFamily::v4, true, false};
  // Whom a datagram comes from, for sockets that deliver no IP header.
  IpAddress arrival_sender = ipv4_address(0x0900007F);
  std::deque<Arrival> arrivals;
  // Arrivals that never end, one after another, once `arrivals` is empty.
  std::function<Arrival()> endless;

  // What the probe did.
  int opens = 0;
  int closes = 0;
  int lookups = 0;
  std::vector<std::uint32_t> receive_timeouts;
  std::vector<std::uint32_t> waits;
  Bytes sent_request;
  IpAddress sent_to{};
  std::uint32_t send_time = 0;

  bool open_socket(Socket& socket, IpFamily family) {
    EXPECT_EQ(family, looked_up_address.family);
    if (!open_succeeds) return false;
    ++opens;
    socket = opened_socket;
    return true;
  }
  bool delivers_ipv4_header(const Socket& socket) { return socket.delivers_ipv4_header; }
  bool kernel_owns_identifier(const Socket& socket) { return socket.kernel_owns_identifier; }
  bool set_receive_timeout(Socket&, std::uint32_t milliseconds) {
    receive_timeouts.push_back(milliseconds);
    return receive_timeout_succeeds;
  }
  bool set_send_timeout(const Socket&, std::uint32_t) { return send_timeout_succeeds; }
  std::uint32_t convert_dotted(const char*) { return dotted_address; }
  bool look_up_name(const char*, IpAddress& address) {
    ++lookups;
    if (lookup_succeeds) address = looked_up_address;
    return lookup_succeeds;
  }
  bool send_to(Socket&, std::span<const std::uint8_t> message, const IpAddress& address) {
    sent_request.assign(message.begin(), message.end());
    sent_to = address;
    send_time = now;
    now += send_takes_ms;
    return send_succeeds;
  }
  // A receive waits as long as it is told; an arrival due later is not seen.
  platform::Received receive(Socket&, std::span<std::uint8_t> buffer, std::uint32_t timeout) {
    // A real socket would take a wait of 0 as "forever".
    EXPECT_TRUE(timeout >= 1 && timeout <= 1000) << "wait of " << timeout << " ms";
    waits.push_back(timeout);
    if (arrivals.empty() && endless) arrivals.push_back(endless());
    if (arrivals.empty() || arrivals.front().after_ms > timeout) {
      if (!arrivals.empty()) arrivals.front().after_ms -= timeout;
      now += timeout;
      return {platform::ReceiveStatus::failed, 0, {}};
    }
    Arrival arrival = std::move(arrivals.front());
    arrivals.pop_front();
    now += arrival.after_ms;
    if (arrival.status != platform::ReceiveStatus::datagram) return {arrival.status, 0, {}};
    const Bytes datagram = arrival.datagram(sent_request);
    std::copy(datagram.begin(), datagram.end(), buffer.begin());
    return {platform::ReceiveStatus::datagram, datagram.size(), arrival_sender};
  }
  std::uint32_t receive_time(const Socket&) { return now; }
  void close_socket(const Socket&) { ++closes; }
  std::uint32_t tick_count_ms() { return now; }
  std::uint32_t process_id() { return pid; }
};

}  // namespace pingext::testing
