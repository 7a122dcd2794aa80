#pragma once

#include "relay/events.h"

#include <QString>
#include <chrono>

/// The words and figures the Connections window shows for the relay's plain values. Pure.
namespace ui {

/// A byte count in binary units, for people: "512 B", "1.5 KiB", "230 MiB", "2.0 GiB".
QString formatBytes(qint64 bytes);
/// A rate in bytes per second, in the same units: "0 B/s", "12.5 KiB/s".
QString formatRate(double bytesPerSecond);
/// A count in few characters: "9999", "12.3k", "4.5M".
QString formatCount(qint64 count);
/// A length of time: "0.4 s", "42 s", "3 min 05 s", "2 h 07 min".
QString formatDuration(std::chrono::milliseconds duration);

/// "SOCKS4", "SOCKS4a", "SOCKS5", "HTTP", "UDP"; nothing while not known yet.
QString protocolName(relay::Protocol protocol);
/// "waiting", "negotiating", "connecting", "relaying", "half-closed", "closing".
QString stateName(relay::ConnectionState state);
/// Why a connection ended, with the failure's description after a colon when there is one.
QString reasonText(relay::EndReason reason, const QString &error = {});

/// Bytes a client sent (a name, a user id): printable ASCII as it is, any other byte as \xNN.
QString printable(const QByteArray &bytes);
/// "10.0.0.5:1080", "[2001:db8::5]:443"; an IPv4-mapped address as plain IPv4.
QString endpointText(const QHostAddress &address, quint16 port);
/// The destination as requested, then " → " and where it was connected when that says more (a
/// name was resolved, or the address differs); empty while nothing was requested.
QString destinationText(const relay::ConnectionInfo &info);

} // namespace ui
