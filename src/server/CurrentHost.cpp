#include "CurrentHost.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <glib.h>

std::vector<std::string> CurrentHost::IPv4Addresses() {
  std::vector<std::string> result;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (struct ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr) continue;
    unsigned flags = entry->ifa_flags & (IFF_UP | IFF_RUNNING | IFF_LOOPBACK);
    if (flags != (IFF_UP | IFF_RUNNING) || entry->ifa_addr->sa_family != AF_INET) continue;
    char host[NI_MAXHOST] = {};
    if (getnameinfo(entry->ifa_addr, sizeof(struct sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    if (g_utf8_validate(host, -1, nullptr)) result.emplace_back(host);
  }
  freeifaddrs(list);
  return result;
}
