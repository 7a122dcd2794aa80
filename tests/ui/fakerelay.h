#pragma once

// A stand-in for the relay as the Connections window sees it: the same snapshot() and
// Disconnect(id), with connections a test writes by hand. sourceOf() wires either to the window.

#include "ui/connectionswindow.h"

#include <QList>
#include <algorithm>

namespace fakes {

struct Relay
{
    relay::Snapshot state;
    mutable int snapshots = 0;
    QList<quint64> disconnected;

    relay::Snapshot snapshot() const
    {
        ++snapshots;
        return state;
    }
    void Disconnect(quint64 id)
    {
        disconnected.append(id);
        std::erase_if(state.connections, [id](const auto &c) { return c.id == id; });
    }
    relay::ConnectionInfo &add(quint64 id, int slot, qint64 up = 0, qint64 down = 0)
    {
        relay::ConnectionInfo c;
        c.id = id;
        c.slot = slot;
        c.client = QHostAddress(QStringLiteral("192.168.1.%1").arg(10 + id % 200));
        c.clientPort = quint16(40000 + id);
        c.protocol = relay::Protocol(1 + id % 4);
        c.requested = { {}, "host" + QByteArray::number(id) + ".example", 443 };
        c.connectedAddress = QHostAddress(QStringLiteral("203.0.113.%1").arg(id % 250));
        c.connectedPort = 443;
        c.state = slot < 0 ? relay::ConnectionState::Waiting : relay::ConnectionState::Relaying;
        c.since = relay::WallClock::time_point(std::chrono::seconds(1'800'000'000 + id));
        c.bytesUp = up;
        c.bytesDown = down;
        state.connections.push_back(c);
        return state.connections.back();
    }
    relay::ConnectionInfo &at(quint64 id)
    {
        return *std::find_if(state.connections.begin(), state.connections.end(),
            [id](const auto &c) { return c.id == id; });
    }
};

/// The window's source from a relay, fake or real.
template<class R> ui::ConnectionsSource sourceOf(R &relay)
{
    return { [&relay] { return relay.snapshot(); },
        [&relay](quint64 id) { relay.Disconnect(id); } };
}

} // namespace fakes
