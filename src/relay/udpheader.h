#pragma once

#include "events.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QtGlobal>

/// The header that SOCKS5 puts before every datagram relayed through a UDP association:
/// RSV RSV FRAG ATYP DST.ADDR DST.PORT DATA. Decoding what a client sends, and wrapping what a
/// destination answers. Pure functions: no sockets, no state.
namespace relay::socks5udp {

/// The most payload one IPv4 datagram carries (65,535 less the IPv4 and UDP headers).
inline constexpr qsizetype MaxIPv4Payload = 65507;
/// The longest header: ATYP 3 with a 255-byte name.
inline constexpr qsizetype MaxHeader = 4 + 1 + 255 + 2;

/// What becomes of a datagram from the client. Every value but Ok drops it silently.
enum class Status : quint8 {
    Ok,
    Short, ///< ends before its header does (also an empty datagram)
    ReservedNotZero, ///< RSV is not 00 00
    Fragmented, ///< FRAG is not 0: fragments are not reassembled
    UnknownAddressType, ///< ATYP not 1, 3 or 4
    EmptyName, ///< ATYP 3 with a zero-length name
};

struct Decoded
{
    Status status = Status::Short;
    Destination destination; ///< an IPv6 address stays IPv6 (IPv4-mapped included)
    qsizetype payloadOffset = 0; ///< where DATA starts; the header's length
};

/// Decodes the header of one datagram from the client. The payload may be empty.
Decoded decode(QByteArrayView datagram);

/// The header for an answer from `source`:`port`: ATYP 1 for an IPv4 (or IPv4-mapped) address,
/// else ATYP 4.
QByteArray header(const QHostAddress &source, quint16 port);
/// header() followed by the payload.
QByteArray wrap(const QHostAddress &source, quint16 port, QByteArrayView payload);

} // namespace relay::socks5udp
