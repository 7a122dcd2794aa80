#include "socks5.h"

#include <QByteArrayView>
#include <QtEndian>

#include <algorithm>
#include <cerrno>

namespace relay::socks5 {

namespace {

int byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<quint8>(bytes.at(i));
}

/// ::ffff:a.b.c.d, an IPv4 address as an IPv6 socket sees it.
bool isIPv4Mapped(const Q_IPV6ADDR &address)
{
    static constexpr quint8 prefix[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
    return std::equal(prefix, prefix + 12, address.c);
}

} // namespace

GreetingResult decodeGreeting(const QByteArray &buffer)
{
    GreetingResult result;
    if (buffer.isEmpty())
        return result;
    if (byteAt(buffer, 0) != Version) {
        result.status = GreetingStatus::NoAcceptableMethod;
        return result;
    }
    if (buffer.size() < 2)
        return result;
    const qsizetype length = 2 + byteAt(buffer, 1);
    if (buffer.size() < length)
        return result;
    const bool offered =
        QByteArrayView(buffer).sliced(2, length - 2).contains(char(NoAuthentication));
    result.status = offered ? GreetingStatus::Accepted : GreetingStatus::NoAcceptableMethod;
    result.consumed = length;
    return result;
}

QByteArray methodReply(bool accepted)
{
    QByteArray bytes(2, char(Version));
    bytes[1] = char(accepted ? NoAuthentication : NoAcceptableMethods);
    return bytes;
}

RequestResult decodeRequest(const QByteArray &buffer)
{
    RequestResult result;
    if (buffer.isEmpty())
        return result;
    if (byteAt(buffer, 0) != Version) {
        result.status = RequestStatus::BadVersion;
        return result;
    }
    // VER CMD RSV ATYP, then the address (its length known from ATYP, for a name from the byte
    // after ATYP), then the port.
    if (buffer.size() < 4)
        return result;
    Request &request = result.request;
    request.command = quint8(byteAt(buffer, 1));
    const int type = byteAt(buffer, 3);
    qsizetype addressLength = 0;
    if (type == IPv4) {
        addressLength = 4;
    } else if (type == IPv6) {
        addressLength = 16;
    } else if (type == DomainName) {
        if (buffer.size() < 5)
            return result;
        addressLength = 1 + byteAt(buffer, 4);
    } else {
        result.status = RequestStatus::AddressTypeNotSupported;
        return result;
    }
    const qsizetype length = 4 + addressLength + 2;
    if (buffer.size() < length)
        return result;

    const char *address = buffer.constData() + 4;
    if (type == IPv4)
        request.address = QHostAddress(qFromBigEndian<quint32>(address));
    else if (type == IPv6)
        request.address = QHostAddress(reinterpret_cast<const quint8 *>(address));
    else
        request.hostName = buffer.mid(5, addressLength - 1);
    request.port = qFromBigEndian<quint16>(buffer.constData() + length - 2);
    request.consumed = length;
    if (request.command != Connect && request.command != UdpAssociate)
        result.status = RequestStatus::CommandNotSupported;
    else if (type == DomainName && request.hostName.isEmpty())
        result.status = RequestStatus::BadHostName;
    else
        result.status = RequestStatus::Complete;
    return result;
}

QByteArray reply(Reply code, const QHostAddress &bound, quint16 port)
{
    QByteArray bytes;
    bytes.reserve(4 + 16 + 2);
    bytes += char(Version);
    bytes += char(code);
    bytes += '\0';
    const Q_IPV6ADDR v6 = bound.toIPv6Address();
    if (bound.protocol() == QAbstractSocket::IPv6Protocol && !isIPv4Mapped(v6)) {
        bytes += char(IPv6);
        bytes.append(reinterpret_cast<const char *>(v6.c), 16);
    } else {
        bytes += char(IPv4);
        bool ok = false;
        const quint32 v4 = bound.toIPv4Address(&ok);
        bytes.resize(bytes.size() + 4);
        qToBigEndian(ok ? v4 : 0U, bytes.data() + 4);
    }
    if (bound.isNull())
        port = 0;
    bytes.resize(bytes.size() + 2);
    qToBigEndian(port, bytes.data() + bytes.size() - 2);
    return bytes;
}

Reply replyFor(int connectError)
{
    switch (connectError) {
    case ECONNREFUSED:
        return Reply::ConnectionRefused;
    case ENETUNREACH:
        return Reply::NetworkUnreachable;
    case EHOSTUNREACH:
        return Reply::HostUnreachable;
    case ETIMEDOUT:
        return Reply::TtlExpired;
    case EACCES:
    case EPERM:
        return Reply::NotAllowed;
    default:
        return Reply::GeneralFailure;
    }
}

} // namespace relay::socks5
