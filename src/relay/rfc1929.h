#pragma once

#include <QByteArray>
#include <QtGlobal>

/// The username/password sub-negotiation of SOCKS5 (RFC 1929), spoken after the method reply
/// 05 02: decoding the client's request and building the status reply. Pure functions.
namespace relay::rfc1929 {

inline constexpr quint8 Method = 0x02; ///< METHOD of username/password in a SOCKS5 greeting
inline constexpr quint8 Version = 0x01; ///< VER of the sub-negotiation
inline constexpr int MaxFieldLength = 255; ///< ULEN and PLEN are one byte each

enum class Status {
    NeedMore, ///< a valid beginning; wait for more bytes (also for an empty buffer)
    BadVersion, ///< the first byte is not 01 (decided from the first byte): close
    Complete, ///< name and password hold the fields; bytes after consumed are the request
};

struct Result
{
    Status status = Status::NeedMore;
    QByteArray name; ///< UNAME as sent, 0 to 255 bytes (empty names are decoded, then fail)
    QByteArray password; ///< PASSWD as sent, 0 to 255 bytes
    qsizetype consumed = 0; ///< 3 + ULEN + PLEN when Complete, else 0
};

/// Decodes VER ULEN UNAME PLEN PASSWD at the start of the bytes collected after the greeting.
/// Call it again with the grown buffer after NeedMore: TCP may split the request anywhere, and
/// a client may send its SOCKS5 request right behind it.
Result decode(const QByteArray &buffer);

/// The status reply: 01 00 when the login succeeded, 01 01 otherwise (then the server closes).
QByteArray reply(bool success);

} // namespace relay::rfc1929
