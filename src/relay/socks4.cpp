#include "socks4.h"

#include "logtext.h"

#include <QByteArrayView>
#include <QStringList>

namespace relay::socks4 {

namespace {

int hexDigit(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'a' && c <= u'f')
        return c.unicode() - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c.unicode() - u'A' + 10;
    return -1;
}

int byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<quint8>(bytes.at(i));
}

/// 0x00, code, the port as four hex digits through HtS, then one byte per address number.
QByteArray reply(quint8 code, quint16 port, const QString &dottedAddress)
{
    QByteArray bytes;
    bytes.reserve(FixedLength);
    bytes.append('\0');
    bytes.append(static_cast<char>(code));
    bytes.append(HtS(QStringLiteral("%1").arg(port, 4, 16, QLatin1Char('0'))));
    // The address comes from an endpoint and is always four numbers; should anything else get
    // here, the reply still has its 8 bytes: missing or unreadable numbers give 0.
    const QStringList parts = dottedAddress.split(u'.');
    for (qsizetype n = 0; n < 4; ++n) {
        const uint value = n < parts.size() ? parts.at(n).toUInt() : 0;
        bytes.append(static_cast<char>(value & 0xFF));
    }
    return bytes;
}

} // namespace

QByteArray HtS(const QString &hexToStr)
{
    QByteArray bytes;
    const qsizetype length = hexToStr.size();
    bytes.reserve((length + 1) / 2);
    for (qsizetype i = 0; i < length; i += 2) {
        int value = 0;
        for (qsizetype k = i; k < i + 2 && k < length; ++k) {
            const int digit = hexDigit(hexToStr.at(k));
            if (digit < 0)
                break;
            value = value * 16 + digit;
        }
        bytes.append(static_cast<char>(value));
    }
    return bytes;
}

DecodeResult decodeRequest(const QByteArray &buffer)
{
    DecodeResult result;
    if (buffer.isEmpty())
        return result;
    if (byteAt(buffer, 0) != Version) {
        result.status = DecodeStatus::BadVersion;
        return result;
    }
    if (buffer.size() < FixedLength)
        return result;

    // The user id ends at the first NUL after the fixed part, as SOCKS4 defines it; anything
    // after that NUL is the client's first payload, not part of the request.
    // Only the longest allowed user id and its NUL are searched, whatever the buffer holds.
    const qsizetype window = qMin(buffer.size(), FixedLength + MaxUserIdLength + 1);
    const qsizetype nul = QByteArrayView(buffer).first(window).indexOf('\0', FixedLength);
    if (nul < 0) {
        if (window == FixedLength + MaxUserIdLength + 1)
            result.status = DecodeStatus::TooLong;
        return result;
    }

    Request &request = result.request;
    request.version = static_cast<quint8>(byteAt(buffer, 0));
    request.command = static_cast<quint8>(byteAt(buffer, 1));
    request.port = static_cast<quint16>(byteAt(buffer, 2) << 8 | byteAt(buffer, 3));
    request.address = QStringLiteral("%1.%2.%3.%4")
                          .arg(byteAt(buffer, 4))
                          .arg(byteAt(buffer, 5))
                          .arg(byteAt(buffer, 6))
                          .arg(byteAt(buffer, 7));
    request.userId = buffer.mid(FixedLength, nul - FixedLength);
    request.consumed = nul + 1;
    result.status = DecodeStatus::Complete;
    return result;
}

QByteArray grant(quint16 port, const QString &dottedAddress)
{
    return reply(Granted, port, dottedAddress);
}

QByteArray rejection()
{
    QByteArray bytes(2, '\0');
    bytes[1] = static_cast<char>(Rejected);
    return bytes;
}

QByteArray failure(quint16 port, const QString &dottedAddress)
{
    return reply(Rejected, port, dottedAddress);
}

QString describeUserId(const QByteArray &userId)
{
    return escapeControls(QString::fromLatin1(userId));
}

QString requestLine(int slot, const Request &request)
{
    return QStringLiteral("Proxy [%1] Request from ").arg(slot) + describeUserId(request.userId)
        + QStringLiteral(" to ") + request.address + u':' + QString::number(request.port);
}

} // namespace relay::socks4
