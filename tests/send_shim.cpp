// Preloaded into a test process (LD_PRELOAD), it makes the library's sends
// meet what the namespaces cannot make: PINGEXT_TEST_ADDRESS_GONE names an
// IPv4 address whose sends fail with EADDRNOTAVAIL, as when a local address
// vanished; PINGEXT_TEST_STALL_AFTER_SEND_MS keeps the sending thread off its
// work that long right after each ICMP request, as a thread taken off the CPU
// there would be. Everything else passes to the real call.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to,
                          socklen_t to_size) {
  using Send = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
  static const auto real_sendto = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "sendto"));
  const char* gone = std::getenv("PINGEXT_TEST_ADDRESS_GONE");
  in_addr gone_address{};
  if (gone != nullptr && to != nullptr && to->sa_family == AF_INET &&
      inet_pton(AF_INET, gone, &gone_address) == 1 &&
      std::memcmp(&reinterpret_cast<const sockaddr_in*>(to)->sin_addr, &gone_address, 4) == 0) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  const ssize_t sent = real_sendto(fd, data, size, flags, to, to_size);
  const char* stall = std::getenv("PINGEXT_TEST_STALL_AFTER_SEND_MS");
  int protocol = 0;
  socklen_t length = sizeof protocol;
  if (stall != nullptr && getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
      (protocol == IPPROTO_ICMP || protocol == IPPROTO_ICMPV6)) {
    const long ms = std::atol(stall);
    const timespec pause{ms / 1000, ms % 1000 * 1000000};
    nanosleep(&pause, nullptr);
  }
  return sent;
}
