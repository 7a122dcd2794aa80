// Fuzz target: the header of a datagram from a UDP association's client. The verdict must follow
// from the bytes alone, a header that decodes must be the bytes it came from, a datagram cut
// before its payload must be short, and what is wrapped for the client must decode to itself.
#include "fuzzcheck.h"
#include "net/sockaddr.h"
#include "relay/udpheader.h"

namespace udp = relay::socks5udp;
using Status = udp::Status;

namespace {
int at(QByteArrayView bytes, qsizetype i)
{
    return i < bytes.size() ? static_cast<quint8>(bytes.at(i)) : -1;
}
Status expected(QByteArrayView d)
{
    const int type = at(d, 3), nameLength = at(d, 4);
    if (d.size() < 4)
        return Status::Short;
    if (at(d, 0) || at(d, 1))
        return Status::ReservedNotZero;
    if (at(d, 2))
        return Status::Fragmented;
    if (type != 1 && type != 3 && type != 4)
        return Status::UnknownAddressType;
    const qsizetype length = type == 1 ? 10 : type == 4 ? 22 : 7 + nameLength;
    if (nameLength < 0 || d.size() < length)
        return Status::Short;
    return type == 3 && nameLength == 0 ? Status::EmptyName : Status::Ok;
}
QByteArray encode(const relay::Destination &to)
{
    QByteArray bytes("\0\0\0", 3);
    if (to.address.isNull()) {
        bytes += char(3) + QByteArray(1, char(to.hostName.size())) + to.hostName;
    } else if (to.address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = to.address.toIPv4Address();
        bytes +=
            char(1) + QByteArray(1, char(v4 >> 24)) + char(v4 >> 16) + char(v4 >> 8) + char(v4);
    } else {
        const Q_IPV6ADDR v6 = to.address.toIPv6Address();
        bytes += char(4) + QByteArray(reinterpret_cast<const char *>(v6.c), 16);
    }
    return bytes + char(to.port >> 8) + char(to.port);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView datagram(data, qsizetype(size));
    const udp::Decoded d = udp::decode(datagram);
    FUZZ_CHECK(d.status == expected(datagram));
    FUZZ_CHECK((d.status == Status::Ok) == (d.payloadOffset > 0));
    if (d.status != Status::Ok)
        return 0;
    const qsizetype n = d.payloadOffset;
    FUZZ_CHECK(encode(d.destination) == datagram.first(n));
    FUZZ_CHECK(udp::decode(datagram.first(n - 1)).status == Status::Short);
    if (d.destination.address.isNull())
        return 0;
    const QByteArray wrapped =
        udp::wrap(d.destination.address, d.destination.port, datagram.sliced(n));
    const udp::Decoded back = udp::decode(wrapped);
    FUZZ_CHECK(back.status == Status::Ok && back.destination.port == d.destination.port);
    FUZZ_CHECK(net::plain(back.destination.address) == net::plain(d.destination.address));
    FUZZ_CHECK(wrapped.sliced(back.payloadOffset) == datagram.sliced(n));
    return 0;
}
