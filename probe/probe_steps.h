// The probe's sequence of steps, written against any type with the members of
// platform::SystemIcmp, so tests can drive it with a scripted platform.
#pragma once

#include <array>
#include <cstdint>

#include "platform/icmp_platform.h"
#include "probe/echo_message.h"
#include "probe/ping_host.h"

namespace pingext {

template <typename Platform>
bool resolve_target(Platform& platform, const char* name, IpAddress& destination) {
  const std::uint32_t dotted = platform.convert_dotted(name);
  if (dotted != platform::kAddressNone) {
    destination = ipv4_address(dotted);
    return true;
  }
  return platform.look_up_name(name, destination);
}

template <typename Platform>
std::int32_t probe_round_trip(Platform& platform, const char* name) {
  // The address decides the socket's family, so it comes first.
  IpAddress destination{};
  if (!resolve_target(platform, name, destination) || names_no_host(destination)) {
    return kPingFailed;
  }

  typename Platform::Socket socket{};
  if (!platform.open_socket(socket, destination.family)) return kPingFailed;

  // Every path below leaves through here, so the socket is closed exactly once.
  const auto finish = [&](std::int32_t result) {
    platform.close_socket(socket);
    return result;
  };

  if (!platform.set_receive_timeout(socket, kSocketTimeoutMs) ||
      !platform.set_send_timeout(socket, kSocketTimeoutMs)) {
    return finish(kPingFailed);
  }

  std::array<std::uint8_t, kPacketBufferSize> request{};
  std::array<std::uint8_t, kPacketBufferSize> reply{};
  // A socket whose kernel writes the identifier has no use for the process id.
  const bool kernel_owns_identifier = platform.kernel_owns_identifier(socket);
  const std::uint32_t process_id = kernel_owns_identifier ? 0 : platform.process_id();
  const std::uint32_t send_time = platform.tick_count_ms();
  build_echo_request(request, destination.family, process_id, send_time);

  if (!platform.send_to(socket, std::span(request).first(kEchoRequestSize), destination)) {
    return finish(kPingFailed);
  }
  const SentEcho sent{echo_identifier(process_id), send_time, destination, kernel_owns_identifier};
  const bool delivers_ipv4_header = platform.delivers_ipv4_header(socket);

  // A raw socket sees every ICMP message reaching the host, so wait for ours
  // until one second after the send, however much else arrives meanwhile.
  for (std::uint32_t remaining = kSocketTimeoutMs;;) {
    const platform::Received received = platform.receive(socket, reply, remaining);
    const std::uint32_t receive_time = platform.receive_time(socket);
    if (received.status == platform::ReceiveStatus::failed) return finish(kPingFailed);
    if (received.status == platform::ReceiveStatus::datagram && received.length <= reply.size()) {
      const std::span<const std::uint8_t> bytes = std::span(reply).first(received.length);
      const IcmpMessage message =
          delivers_ipv4_header ? split_ipv4_datagram(bytes) : IcmpMessage{received.sender, bytes};
      const ReplyMatch match = match_echo_reply(message, receive_time, sent);
      if (match.verdict == ReplyVerdict::echo_reply) {
        return finish(match.round_trip_ms);
      }
      if (match.verdict == ReplyVerdict::error_for_request) return finish(kPingFailed);
    }
    const std::uint32_t elapsed = receive_time - send_time;
    if (elapsed >= kSocketTimeoutMs) return finish(kPingFailed);
    remaining = kSocketTimeoutMs - elapsed;
  }
}

}  // namespace pingext
