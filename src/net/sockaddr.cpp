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
    return fromSockaddr(a);
}

} // namespace

SocketAddress fromSockaddr(const sockaddr_storage &a)
{
    if (a.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&a);
        return { QHostAddress(ntohl(in->sin_addr.s_addr)), ntohs(in->sin_port) };
    }
    if (a.ss_family != AF_INET6)
        return {};
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&a);
    const quint8 *b = in6->sin6_addr.s6_addr;
    // An IPv4 client of the dual-stack socket arrives IPv4-mapped: plain IPv4 for everyone else.
    static constexpr quint8 mapped[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
    if (std::memcmp(b, mapped, sizeof mapped) == 0)
        return { QHostAddress(
                     quint32(b[12]) << 24 | quint32(b[13]) << 16 | quint32(b[14]) << 8 | b[15]),
            ntohs(in6->sin6_port) };
    return { plain(QHostAddress(reinterpret_cast<const sockaddr *>(&a))), ntohs(in6->sin6_port) };
}

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
