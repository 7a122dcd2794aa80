#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

QT_BEGIN_NAMESPACE
class QHostAddress;
QT_END_NAMESPACE

namespace acl {

/// The clients one entry admits: those of its family whose first bits equal its network's.
/// Every form of entry comes down to this, so a match costs the same whatever was typed.
/// Addresses are held as 128 bits; an IPv4 address in the first 32.
struct Range
{
    enum Family : quint8 { None, IPv4, IPv6 };
    Family family = None; ///< None: a client address that is neither, which nothing admits
    quint64 high = 0, low = 0; ///< the network, host bits cleared
    quint64 maskHigh = 0, maskLow = 0;

    bool contains(const Range &client) const
    {
        return client.family == family && (client.high & maskHigh) == high
            && (client.low & maskLow) == low;
    }
};

/// What an entry admits, or nothing for an entry that can never match:
/// - without "/" and ":", a dotted IPv4 address written as clients are (four decimal numbers
///   0-255 without leading zeros or blanks): that one address, as the exact text comparison
///   always did; anything else, such as " 10.0.0.5" or "010.0.0.5", nothing;
/// - "a.b.c.d/n" with the address so written and n from 0 to 32: the IPv4 clients in that
///   range, host bits ignored;
/// - an IPv6 address in a standard text form without a zone, with an optional "/n" (0-128):
///   the IPv6 clients in that range. One in the IPv4-mapped block (::ffff:a.b.c.d/n, n >= 96)
///   is the IPv4 range it maps, since IPv4 clients are never seen in mapped form.
std::optional<Range> rangeOf(const QString &entry);

/// A client's address in the same terms (a mapped IPv6 address is the IPv4 client it maps).
Range clientOf(const QHostAddress &client);

} // namespace acl
