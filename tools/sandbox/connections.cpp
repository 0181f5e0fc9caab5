// SPDX-License-Identifier: Apache-2.0
#include "connections.hpp"

#include <charconv>
#include <filesystem>
#include <functional>
#include <system_error>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace zelk::sandbox {
namespace {

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  return -1;
}

// Calls `visit(fd, peer, peerLength)` for every connected TCP socket of this process whose local
// end is `port`. Clients in this process connected to the sandbox have it as their peer, not as
// their local end, so they are left out.
void forEachAcceptedConnection(
    int port, const std::function<bool(int, const sockaddr_storage&, socklen_t)>& visit) {
#ifdef __linux__
  std::error_code failure;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", failure)) {
    const std::string name = entry.path().filename().string();
    int fd = 0;
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc{}) continue;
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
      continue;
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    if (portOf(local) != port ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
      continue;
    if (!visit(fd, peer, peerLength)) return;
  }
#else
  (void)port;
  (void)visit;
#endif
}

}  // namespace

// httplib's stop() closes the listening socket, but a worker waiting on an idle keep-alive
// connection only notices after the keep-alive timeout (5 s). Shutting down the accepted
// connections ends that wait at once.
void shutDownAcceptedConnections(int port) {
  forEachAcceptedConnection(port, [](int fd, const sockaddr_storage&, socklen_t) {
    shutdown(fd, SHUT_RDWR);
    return true;
  });
}

int findAcceptedConnection(int port, const std::string& peerAddress, int peerPort) {
  int found = -1;
  forEachAcceptedConnection(port, [&](int fd, const sockaddr_storage& peer, socklen_t length) {
    if (portOf(peer) != peerPort) return true;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0 ||
        peerAddress != host)
      return true;
    found = fd;
    return false;
  });
  return found;
}

bool peerHungUp(int fd) {
  pollfd watched{};
  watched.fd = fd;
#ifdef POLLRDHUP
  watched.events = POLLIN | POLLRDHUP;
  constexpr short kGone = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;
#else
  watched.events = POLLIN;
  constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;
#endif
  return poll(&watched, 1, 0) > 0 && (watched.revents & kGone) != 0;
}

}  // namespace zelk::sandbox
