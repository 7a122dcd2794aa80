#pragma once

// A connected pair of loopback TCP sockets: one end for the unit under test (non-blocking, as
// the listener and the connector hand them over), one for the test to play the peer.

#include "net/socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

inline std::pair<net::Socket, net::Socket> tcpPair()
{
    const net::Socket server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at { AF_INET, 0, { htonl(INADDR_LOOPBACK) }, {} };
    auto *a = reinterpret_cast<sockaddr *>(&at);
    socklen_t length = sizeof at;
    net::Socket peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(server.fd(), a, length) != 0 || ::listen(server.fd(), 1) != 0
        || ::getsockname(server.fd(), a, &length) != 0 || ::connect(peer.fd(), a, length) != 0)
        return {};
    net::Socket ours(::accept4(server.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    return { std::move(ours), std::move(peer) };
}
