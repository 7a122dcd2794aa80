#include "range.h"

#include <QHostAddress>
#include <QStringList>

namespace acl {

namespace {

/// A decimal number without sign, blanks or leading zeros, at most max; -1 otherwise.
int plainNumber(QStringView text, int max)
{
    if (text.isEmpty() || text.size() > 3 || (text.size() > 1 && text.front() == u'0'))
        return -1;
    int value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value <= max ? value : -1;
}

/// The address as clients are written: four plain numbers 0-255 joined by ".".
std::optional<quint32> dotted(QStringView text)
{
    quint32 address = 0;
    int parts = 0;
    for (const QStringView part : text.tokenize(u'.')) {
        const int value = plainNumber(part, 255);
        if (value < 0 || ++parts > 4)
            return std::nullopt;
        address = address << 8 | quint32(value);
    }
    return parts == 4 ? std::optional(address) : std::nullopt;
}

quint64 mask(int bits)
{
    return bits <= 0 ? 0 : bits >= 64 ? ~0ULL : ~0ULL << (64 - bits);
}

Range network(Range::Family family, quint64 high, quint64 low, int prefix)
{
    Range range;
    range.family = family;
    range.maskHigh = mask(prefix);
    range.maskLow = mask(prefix - 64);
    range.high = high & range.maskHigh;
    range.low = low & range.maskLow;
    return range;
}

Range ipv4(quint32 address, int prefix)
{
    return network(Range::IPv4, quint64(address) << 32, 0, prefix);
}

/// The IPv6 address as 128 bits, with the IPv4-mapped block (::ffff:a.b.c.d) as IPv4.
Range fromIpv6(const Q_IPV6ADDR &bytes, int prefix)
{
    quint64 high = 0, low = 0;
    for (int i = 0; i < 8; ++i) {
        high = high << 8 | bytes[i];
        low = low << 8 | bytes[i + 8];
    }
    if (high == 0 && low >> 32 == 0xffff && prefix >= 96)
        return ipv4(quint32(low), prefix - 96);
    return network(Range::IPv6, high, low, prefix);
}

std::optional<Range> ipv6(QStringView text, int prefix)
{
    for (const QChar c : text) {
        // Qt's parser would also take blanks around the address and a zone ("%eth0").
        if (!(c >= u'0' && c <= u'9') && !(c >= u'a' && c <= u'f') && !(c >= u'A' && c <= u'F')
            && c != u':' && c != u'.')
            return std::nullopt;
    }
    QHostAddress address;
    if (!address.setAddress(text.toString()) || address.protocol() != QAbstractSocket::IPv6Protocol)
        return std::nullopt;
    return fromIpv6(address.toIPv6Address(), prefix);
}

} // namespace

std::optional<Range> rangeOf(const QString &entry)
{
    const qsizetype slash = entry.indexOf(u'/');
    const bool isIpv6 = entry.contains(u':');
    if (slash < 0 && !isIpv6) {
        const std::optional<quint32> address = dotted(entry);
        return address ? std::optional(ipv4(*address, 32)) : std::nullopt;
    }
    const QStringView text = QStringView(entry).left(slash < 0 ? entry.size() : slash);
    const int maxPrefix = isIpv6 ? 128 : 32;
    const int prefix =
        slash < 0 ? maxPrefix : plainNumber(QStringView(entry).mid(slash + 1), maxPrefix);
    if (prefix < 0)
        return std::nullopt;
    if (isIpv6)
        return ipv6(text, prefix);
    const std::optional<quint32> address = dotted(text);
    return address ? std::optional(ipv4(*address, prefix)) : std::nullopt;
}

Range clientOf(const QHostAddress &client)
{
    switch (client.protocol()) {
    case QAbstractSocket::IPv4Protocol:
        return ipv4(client.toIPv4Address(), 32);
    case QAbstractSocket::IPv6Protocol:
        return fromIpv6(client.toIPv6Address(), 128);
    default:
        return {};
    }
}

} // namespace acl
