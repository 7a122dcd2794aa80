#include "socks4.h"

#include <QByteArrayView>
#include <QtEndian>

namespace relay::socks4 {

namespace {

int byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<quint8>(bytes.at(i));
}

/// 0x00, code, then the port and the IPv4 address in network byte order.
QByteArray reply(quint8 code, quint16 port, quint32 address)
{
    QByteArray bytes(FixedLength, '\0');
    bytes[1] = static_cast<char>(code);
    qToBigEndian(port, bytes.data() + 2);
    qToBigEndian(address, bytes.data() + 4);
    return bytes;
}

} // namespace

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
    Request &request = result.request;
    request.command = static_cast<quint8>(byteAt(buffer, 1));
    request.port = qFromBigEndian<quint16>(buffer.constData() + 2);
    const quint32 address = qFromBigEndian<quint32>(buffer.constData() + 4);
    request.address = address;
    // 0.0.0.x (x not 0) is no destination: the client asks us to resolve the name that follows.
    const bool named = address != 0 && address <= 0xFF;

    // The user id ends at the first NUL after the fixed part, as SOCKS4 defines it; anything
    // after that NUL (or after the host name's NUL) is the client's first payload. Only as many
    // bytes as the longest allowed request are searched, whatever the buffer holds.
    const qsizetype limit = named ? MaxNameRequestLength : FixedLength + MaxUserIdLength + 1;
    const QByteArrayView bytes = QByteArrayView(buffer).first(qMin(buffer.size(), limit));
    const qsizetype nul = bytes.indexOf('\0', FixedLength);
    qsizetype end = nul;
    if (named && nul >= 0) {
        const qsizetype host = nul + 1;
        end = bytes.first(qMin(bytes.size(), host + MaxHostNameLength + 1)).indexOf('\0', host);
        if (end == host || (end < 0 && bytes.size() > host + MaxHostNameLength)) {
            result.status = DecodeStatus::BadHostName;
            return result;
        }
    }
    if (end < 0) {
        if (buffer.size() >= limit)
            result.status = DecodeStatus::TooLong;
        return result;
    }
    if (named)
        request.hostName = buffer.mid(nul + 1, end - nul - 1);
    request.userId = buffer.mid(FixedLength, nul - FixedLength);
    request.consumed = end + 1;
    result.status = DecodeStatus::Complete;
    return result;
}

QByteArray grant(quint16 port, quint32 address)
{
    return reply(Granted, port, address);
}

QByteArray rejection()
{
    return QByteArray("\x00\x5B", 2);
}

QByteArray failure(quint16 port, quint32 address)
{
    return reply(Rejected, port, address);
}

} // namespace relay::socks4
