// A bare raw ICMP probe with no code of the library: a socket per call, one
// echo request to 127.0.0.1, a blocking receive until its reply or one
// second. Counts the calls whose reply never came, to tell the kernel's raw
// delivery from anything the library does. Root, in a private namespace:
//   bare_raw_probe CALLS     (prints "lost L of CALLS")
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::uint16_t checksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
  return static_cast<std::uint16_t>(~sum);
}

// True when the reply to (identifier, sequence) came within a second.
bool one_exchange(std::uint16_t identifier, std::uint16_t sequence) {
  const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd < 0) {
    std::perror("bare_raw_probe: socket");
    std::exit(2);
  }
  timeval second{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
  std::uint8_t request[12] = {ICMP_ECHO, 0, 0, 0};
  const std::uint16_t id = htons(identifier), seq = htons(sequence);
  std::memcpy(request + 4, &id, 2);
  std::memcpy(request + 6, &seq, 2);
  const std::uint16_t sum = htons(checksum(request, sizeof request));
  std::memcpy(request + 2, &sum, 2);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  bool answered = false;
  std::uint8_t buffer[1024];
  for (;;) {
    const ssize_t length = recv(fd, buffer, sizeof buffer, 0);
    if (length < 0) break;  // the second is over
    const std::size_t header = (buffer[0] & 0x0Fu) * 4u;
    if (static_cast<std::size_t>(length) < header + 8 || buffer[header] != ICMP_ECHOREPLY) continue;
    if (std::memcmp(buffer + header + 4, request + 4, 4) == 0) {
      answered = true;
      break;
    }
  }
  close(fd);
  return answered;
}

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
  const auto identifier = static_cast<std::uint16_t>(getpid());
  long lost = 0;
  for (long i = 0; i < calls; ++i) {
    if (!one_exchange(identifier, static_cast<std::uint16_t>(i))) ++lost;
  }
  std::printf("lost %ld of %ld\n", lost, calls);
  return 0;
}
