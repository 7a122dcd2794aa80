// Shows the Connections window over a made-up relay with sixteen busy slots, four waiting
// clients and a minute of traffic behind it, for screenshots (scripts/screenshot-connections.sh).
// Not a test: nothing checks it. With a file name it saves the window's picture there and ends.
//   connections_shot [FILE.png]

#include "fakerelay.h"

#include <QApplication>
#include <QTimer>
#include <cmath>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

/// Every call is a second later: each connection moves its bytes at a rate that drifts.
struct Traffic
{
    fakes::Relay relay;
    ui::SteadyClock::time_point now = ui::SteadyClock::now();
    int second = 0;

    relay::Snapshot snapshot()
    {
        ++second;
        now += 1s;
        for (relay::ConnectionInfo &c : relay.state.connections) {
            if (c.state != relay::ConnectionState::Relaying
                && c.state != relay::ConnectionState::HalfClosed)
                continue;
            const double wave = 1 + 0.6 * std::sin(second / 6.0 + double(c.id));
            const auto up = qint64(wave * double(c.id % 5 + 1) * 9000);
            const auto down = qint64(wave * double((c.id * 7) % 11 + 1) * 52000);
            c.bytesUp += up;
            c.bytesDown += down;
            relay.state.totals.bytesUp += up;
            relay.state.totals.bytesDown += down;
            if (c.protocol == relay::Protocol::Udp) {
                c.datagramsUp += up / 512;
                c.datagramsDown += down / 1200;
            }
        }
        return relay.snapshot();
    }
};

void populate(fakes::Relay &relay)
{
    const char *const names[] = { "www.debian.org", "deb.debian.org", "github.com",
        "objects.githubusercontent.com", "mail.example.net", "imap.example.net", "cdn.jsdelivr.net",
        "fonts.gstatic.com", "api.weather.example", "matrix.example.org", "",
        "news.ycombinator.com", "en.wikipedia.org", "upload.wikimedia.org", "", "ftp.gnu.org" };
    using S = relay::ConnectionState;
    for (int slot = 0; slot < 16; ++slot) {
        const quint64 id = 4000 + quint64(slot) * 37;
        relay::ConnectionInfo &c = relay.add(id, slot, qint64(id) * 811, qint64(id) * 9613);
        c.requested.hostName = names[slot];
        c.requested.port = slot % 5 == 3 ? 993 : 443;
        if (c.requested.hostName.isEmpty())
            c.requested.address = QHostAddress(u"198.51.100.%1"_s.arg(slot * 9));
        c.connectedPort = c.requested.port;
        c.since = relay::WallClock::now() - std::chrono::seconds(40 + slot * 97);
        if (slot == 4)
            c.user = "alice";
        if (slot == 9) {
            c.protocol = relay::Protocol::Udp;
            c.requested = { QHostAddress(u"9.9.9.9"_s), {}, 53 };
            c.connectedAddress = QHostAddress(u"9.9.9.9"_s);
            c.connectedPort = 53;
        }
        c.state = slot == 13 ? S::Connecting : slot == 7 ? S::HalfClosed : S::Relaying;
        if (slot == 13) {
            c.connectedAddress = {};
            c.bytesUp = c.bytesDown = 0;
        }
    }
    for (quint64 i = 0; i < 4; ++i) { // nothing known of them yet but who they are
        relay::ConnectionInfo &c = relay.add(5000 + i, -1);
        c.since = relay::WallClock::now() - std::chrono::seconds(i + 1);
        c.protocol = relay::Protocol::Unknown;
        c.requested = {};
        c.connectedAddress = {};
    }
    const relay::EndReason reasons[] = { relay::EndReason::Finished,
        relay::EndReason::DestinationClosed, relay::EndReason::ClientClosed,
        relay::EndReason::ConnectFailed, relay::EndReason::IdleForWaiting };
    for (quint64 i = 0; i < 100; ++i) {
        relay::EndedConnection e;
        e.info = relay.add(3000 + i, int(i % 16), qint64(i * i) * 3001, qint64(i * i * i) * 97);
        relay.state.connections.pop_back();
        e.ended = relay::WallClock::now() - std::chrono::seconds((100 - i) * 9);
        e.info.since = e.ended - std::chrono::milliseconds(i * i * 37 + 120);
        e.reason = reasons[i % 5];
        if (e.reason == relay::EndReason::ConnectFailed)
            e.error = u"Connection refused"_s;
        relay.state.recent.push_back(e);
    }
    relay.state.totals = { 1312, 17, 9, qint64(48) << 20, qint64(1337) << 20 };
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Traffic traffic;
    populate(traffic.relay);
    ui::ConnectionsWindow window(
        { [&traffic] { return traffic.snapshot(); }, [](quint64) {} }, QString());
    window.setClock([&traffic] { return traffic.now; });
    for (int i = 0; i < 62; ++i)
        window.refresh(); // a minute behind it before it shows
    window.show();
    if (argc > 1) {
        const QString file = QString::fromLocal8Bit(argv[1]);
        QTimer::singleShot(1500, &window,
            [&window, file] { QCoreApplication::exit(window.grab().save(file) ? 0 : 1); });
    }
    return QApplication::exec();
}
