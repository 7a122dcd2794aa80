// Fuzz target: a UDP association's header. The verdict follows from the bytes, a cut header is
// short, and an answer from the decoded destination is named by the bytes the header came from.
#include "fuzzcheck.h"
#include "relay/udpheader.h"

namespace udp = relay::socks5udp;
using Status = udp::Status;

namespace {
int at(QByteArrayView b, qsizetype i)
{
    return i < b.size() ? static_cast<quint8>(b.at(i)) : -1;
}
Status expected(QByteArrayView d)
{
    const int type = at(d, 3), nameLength = at(d, 4);
    const qsizetype length = type == 1 ? 10 : type == 4 ? 22 : 7 + nameLength;
    return d.size() < 4                       ? Status::Short
        : at(d, 0) || at(d, 1)                ? Status::ReservedNotZero
        : at(d, 2)                            ? Status::Fragmented
        : type != 1 && type != 3 && type != 4 ? Status::UnknownAddressType
        : nameLength < 0 || d.size() < length ? Status::Short
        : type == 3 && nameLength == 0        ? Status::EmptyName
                                              : Status::Ok;
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
    const relay::Destination &to = d.destination;
    FUZZ_CHECK(to.port == (at(datagram, n - 2) << 8 | at(datagram, n - 1)));
    FUZZ_CHECK(udp::decode(datagram.first(n - 1)).status == Status::Short);
    if (to.address.isNull())
        return FUZZ_CHECK(to.hostName == datagram.sliced(5, n - 7)), 0;
    // An answer from that address is named as it was sent, an IPv4-mapped one as IPv4.
    const QByteArray header = udp::header(to.address, to.port);
    FUZZ_CHECK(header == datagram.first(n)
        || (at(datagram, 3) == 4 && header.size() == 10
            && header.sliced(4, 4) == datagram.sliced(16, 4)
            && datagram.sliced(4, 12) == QByteArray::fromHex("00000000000000000000FFFF")));
    return 0;
}
