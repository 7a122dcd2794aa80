// Every kind of relay event and the status line it makes, word for word.

#include "ui/eventlog.h"

#include <QTest>

using namespace Qt::StringLiterals;
using relay::Event;
using Kind = relay::Event::Kind;

Q_DECLARE_METATYPE(relay::Event)

class tst_EventLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data()
    {
        QTest::addColumn<Event>("event");
        QTest::addColumn<QString>("line");
        const auto event = [](Kind kind, int slot, const QString &error = {},
                               relay::EndReason reason = {}) {
            Event e;
            e.kind = kind;
            e.slot = slot;
            e.error = error;
            e.reason = reason;
            return e;
        };
        // A request: SOCKS4's user id and names as sent, escaped; SOCKS5 without a user.
        const auto request = [&](relay::Protocol protocol, const QByteArray &user,
                                 const QString &address, const QByteArray &name, quint16 port) {
            Event e = event(Kind::Request, 1);
            e.info.protocol = protocol;
            e.info.user = user;
            e.info.requested = { QHostAddress(address), name, port };
            return e;
        };
        using P = relay::Protocol;
        using R = relay::EndReason;
        Event from = event(Kind::ConnectionRequest, 15);
        from.info.client = QHostAddress(u"::1"_s);
        QTest::newRow("listener") << event(Kind::ListenerError, -1, u"Too many open files"_s)
                                  << u"Listener Error: Too many open files"_s;
        QTest::newRow("admitted") << from << u"Proxy [15] Connection Request from ::1"_s;
        QTest::newRow("socks4, controls") << request(P::Socks4, "\x80\xff\n", u"255.255.255.255"_s,
            {}, 65535) << u"Proxy [1] Request from \\x80\xff\\x0a to 255.255.255.255:65535"_s;
        QTest::newRow("socks4a") << request(P::Socks4a, "bob", {}, "example.org", 80)
                                 << u"Proxy [1] Request from bob to example.org:80"_s;
        QTest::newRow("socks5, IPv4") << request(P::Socks5, {}, u"192.168.0.254"_s, {}, 80)
                                      << u"Proxy [1] Request to 192.168.0.254:80"_s;
        QTest::newRow("socks5, IPv6") << request(P::Socks5, {}, u"2001:db8::1"_s, {}, 65535)
                                      << u"Proxy [1] Request to [2001:db8::1]:65535"_s;
        QTest::newRow("socks5, IPv4-compatible IPv6") << request(
            P::Socks5, {}, u"::10.0.0.5"_s, {}, 1) << u"Proxy [1] Request to [::a00:5]:1"_s;
        QTest::newRow("socks5, name with a control, Latin-1") << request(
            P::Socks5, {}, {}, "a\n\xe9", 443) << u"Proxy [1] Request to a\\x0a\xe9:443"_s;
        const std::pair<relay::Refusal, const char *> refusals[] = {
            { relay::Refusal::UserIdTooLong, "SOCKS4 user id too long" },
            { relay::Refusal::BadHostName, "Invalid host name" },
            { relay::Refusal::NoAcceptableMethod, "No acceptable authentication method" },
            { relay::Refusal::BadRequest, "Invalid request" },
            { relay::Refusal::CommandNotSupported, "Command not supported" },
            { relay::Refusal::AddressTypeNotSupported, "Address type not supported" },
        };
        for (const auto &[refusal, text] : refusals) {
            Event e = event(Kind::Refused, 2);
            e.refusal = refusal;
            QTest::newRow(text) << e << u"Proxy [2] Error: "_s + QLatin1StringView(text);
        }
        QTest::newRow("connected")
            << event(Kind::OutboundConnected, 3) << u"Outbound [3] Connected"_s;
        QTest::newRow("connect failed") << event(Kind::OutboundError, 3, u"Connection timed out"_s,
            R::ConnectTimeout) << u"Outbound [3] Error: Connection timed out"_s;
        QTest::newRow("destination failed") << event(Kind::OutboundFailed, 3,
            u"Connection reset by peer"_s) << u"Outbound [3] Error: Connection reset by peer"_s;
        QTest::newRow("client closed")
            << event(Kind::ProxyClosed, 4) << u"Proxy [4] Connection Closed"_s;
        QTest::newRow("destination closed")
            << event(Kind::OutboundClosed, 4) << u"Outbound [4] Connection Closed"_s;
        QTest::newRow("client failed") << event(Kind::ProxyError, 5, u"No route to host"_s)
                                       << u"Proxy [5] Error: No route to host"_s;
        QTest::newRow("request timed out") << event(Kind::ProxyError, 5, {}, R::RequestTimeout)
                                           << u"Proxy [5] Error: Request timed out"_s;
        QTest::newRow("idle") << event(Kind::ProxyError, 5, {}, R::IdleForWaiting)
                              << u"Proxy [5] Error: Idle connection closed for a waiting client"_s;
        QTest::newRow("operator") << event(Kind::ProxyError, 5, {}, R::Disconnected)
                                  << u"Proxy [5] Error: Disconnected by the operator"_s;
        QTest::newRow("ended: no line") << event(Kind::Ended, 6, {}, R::Finished) << QString();
    }
    void lines()
    {
        QFETCH(Event, event);
        QTEST(ui::logLine(event), "line");
    }
};

QTEST_APPLESS_MAIN(tst_EventLog)
#include "tst_eventlog.moc"
