#pragma once

#include "events.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QtGlobal>

#include <optional>

/// HTTP/1.x proxy requests as clients send them: reading a request head from the bytes collected
/// so far, telling the proxy forms apart, the head forwarded to the origin, and the Basic
/// credentials of Proxy-Authorization. Pure functions over bytes, parsed by http-parser.
namespace relay::http {

inline constexpr qsizetype MaxHeadLength = 64 * 1024; ///< a longer head is refused (TooLarge)

enum class HeadStatus {
    NeedMore, ///< no blank line yet, within the bound (also for an empty buffer)
    Bad, ///< the head is complete but not HTTP/1.x, or its target is no proxy request: 400
    TooLarge, ///< no end of head within MaxHeadLength bytes: 400 as well, and close
    Complete, ///< request holds the head; bytes after request.headLength follow it
};

enum class Form {
    Connect, ///< CONNECT host:port: a tunnel
    Absolute, ///< METHOD http://host[:port]/path: forwarded in origin form
    Origin, ///< METHOD /path (or *): a request for a server, not for a proxy (Bad)
};

using Header = QPair<QByteArray, QByteArray>; ///< name as sent, value without outer blanks

struct Request
{
    QByteArray method; ///< as sent ("GET", "CONNECT" ...)
    QByteArray target; ///< the request target as sent
    int versionMinor = 1; ///< HTTP/1.versionMinor
    QList<Header> headers; ///< in the order sent
    Form form = Form::Origin;
    Destination destination; ///< host (address or name) and port; port 80 by default
    QByteArray path; ///< origin form of the target: path and query ("/" when empty)
    qsizetype headLength = 0; ///< bytes of the head, its blank line included

    /// The first header of that name (case-insensitive), or null.
    QByteArray header(QByteArrayView name) const;
    /// Whether the comma-separated list in every header of that name holds the token.
    bool hasToken(QByteArrayView name, QByteArrayView token) const;
    /// Whether the client keeps the connection after the response: HTTP/1.1 unless
    /// "close" is said, HTTP/1.0 only with "keep-alive" (in Connection or Proxy-Connection).
    bool keepAlive() const;
    bool expectsContinue() const; ///< Expect: 100-continue
    bool isHead() const { return method == "HEAD"; }
};

struct HeadResult
{
    HeadStatus status = HeadStatus::NeedMore;
    Request request; ///< filled when Complete
};

/// Where the head in these bytes ends: the length up to and including its blank line (LF, an
/// optional CR, LF), or 0 when there is none yet. Searching starts at from (a point before
/// which no end was found earlier, so that a growing buffer is scanned once).
qsizetype headEnd(QByteArrayView bytes, qsizetype from = 0);

/// Reads the request head at the start of the bytes collected so far. A head is Complete only
/// for a well-formed HTTP/1.x request in CONNECT form (host IPv4, [IPv6] or name, and a port)
/// or in absolute form with the http scheme; an origin-form or asterisk-form target, another
/// scheme, a missing CONNECT port, a bad header or conflicting body framing give Bad.
HeadResult readRequestHead(QByteArrayView buffer);

/// The head sent to the origin for an absolute-form request: the request line in origin form
/// with the client's version, Host first (the target's authority, replacing any Host sent),
/// then the other headers as sent without the hop-by-hop ones: Connection and every header it
/// names, Proxy-Connection, Keep-Alive, TE, Trailer, Upgrade and Proxy-Authorization.
QByteArray forwardHead(const Request &request);

struct Credentials
{
    QByteArray user;
    QByteArray password;
    bool operator==(const Credentials &) const = default;
};

/// The user and password of a "Basic" Proxy-Authorization value (base64 of user:password, the
/// user up to the first colon); nothing when the scheme is another or the base64 is broken.
std::optional<Credentials> basicCredentials(QByteArrayView proxyAuthorization);

/// The target's authority as written in Host and in log lines: the name, the dotted IPv4
/// address or the [IPv6] address, then ":port" unless the port is 80.
QByteArray authority(const Destination &destination);

} // namespace relay::http
