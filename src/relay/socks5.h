#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

/// The SOCKS5 wire format spoken with clients (CONNECT and UDP ASSOCIATE, no authentication): decoding the method
/// greeting and the request, building the method reply and the request's reply, and the reply
/// code for a failed connect. Pure functions: no sockets, no state.
namespace relay::socks5 {

inline constexpr quint8 Version = 0x05; ///< VER of every greeting and request this proxy serves
inline constexpr quint8 NoAuthentication = 0x00; ///< the one method this proxy offers
inline constexpr quint8 NoAcceptableMethods = 0xFF; ///< METHOD in the reply refusing a greeting
inline constexpr quint8 Connect = 0x01; ///< CMD: a TCP connection to DST
inline constexpr quint8 UdpAssociate = 0x03; ///< CMD: a UDP relay; DST is the client's hint
inline constexpr quint8 IPv4 = 0x01; ///< ATYP: 4 address bytes follow
inline constexpr quint8 DomainName = 0x03; ///< ATYP: a length byte and that many name bytes
inline constexpr quint8 IPv6 = 0x04; ///< ATYP: 16 address bytes follow

enum class Reply : quint8 {
    Succeeded = 0,
    GeneralFailure = 1,
    NotAllowed = 2,
    NetworkUnreachable = 3,
    HostUnreachable = 4,
    ConnectionRefused = 5,
    TtlExpired = 6,
    CommandNotSupported = 7,
    AddressTypeNotSupported = 8,
};

enum class GreetingStatus {
    NeedMore, ///< a valid beginning; wait for more bytes (also for an empty buffer)
    NoAcceptableMethod, ///< no method 00 among the methods, or none at all: answer 05 FF
    Accepted, ///< method 00 offered: answer 05 00; the request starts at consumed
};

struct GreetingResult
{
    GreetingStatus status = GreetingStatus::NeedMore;
    qsizetype consumed = 0; ///< 2 + NMETHODS once the whole greeting is there, else 0
};

/// Decodes the greeting (VER NMETHODS METHODS...) at the start of the bytes collected so far;
/// the buffer starts with the version byte 05 (the relay picks the protocol by it; any other
/// first byte gives NoAcceptableMethod). The whole greeting is awaited, so that the request
/// after it is found; NMETHODS 0 is answered at once.
GreetingResult decodeGreeting(const QByteArray &buffer);

/// The method reply: 05 00 when the greeting was accepted, else 05 FF.
QByteArray methodReply(bool accepted);

enum class RequestStatus {
    NeedMore, ///< a valid beginning; wait for more bytes (also for an empty buffer)
    BadVersion, ///< the first byte is not 5: answer 01 (decided from the first byte)
    CommandNotSupported, ///< a whole request with CMD other than CONNECT or UDP ASSOCIATE: 07
    AddressTypeNotSupported, ///< ATYP not 1, 3 or 4 (decided from the fourth byte): answer 08
    BadHostName, ///< a whole request with ATYP 3 and an empty name: answer 01
    Complete, ///< request holds the request; bytes after request.consumed are payload
};

/// One SOCKS5 request as the client sent it.
struct Request
{
    quint8 command = 0; ///< CMD
    quint16 port = 0; ///< DST.PORT
    QHostAddress address; ///< DST.ADDR for ATYP 1 or 4 (an IPv6 address stays IPv6); else null
    QByteArray hostName; ///< DST.ADDR for ATYP 3, the bytes as sent; else empty
    /// Bytes of the request, set whenever the whole request is there (Complete,
    /// CommandNotSupported, BadHostName); 0 when the verdict came before its end.
    qsizetype consumed = 0;
};

struct RequestResult
{
    RequestStatus status = RequestStatus::NeedMore;
    Request request; ///< every field the request's bytes decided (see Request::consumed)
};

/// Decodes the request (VER CMD RSV ATYP DST.ADDR DST.PORT) at the start of the bytes collected
/// after the greeting. Call it again with the grown buffer after NeedMore; TCP may split a
/// request anywhere. RSV is not checked. A bad version or address type is answered as soon as
/// its byte is there (the request's length is then unknown); every other verdict waits for the
/// whole request, so that the client has sent all it meant to before the reply, and a command
/// not served is reported before an empty name.
RequestResult decodeRequest(const QByteArray &buffer);

/// The reply to a request: 05 code 00 ATYP BND.ADDR BND.PORT, ATYP 1 or 4 by the address's
/// family (an IPv4-mapped IPv6 address is written as IPv4). A null address gives ATYP 1,
/// 0.0.0.0 and port 0.
QByteArray reply(Reply code, const QHostAddress &bound = {}, quint16 port = 0);

/// The reply code for a connect that failed with this errno: ECONNREFUSED 05, ENETUNREACH 03,
/// EHOSTUNREACH 04 (pass it for a name not found or without an address too), ETIMEDOUT 06,
/// EACCES and EPERM 02, anything else 01.
Reply replyFor(int connectError);

} // namespace relay::socks5
