#include "httphead.h"

#include <arpa/inet.h>
#include <http_parser.h>

#include <QByteArrayList>
#include <QtEndian>

#include <algorithm>
#include <optional>

namespace relay::http {

namespace {

/// What http-parser reports of one request head.
struct Collected
{
    QByteArray url;
    QList<Header> headers;
    bool valueLast = false; ///< the last piece was a value: a new field starts a new header
    bool complete = false;
};

Collected &collected(http_parser *parser)
{
    return *static_cast<Collected *>(parser->data);
}

int onUrl(http_parser *parser, const char *at, size_t length)
{
    collected(parser).url.append(at, qsizetype(length));
    return 0;
}

int onHeaderField(http_parser *parser, const char *at, size_t length)
{
    Collected &c = collected(parser);
    if (c.valueLast || c.headers.isEmpty())
        c.headers.append(Header());
    c.valueLast = false;
    c.headers.last().first.append(at, qsizetype(length));
    return 0;
}

int onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    Collected &c = collected(parser);
    c.valueLast = true;
    c.headers.last().second.append(at, qsizetype(length));
    return 0;
}

int onHeadersComplete(http_parser *parser)
{
    Collected &c = collected(parser);
    c.complete = true;
    return 1; // the parser stops at the end of the head; MessageReader frames the body
}

/// Four decimal numbers 0-255 without leading zeros, joined by dots.
/// A dotted quad ("192.0.2.1") read without building a QString; nothing for any other text.
std::optional<quint32> dottedQuad(QByteArrayView text)
{
    char zeroEnded[INET_ADDRSTRLEN] {};
    in_addr v4 {};
    if (text.size() >= qsizetype(sizeof zeroEnded))
        return std::nullopt;
    std::copy(text.begin(), text.end(), zeroEnded);
    if (::inet_pton(AF_INET, zeroEnded, &v4) != 1)
        return std::nullopt;
    return qFromBigEndian<quint32>(&v4.s_addr);
}

bool isDotted(QByteArrayView text)
{
    const QList<QByteArrayView> parts = [&] {
        QList<QByteArrayView> list;
        qsizetype start = 0;
        for (qsizetype i = 0; i <= text.size(); ++i)
            if (i == text.size() || text[i] == '.') {
                list.append(text.sliced(start, i - start));
                start = i + 1;
            }
        return list;
    }();
    if (parts.size() != 4)
        return false;
    for (const QByteArrayView part : parts) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part[0] == '0'))
            return false;
        int value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255)
            return false;
    }
    return true;
}

QByteArrayView field(QByteArrayView url, const http_parser_url &parsed, int which)
{
    if (!(parsed.field_set & (1 << which)))
        return {};
    return url.sliced(parsed.field_data[which].off, parsed.field_data[which].len);
}

/// The host, port and origin-form path of a CONNECT or absolute-form target; false when the
/// target is neither.
bool parseTarget(Request &request)
{
    const bool connect = request.method == "CONNECT";
    if (!connect && (request.target.isEmpty() || request.target[0] == '/' || request.target == "*"))
        return false;
    http_parser_url parsed;
    http_parser_url_init(&parsed);
    if (http_parser_parse_url(
            request.target.constData(), size_t(request.target.size()), connect, &parsed))
        return false;
    const QByteArrayView url(request.target);
    const QByteArrayView host = field(url, parsed, UF_HOST);
    if (host.isEmpty())
        return false;
    if (!connect) {
        if (field(url, parsed, UF_SCHEMA).compare("http", Qt::CaseInsensitive) != 0
            || (parsed.field_set & (1 << UF_USERINFO)))
            return false;
        const QByteArrayView path = field(url, parsed, UF_PATH);
        const QByteArrayView query = field(url, parsed, UF_QUERY);
        request.path = path.isEmpty() ? QByteArray("/") : path.toByteArray();
        if (parsed.field_set & (1 << UF_QUERY))
            request.path += '?' + query.toByteArray();
    }
    const bool hasPort = parsed.field_set & (1 << UF_PORT);
    if (hasPort && parsed.port == 0)
        return false;
    request.destination.port = hasPort ? parsed.port : 80;
    // http-parser gives an IPv6 host without its brackets.
    const bool bracketed = host.data() > url.data() && host.data()[-1] == '[';
    if (bracketed) {
        QHostAddress address;
        if (host.contains('%') || !address.setAddress(QString::fromLatin1(host)))
            return false;
        request.destination.address = address;
    } else if (const std::optional<quint32> quad = dottedQuad(host)) {
        request.destination.address = QHostAddress(*quad); // the common case, read cheaply
    } else if (isDotted(host)) {
        request.destination.address = QHostAddress(QString::fromLatin1(host));
    } else {
        request.destination.hostName = host.toByteArray();
    }
    request.form = connect ? Form::Connect : Form::Absolute;
    return true;
}

/// A header not forwarded: a hop-by-hop one, or Host (forwardHead writes its own).
bool dropped(const QByteArray &name, const Request &request)
{
    static const QByteArrayList fixed { "connection", "proxy-connection", "keep-alive", "te",
        "trailer", "upgrade", "proxy-authorization", "host" };
    const QByteArray lower = name.toLower();
    return fixed.contains(lower) || request.hasToken("Connection", lower);
}

} // namespace

QByteArray Request::header(QByteArrayView name) const
{
    for (const Header &h : headers)
        if (QByteArrayView(h.first).compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

bool Request::hasToken(QByteArrayView name, QByteArrayView token) const
{
    for (const Header &h : headers)
        if (QByteArrayView(h.first).compare(name, Qt::CaseInsensitive) == 0)
            for (const QByteArray &item : h.second.split(','))
                if (QByteArrayView(item.trimmed()).compare(token, Qt::CaseInsensitive) == 0)
                    return true;
    return false;
}

bool Request::keepAlive() const
{
    const auto said = [&](QByteArrayView token) {
        return hasToken("Connection", token) || hasToken("Proxy-Connection", token);
    };
    return versionMinor >= 1 ? !said("close") : said("keep-alive") && !said("close");
}

bool Request::expectsContinue() const
{
    return header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0;
}

qsizetype headEnd(QByteArrayView bytes, qsizetype from)
{
    for (qsizetype i = bytes.indexOf('\n', qMax<qsizetype>(from, 0)); i >= 0;
         i = bytes.indexOf('\n', i + 1)) {
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
            return i + 2;
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n')
            return i + 3;
    }
    return 0;
}

HeadResult readRequestHead(QByteArrayView buffer)
{
    HeadResult result;
    const qsizetype end = headEnd(buffer.first(qMin(buffer.size(), MaxHeadLength)));
    if (end == 0) {
        result.status =
            buffer.size() >= MaxHeadLength ? HeadStatus::TooLarge : HeadStatus::NeedMore;
        return result;
    }
    result.status = HeadStatus::Bad;
    Collected c;
    http_parser parser;
    http_parser_init(&parser, HTTP_REQUEST);
    parser.data = &c;
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_url = onUrl;
    settings.on_header_field = onHeaderField;
    settings.on_header_value = onHeaderValue;
    settings.on_headers_complete = onHeadersComplete;
    const size_t parsed = http_parser_execute(&parser, &settings, buffer.data(), size_t(end));
    if (!c.complete || parsed != size_t(end) || HTTP_PARSER_ERRNO(&parser) != HPE_OK
        || parser.http_major != 1)
        return result;
    Request &request = result.request;
    request.method = http_method_str(http_method(parser.method));
    request.target = c.url;
    request.versionMinor = parser.http_minor;
    for (Header &h : c.headers) // a folded value goes on one line
        request.headers.append(
            { h.first, h.second.replace('\r', ' ').replace('\n', ' ').trimmed() });
    request.headLength = end;
    if (parseTarget(request))
        result.status = HeadStatus::Complete;
    return result;
}

QByteArray forwardHead(const Request &request)
{
    QByteArray head = request.method + ' ' + request.path + " HTTP/1."
        + QByteArray::number(request.versionMinor) + "\r\nHost: " + authority(request.destination)
        + "\r\n";
    for (const Header &h : request.headers)
        if (!dropped(h.first, request))
            head += h.first + ": " + h.second + "\r\n";
    return head + "\r\n";
}

std::optional<Credentials> basicCredentials(QByteArrayView proxyAuthorization)
{
    const QByteArrayView value = proxyAuthorization.trimmed();
    if (value.size() < 6 || value.first(6).compare("Basic ", Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const auto result = QByteArray::fromBase64Encoding(
        value.sliced(6).trimmed().toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    const qsizetype colon = result.decoded.indexOf(':');
    if (!result || colon < 0)
        return std::nullopt;
    return Credentials { result.decoded.first(colon), result.decoded.sliced(colon + 1) };
}

QByteArray authority(const Destination &destination)
{
    QByteArray host = destination.hostName;
    if (destination.address.protocol() == QAbstractSocket::IPv6Protocol)
        host = '[' + destination.address.toString().toLatin1() + ']';
    else if (!destination.address.isNull())
        host = destination.address.toString().toLatin1();
    return destination.port == 80 ? host : host + ':' + QByteArray::number(destination.port);
}

} // namespace relay::http
