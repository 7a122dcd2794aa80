#include "connectiontext.h"

#include <array>
#include <cmath>

namespace ui {

namespace {

QString scaled(double value, const char *suffix)
{
    static constexpr std::array<const char *, 5> Units { "B", "KiB", "MiB", "GiB", "TiB" };
    size_t unit = 0;
    while (std::abs(value) >= 1024 && unit + 1 < Units.size()) {
        value /= 1024;
        ++unit;
    }
    if (unit == 0)
        return QStringLiteral("%1 B%2").arg(std::llround(value)).arg(QLatin1String(suffix));
    // Three figures at most: 1.5 KiB, 15.2 KiB, 152 KiB.
    const int decimals = std::abs(value) < 100 ? 1 : 0;
    return QStringLiteral("%1 %2%3")
        .arg(value, 0, 'f', decimals)
        .arg(QLatin1String(Units[unit]), QLatin1String(suffix));
}

} // namespace

QString formatBytes(qint64 bytes)
{
    return scaled(double(bytes), "");
}

QString formatRate(double bytesPerSecond)
{
    return scaled(std::max(bytesPerSecond, 0.0), "/s");
}

QString formatCount(qint64 count)
{
    if (count < 10'000)
        return QString::number(count);
    if (count < 10'000'000)
        return QStringLiteral("%1k").arg(double(count) / 1e3, 0, 'f', count < 100'000 ? 1 : 0);
    return QStringLiteral("%1M").arg(double(count) / 1e6, 0, 'f', count < 100'000'000 ? 1 : 0);
}

QString formatDuration(std::chrono::milliseconds duration)
{
    const qint64 ms = std::max<qint64>(duration.count(), 0);
    if (ms < 10'000)
        return QStringLiteral("%1 s").arg(double(ms) / 1000, 0, 'f', 1);
    const qint64 s = ms / 1000;
    if (s < 60)
        return QStringLiteral("%1 s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString protocolName(relay::Protocol protocol)
{
    using P = relay::Protocol;
    switch (protocol) {
    case P::Unknown:
        break;
    case P::Socks4:
        return QStringLiteral("SOCKS4");
    case P::Socks4a:
        return QStringLiteral("SOCKS4a");
    case P::Socks5:
        return QStringLiteral("SOCKS5");
    case P::Http:
        return QStringLiteral("HTTP");
    case P::Udp:
        return QStringLiteral("UDP");
    }
    return {};
}

QString stateName(relay::ConnectionState state)
{
    using S = relay::ConnectionState;
    switch (state) {
    case S::Waiting:
        break;
    case S::Negotiating:
        return QStringLiteral("negotiating");
    case S::Connecting:
        return QStringLiteral("connecting");
    case S::Relaying:
        return QStringLiteral("relaying");
    case S::HalfClosed:
        return QStringLiteral("half-closed");
    case S::Closing:
        return QStringLiteral("closing");
    }
    return QStringLiteral("waiting");
}

QString reasonText(relay::EndReason reason, const QString &error)
{
    using R = relay::EndReason;
    QString text;
    switch (reason) {
    case R::Finished:
        text = QStringLiteral("finished");
        break;
    case R::ClientClosed:
        text = QStringLiteral("client closed");
        break;
    case R::DestinationClosed:
        text = QStringLiteral("destination closed");
        break;
    case R::ClientError:
        text = QStringLiteral("client error");
        break;
    case R::DestinationError:
        text = QStringLiteral("destination error");
        break;
    case R::Refused:
        text = QStringLiteral("refused");
        break;
    case R::ConnectFailed:
        text = QStringLiteral("connect failed");
        break;
    case R::RequestTimeout:
        text = QStringLiteral("request timed out");
        break;
    case R::ConnectTimeout:
        text = QStringLiteral("connect timed out");
        break;
    case R::IdleForWaiting:
        text = QStringLiteral("idle, closed for a waiting client");
        break;
    case R::Disconnected:
        text = QStringLiteral("disconnected");
        break;
    case R::Expired:
        text = QStringLiteral("expired");
        break;
    }
    return error.isEmpty() ? text : text + QStringLiteral(": ") + error;
}

QString printable(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\')
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString endpointText(const QHostAddress &address, quint16 port)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    const QString host = mapped ? QHostAddress(v4).toString()
        : address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString())
        : address.toString();
    return host + u':' + QString::number(port);
}

QString destinationText(const relay::ConnectionInfo &info)
{
    const relay::Destination &asked = info.requested;
    QString text;
    if (!asked.hostName.isEmpty())
        text = printable(asked.hostName) + u':' + QString::number(asked.port);
    else if (!asked.address.isNull())
        text = endpointText(asked.address, asked.port);
    if (info.connectedAddress.isNull())
        return text;
    const bool same = asked.hostName.isEmpty() && asked.address.isEqual(info.connectedAddress)
        && asked.port == info.connectedPort;
    if (same)
        return text;
    return text + QStringLiteral(" \u2192 ")
        + endpointText(info.connectedAddress, info.connectedPort);
}

} // namespace ui
