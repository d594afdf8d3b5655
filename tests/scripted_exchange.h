// A scripted stand-in for the platform: every step can be made to fail, time
// is a count the script moves, and each scripted message arrives at its own
// time after the send, made from the request actually sent. The caller may be
// kept off the CPU: its first read then comes late, and whatever arrived
// meanwhile waits in the queue, in the order it came.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "platform/echo_exchange.h"
#include "tests/row_name.h"

namespace pingext::testing {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedMessage {
  std::uint32_t at_ms;  // after the send
  // The bare ICMP message, made from the 12 request bytes that were sent;
  // none: the exchange fails then.
  std::function<Bytes(const Bytes& request)> make;
  // Whether the system says when it arrived; else the read time stands.
  bool stamped = true;
};

struct ScriptedEcho {
  struct Exchange {
    int handle;
  };

  // What the script makes each step do.
  bool resolve_succeeds = true;
  platform::Target target{ipv4_address(0x0900007F), false, {}};  // 127.0.0.9
  bool open_succeeds = true;
  platform::RequestIdentity identity{0x1234, false};
  std::vector<platform::Sent> sends;  // per attempt; then sent
  std::uint32_t send_takes_ms = 0;    // the clock moves while the request goes out
  std::uint32_t now = 100000;
  std::uint32_t first_read_after_ms = 0;  // the caller is off the CPU after the send
  IpAddress sender = ipv4_address(0x0900007F);
  std::deque<ScriptedMessage> messages;  // in the order they arrive

  // What the probe did.
  int resolves = 0;
  int opens = 0;
  int closes = 0;
  int reads = 0;
  std::vector<IpFamily> opened_families;
  std::vector<IpAddress> sent_to;
  Bytes sent_request;
  std::uint32_t send_time = 0;
  std::uint32_t deadline = 0;

  bool resolve(const char*, platform::Target& resolved) {
    ++resolves;
    if (resolve_succeeds) resolved = target;
    return resolve_succeeds;
  }
  bool open(Exchange& exchange, IpFamily family, platform::RequestIdentity& given) {
    if (!open_succeeds) return false;
    ++opens;
    opened_families.push_back(family);
    exchange = {7};
    given = identity;
    return true;
  }
  platform::Sent send(Exchange&, std::span<const std::uint8_t> request,
                      const IpAddress& destination, std::uint32_t deadline_ms) {
    sent_request.assign(request.begin(), request.end());
    sent_to.push_back(destination);
    send_time = now;
    deadline = deadline_ms;
    now += send_takes_ms;
    const std::size_t attempt = sent_to.size() - 1;
    return attempt < sends.size() ? sends[attempt] : platform::Sent::sent;
  }
  // Never waits past the deadline; after it, hands over only what is queued.
  platform::Next next(Exchange&, std::span<std::uint8_t, kPacketBufferSize> buffer,
                      platform::Arrival& arrival) {
    const auto later = [](std::uint32_t a, std::uint32_t b) {
      return static_cast<std::int32_t>(a - b) > 0;
    };
    if (reads++ == 0 && later(send_time + first_read_after_ms, now)) {
      now = send_time + first_read_after_ms;
    }
    if (messages.empty() || later(send_time + messages.front().at_ms, now)) {
      if (messages.empty() || later(send_time + messages.front().at_ms, deadline)) {
        if (later(deadline, now)) now = deadline;
        return platform::Next::deadline_passed;
      }
      now = send_time + messages.front().at_ms;  // waits for it
    }
    const ScriptedMessage message = messages.front();
    messages.pop_front();
    if (!message.make) return platform::Next::failed;
    const Bytes bytes = message.make(sent_request);
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    arrival = {{sender, std::span<const std::uint8_t>(buffer).first(bytes.size())},
               message.stamped ? send_time + message.at_ms : now};
    return platform::Next::arrival;
  }
  void close(Exchange&) { ++closes; }
  std::uint32_t now_ms() { return now; }
};

}  // namespace pingext::testing
