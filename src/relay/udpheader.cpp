#include "udpheader.h"

#include "socks5.h"

#include <QtEndian>

namespace relay::socks5udp {

Decoded decode(QByteArrayView datagram)
{
    Decoded result;
    const auto at = [&](qsizetype i) { return static_cast<quint8>(datagram.at(i)); };
    if (datagram.size() < 4)
        return result;
    if (at(0) != 0 || at(1) != 0) {
        result.status = Status::ReservedNotZero;
        return result;
    }
    if (at(2) != 0) {
        result.status = Status::Fragmented;
        return result;
    }
    const quint8 type = at(3);
    qsizetype addressLength = 0;
    if (type == socks5::IPv4) {
        addressLength = 4;
    } else if (type == socks5::IPv6) {
        addressLength = 16;
    } else if (type == socks5::DomainName) {
        if (datagram.size() < 5)
            return result;
        addressLength = 1 + at(4);
    } else {
        result.status = Status::UnknownAddressType;
        return result;
    }
    const qsizetype length = 4 + addressLength + 2;
    if (datagram.size() < length)
        return result;
    const char *address = datagram.data() + 4;
    Destination &destination = result.destination;
    if (type == socks5::IPv4)
        destination.address = QHostAddress(qFromBigEndian<quint32>(address));
    else if (type == socks5::IPv6)
        destination.address = QHostAddress(reinterpret_cast<const quint8 *>(address));
    else
        destination.hostName = datagram.sliced(5, addressLength - 1).toByteArray();
    destination.port = qFromBigEndian<quint16>(datagram.data() + length - 2);
    if (type == socks5::DomainName && destination.hostName.isEmpty()) {
        result.status = Status::EmptyName;
        return result;
    }
    result.status = Status::Ok;
    result.payloadOffset = length;
    return result;
}

QByteArray header(const QHostAddress &source, quint16 port)
{
    // The reply to a request has the same address and port form after its first three bytes.
    QByteArray bytes = socks5::reply(socks5::Reply::Succeeded, source, port);
    bytes[0] = 0;
    return bytes;
}

QByteArray wrap(const QHostAddress &source, quint16 port, QByteArrayView payload)
{
    QByteArray bytes = header(source, port);
    bytes.append(payload);
    return bytes;
}

} // namespace relay::socks5udp
