#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "ViewNet.h"

void SetViewSocketOptions(int socket) {
  int yes = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

bool NamesThisMachine(const std::string& name) {
  if (strcasecmp(name.c_str(), "localhost") == 0) return true;
  char host_name[256] = "";
  if (gethostname(host_name, sizeof host_name - 1) == 0 && *host_name &&
      strcasecmp(name.c_str(), host_name) == 0)
    return true;
  in_addr v4;
  in6_addr v6;
  const bool is_v4 = inet_pton(AF_INET, name.c_str(), &v4) == 1;
  const bool is_v6 = !is_v4 && inet_pton(AF_INET6, name.c_str(), &v6) == 1;
  if (is_v4 && ntohl(v4.s_addr) >> 24 == 127) return true;
  if (is_v6 && IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  if (!is_v4 && !is_v6) return false;
  // The interfaces' addresses are read at each check: an address that came or went since the
  // view started counts as it is now.
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool own = false;
  for (const ifaddrs* a = list; a && !own; a = a->ifa_next) {
    if (!a->ifa_addr) continue;
    if (is_v4 && a->ifa_addr->sa_family == AF_INET)
      own = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == v4.s_addr;
    else if (is_v6 && a->ifa_addr->sa_family == AF_INET6)
      own = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr, &v6,
                        sizeof v6) == 0;
  }
  freeifaddrs(list);
  return own;
}
