#include "sockaddr.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>

namespace net {

namespace {

template<typename Get> SocketAddress addressOf(int fd, Get get)
{
    sockaddr_storage a {};
    socklen_t length = sizeof a;
    if (get(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0)
        return {};
    const QHostAddress host(reinterpret_cast<const sockaddr *>(&a));
    // sin_port and sin6_port sit at the same offset.
    return { plain(host), ntohs(reinterpret_cast<const sockaddr_in *>(&a)->sin_port) };
}

} // namespace

QHostAddress plain(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : address;
}

SocketAddress peerOf(int fd)
{
    return addressOf(fd, ::getpeername);
}

SocketAddress localOf(int fd)
{
    return addressOf(fd, ::getsockname);
}

socklen_t toSockaddr(const QHostAddress &host, quint16 port, sockaddr_storage &out)
{
    out = {};
    bool isV4 = false;
    const quint32 v4 = host.toIPv4Address(&isV4);
    if (isV4 && host.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(v4);
        return sizeof(sockaddr_in);
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = host.toIPv6Address();
    std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
    in6->sin6_scope_id = host.scopeId().toUInt();
    return sizeof(sockaddr_in6);
}

QString connectErrorText(int error)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("net", text); };
    switch (error) {
    case ECONNREFUSED:
        return tr("Connection refused");
    case ETIMEDOUT:
        return tr("Connection timed out");
    case EHOSTUNREACH:
        return tr("Host unreachable");
    case ENETUNREACH:
        return tr("Network unreachable");
    case EACCES:
    case EPERM:
        return tr("Permission denied");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

} // namespace net
