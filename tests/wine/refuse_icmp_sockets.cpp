// Preloaded into the Wine server alone (LD_PRELOAD=... wineserver), it makes a
// Windows program meet what a non-administrator meets on Windows: the server,
// which opens every program's sockets, is refused ICMP sockets, so WSASocketA
// fails with WSAEACCES. Everything else passes to the real call, and the ICMP
// helper keeps working, since another Wine process sends its echoes.
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

extern "C" int socket(int domain, int type, int protocol) {
  using SocketCall = int (*)(int, int, int);
  static const auto real_socket = reinterpret_cast<SocketCall>(dlsym(RTLD_NEXT, "socket"));
  const int kind = type & 0xF;  // SOCK_NONBLOCK and SOCK_CLOEXEC are flags above these bits
  const bool icmp = protocol == IPPROTO_ICMP || protocol == IPPROTO_ICMPV6;
  if (icmp && (kind == SOCK_RAW || kind == SOCK_DGRAM)) {
    errno = kind == SOCK_RAW ? EPERM : EACCES;  // what Linux answers an unprivileged caller
    return -1;
  }
  return real_socket(domain, type, protocol);
}
