#include "eventlog.h"

#include "logtext.h"

#include <QtEndian>
#include <algorithm>
#include <cstdlib>

namespace ui {

namespace {

using Kind = relay::Event::Kind;

/// RFC 5952 text. Qt writes it so, except that it writes the deprecated IPv4-compatible
/// addresses (::a.b.c.d) in mixed notation, which RFC 5952 keeps for the IPv4-mapped ones.
QString ipv6Text(const QHostAddress &address)
{
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    const bool compatible = std::all_of(bytes.c, bytes.c + 12, [](quint8 b) { return b == 0; })
        && (bytes.c[12] | bytes.c[13] | bytes.c[14]) != 0;
    if (!compatible)
        return address.toString();
    const quint16 high = qFromBigEndian<quint16>(bytes.c + 12);
    const quint16 low = qFromBigEndian<quint16>(bytes.c + 14);
    return QStringLiteral("::") + (high ? QString::number(high, 16) + u':' : QString())
        + QString::number(low, 16);
}

/// Why the relay ended a client's connection when no failure description says it.
QString endText(relay::EndReason reason)
{
    switch (reason) {
    case relay::EndReason::RequestTimeout:
        return QStringLiteral("Request timed out");
    case relay::EndReason::IdleForWaiting:
        return QStringLiteral("Idle connection closed for a waiting client");
    case relay::EndReason::Disconnected:
        return QStringLiteral("Disconnected by the operator");
    default:
        return {};
    }
}

QString userText(const QByteArray &user)
{
    return escapeControls(QString::fromUtf8(user));
}

/// The decimal digits of `value`, into `out` (at least 11 characters); returns their count.
qsizetype decimal(qint64 value, char *out)
{
    char digits[20];
    qsizetype n = 0;
    for (quint64 rest = quint64(value < 0 ? -value : value); n == 0 || rest > 0; rest /= 10)
        digits[n++] = char('0' + rest % 10);
    if (value < 0)
        digits[n++] = '-';
    std::reverse_copy(digits, digits + n, out);
    return n;
}

/// A plain IPv4 address written without QHostAddress's general machinery, which costs more than
/// a connection's relaying; any other address as Qt writes it.
QString hostText(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return address.toString();
    const quint32 v4 = address.toIPv4Address();
    char text[16];
    qsizetype n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        n += decimal((v4 >> shift) & 0xff, text + n);
        text[n++] = '.';
    }
    return QString::fromLatin1(text, n - 1);
}

/// "<side> [<slot>] <what><text>", written straight into one string: a busy proxy writes
/// several lines per connection, and piecing them together cost more than the relaying.
QString slotLine(QLatin1StringView side, int slot, QLatin1StringView what, QStringView text = {})
{
    char digits[24];
    const qsizetype n = decimal(slot, digits);
    QString line(side.size() + 2 + n + 2 + what.size() + text.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(line.data());
    const auto put = [&out](QLatin1StringView part) {
        out = std::transform(part.begin(), part.end(), out, [](char c) { return uchar(c); });
    };
    put(side);
    put(QLatin1StringView(" ["));
    put(QLatin1StringView(digits, n));
    put(QLatin1StringView("] "));
    put(what);
    std::copy(text.utf16(), text.utf16() + text.size(), out);
    return line;
}

} // namespace

QString destinationText(const relay::Destination &to)
{
    QString host;
    if (to.address.protocol() == QAbstractSocket::IPv6Protocol)
        host = u'[' + ipv6Text(to.address) + u']';
    else if (!to.address.isNull())
        host = hostText(to.address);
    else
        host = escapeControls(QString::fromLatin1(to.hostName));
    char port[24];
    const qsizetype n = decimal(to.port, port);
    host.reserve(host.size() + n + 1);
    return host.append(u':').append(QLatin1StringView(port, n));
}

QString refusalText(relay::Refusal refusal)
{
    switch (refusal) {
    case relay::Refusal::None:
        break;
    case relay::Refusal::UserIdTooLong:
        return QStringLiteral("SOCKS4 user id too long");
    case relay::Refusal::BadHostName:
        return QStringLiteral("Invalid host name");
    case relay::Refusal::NoAcceptableMethod:
        return QStringLiteral("No acceptable authentication method");
    case relay::Refusal::BadRequest:
        return QStringLiteral("Invalid request");
    case relay::Refusal::CommandNotSupported:
        return QStringLiteral("Command not supported");
    case relay::Refusal::AddressTypeNotSupported:
        return QStringLiteral("Address type not supported");
    case relay::Refusal::BadLogin:
        return QStringLiteral("Invalid login");
    case relay::Refusal::NotLoggedIn:
        return QStringLiteral("Not logged in");
    case relay::Refusal::LoginFailed:
        return QStringLiteral("Login failed");
    case relay::Refusal::ThisComputer:
        return QStringLiteral("is this computer");
    case relay::Refusal::ProxyItself:
        return QStringLiteral("is this proxy");
    }
    return {};
}

QString logLine(const relay::Event &event)
{
    using namespace Qt::StringLiterals;
    const int i = event.slot;
    switch (event.kind) {
    case Kind::ListenerError:
        return u"Listener Error: "_s + event.error;
    case Kind::ConnectionRequest:
        return slotLine("Proxy"_L1, i, "Connection Request from "_L1, hostText(event.info.client));
    case Kind::Request:
        if (event.info.protocol == relay::Protocol::Socks5
            || event.info.protocol == relay::Protocol::Http)
            return slotLine("Proxy"_L1, i, "Request to "_L1, destinationText(event.info.requested));
        return slotLine("Proxy"_L1, i, "Request from "_L1,
            escapeControls(QString::fromLatin1(event.info.user)) + u" to "_s
                + destinationText(event.info.requested));
    case Kind::HttpRequest: {
        // The query is left out: it often carries tokens and session ids.
        const QByteArray &full = event.info.path;
        const qsizetype query = full.indexOf('?');
        const QByteArray path = query < 0 ? full : full.first(query);
        return slotLine("Proxy"_L1, i, QLatin1StringView(),
            escapeControls(QString::fromLatin1(event.info.method + " http://"))
                + destinationText(event.info.requested)
                + escapeControls(QString::fromLatin1(path)));
    }
    case Kind::Refused:
        return slotLine("Proxy"_L1, i, "Error: "_L1, refusalText(event.refusal));
    case Kind::OutboundConnected:
        return slotLine("Outbound"_L1, i, "Connected"_L1);
    case Kind::OutboundError:
    case Kind::OutboundFailed:
        return slotLine("Outbound"_L1, i, "Error: "_L1, event.error);
    case Kind::ProxyClosed:
        return slotLine("Proxy"_L1, i, "Connection Closed"_L1);
    case Kind::OutboundClosed:
        return slotLine("Outbound"_L1, i, "Connection Closed"_L1);
    case Kind::ProxyError:
        return slotLine("Proxy"_L1, i, "Error: "_L1,
            event.error.isEmpty() ? endText(event.reason) : event.error);
    case Kind::UdpAssociationStarted:
        return slotLine("Proxy"_L1, i, "UDP Association from "_L1,
            destinationText({ event.info.client, {}, event.info.clientPort }) + u" on "_s
                + destinationText({ event.info.connectedAddress, {}, event.info.connectedPort }));
    case Kind::UdpAssociationEnded:
        return slotLine("Proxy"_L1, i, "UDP Association Ended: "_L1,
            u"%1 datagrams (%2 bytes) up, %3 datagrams (%4 bytes) down"_s.arg(
                QString::number(event.info.datagramsUp), QString::number(event.info.bytesUp),
                QString::number(event.info.datagramsDown), QString::number(event.info.bytesDown)));
    case Kind::LoggedIn:
        return u"Login by "_s + userText(event.info.user) + u" from "_s
            + hostText(event.info.client);
    case Kind::LoginFailed:
        return u"Login Failed for "_s + userText(event.info.user) + u" from "_s
            + hostText(event.info.client);
    case Kind::LoginsBlocked:
        return u"Too many failed logins from "_s + hostText(event.info.client)
            + u": refused for the rest of the minute"_s;
    case Kind::NotAllowed: {
        relay::Destination to;
        to.address = event.info.connectedAddress;
        to.port = event.info.connectedPort;
        return slotLine("Proxy"_L1, i, "Error: Connection not allowed: "_L1,
            destinationText(to) + u' ' + refusalText(event.refusal));
    }
    case Kind::Ended:
        break;
    }
    return {};
}

} // namespace ui
