// SPDX-License-Identifier: Apache-2.0
// The sandbox's accepted TCP connections, found among the process's descriptors. httplib hands
// neither the listening loop nor the handlers the sockets, but stopping promptly and noticing
// that a streaming client went away both need them.
#pragma once

#include <string>

namespace zelk::sandbox {

// Shuts down (both directions) every connection this process accepted on local `port`.
void shutDownAcceptedConnections(int port);

// The descriptor of the connection accepted on local `port` from `peerAddress`:`peerPort`
// (numeric, as httplib reports it in REMOTE_ADDR and REMOTE_PORT); -1 when there is none or the
// platform cannot tell.
int findAcceptedConnection(int port, const std::string& peerAddress, int peerPort);

// Whether the peer of connection `fd` closed it or shut down its sending side. Does not block.
bool peerHungUp(int fd);

}  // namespace zelk::sandbox
