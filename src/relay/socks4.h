#pragma once

#include <QByteArray>
#include <QtGlobal>

/// The SOCKS4 wire format spoken with clients: decoding a CONNECT request, building the grant,
/// the rejection and the failure reply. Pure functions: no sockets, no state.
namespace relay::socks4 {

inline constexpr quint8 Version = 0x04; ///< VN of every request this proxy serves
inline constexpr quint8 Granted = 0x5A; ///< reply code 90: request granted
inline constexpr quint8 Rejected = 0x5B; ///< reply code 91: request rejected or failed
inline constexpr qsizetype FixedLength = 8; ///< VN, CD, DSTPORT (2), DSTIP (4)
/// The longest user id accepted: with a NUL right after it the request is
/// FixedLength + MaxUserIdLength + 1 bytes; one more byte without a NUL is TooLong.
inline constexpr qsizetype MaxUserIdLength = 1024;
/// A request naming its destination (address 0.0.0.x, x not 0; user id, NUL, host name, NUL)
/// is at most this long in all, and its host name 1 to MaxHostNameLength bytes.
inline constexpr qsizetype MaxNameRequestLength = 1024;
inline constexpr qsizetype MaxHostNameLength = 255;

/// One SOCKS4 request as the client sent it.
struct Request
{
    quint8 command = 0; ///< CD; read, never examined: every request is served as CONNECT
    quint16 port = 0; ///< DSTPORT
    quint32 address = 0; ///< DSTIP
    QByteArray userId; ///< bytes from the ninth up to the first NUL after the fixed part
    QByteArray hostName; ///< a destination the client leaves us to resolve; else empty
    qsizetype consumed = 0; ///< bytes of the buffer the request used, its NUL included
};

enum class DecodeStatus {
    NeedMore, ///< a valid beginning; wait for more bytes (also for an empty buffer)
    BadVersion, ///< the first byte is not 4: answer with rejection()
    TooLong, ///< MaxUserIdLength user-id bytes (MaxNameRequestLength in all) without a NUL
    BadHostName, ///< an empty host name, or a longer one than MaxHostNameLength
    Complete, ///< request holds the request; bytes after request.consumed are payload
};

struct DecodeResult
{
    DecodeStatus status = DecodeStatus::NeedMore;
    Request request; ///< filled when status is Complete; port and address for BadHostName
};

/// Decodes the request at the start of the bytes collected so far on a slot. Call it again with
/// the grown buffer after NeedMore; TCP may split a request anywhere.
DecodeResult decodeRequest(const QByteArray &buffer);

/// The 8-byte grant: 0x00 0x5A, the port (most significant byte first), the four address bytes.
QByteArray grant(quint16 port, quint32 address);
/// The 2-byte answer to a request whose version is not 4: 0x00 0x5B.
QByteArray rejection();
/// The 8-byte answer when the destination cannot be reached: 0x00 0x5B, port, address.
QByteArray failure(quint16 port, quint32 address);

} // namespace relay::socks4
