// The probe's sequence of steps, written against any type with the members of
// platform::SystemIcmp, so tests can drive it with a scripted platform.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/icmp_platform.h"
#include "probe/echo_message.h"
#include "probe/ping_host.h"

namespace pingext {

template <typename Platform>
std::int32_t probe_round_trip(Platform& platform, const char* name) {
  platform::IcmpSocket socket{};
  if (!platform.open_socket(socket)) return kPingFailed;

  // Every path below leaves through here, so the socket is closed exactly once.
  const auto finish = [&](std::int32_t result) {
    platform.close_socket(socket);
    return result;
  };

  if (!platform.set_receive_timeout(socket, kSocketTimeoutMs) ||
      !platform.set_send_timeout(socket, kSocketTimeoutMs)) {
    return finish(kPingFailed);
  }

  std::uint32_t address = platform.convert_dotted(name);
  if (address == platform::kAddressNone && !platform.look_up_name(name, address)) {
    return finish(kPingFailed);
  }

  std::array<std::uint8_t, kPacketBufferSize> request{};
  std::array<std::uint8_t, kPacketBufferSize> reply{};
  const std::uint32_t process_id = platform.process_id();
  const std::uint32_t send_time = platform.tick_count_ms();
  build_echo_request(request, process_id, send_time);

  SentEcho sent{
      socket.kernel_sets_identifier ? socket.kernel_identifier : echo_identifier(process_id),
      send_time,
      {}};
  std::memcpy(sent.destination, &address, sizeof sent.destination);

  if (!platform.send_to(socket, std::span(request).first(kEchoRequestSize), address)) {
    return finish(kPingFailed);
  }

  // A raw socket sees every ICMP message reaching the host, so wait for ours
  // until one second after the send, however much else arrives meanwhile.
  for (std::uint32_t remaining = kSocketTimeoutMs;;) {
    const platform::Received received = platform.receive(socket, reply, remaining);
    const std::uint32_t receive_time = platform.tick_count_ms();
    if (received.status == platform::ReceiveStatus::failed) return finish(kPingFailed);
    if (received.status == platform::ReceiveStatus::datagram && received.length <= reply.size()) {
      const ReplyMatch match =
          match_echo_reply(std::span(reply).first(received.length), receive_time, sent);
      if (match.verdict == ReplyVerdict::echo_reply) return finish(match.round_trip_ms);
      if (match.verdict == ReplyVerdict::error_for_request) return finish(kPingFailed);
    }
    const std::uint32_t elapsed = receive_time - send_time;
    if (elapsed >= kSocketTimeoutMs) return finish(kPingFailed);
    remaining = kSocketTimeoutMs - elapsed;
  }
}

}  // namespace pingext
