// Every kind of relay event and the status line it makes, word for word.

#include "ui/eventlog.h"

#include <QTest>

using relay::Event;
Q_DECLARE_METATYPE(relay::Event)

class tst_EventLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data()
    {
        QTest::addColumn<Event>("event");
        using K = Event::Kind;
        using R = relay::EndReason;
        using F = relay::Refusal;
        using P = relay::Protocol;
        const auto make = [](K kind, int slot, const char *error = "", R reason = {},
                              F refusal = {}) {
            Event e;
            e.kind = kind;
            e.slot = slot;
            e.error = QString::fromUtf8(error);
            e.reason = reason;
            e.refusal = refusal;
            e.info.client = QHostAddress(QStringLiteral("::1"));
            return e;
        };
        // Each row is named by the line it makes (none for Ended).
        const auto row = [&make](const char *line, auto... how) {
            QTest::newRow(line) << make(how...);
        };
        // A request: SOCKS4's user id and a name as sent (Latin-1), escaped.
        const auto request = [&make](const char *line, P protocol, const QByteArray &user,
                                 const char *address, const QByteArray &name, quint16 port) {
            Event e = make(K::Request, 1);
            e.info.protocol = protocol;
            e.info.user = user;
            e.info.requested = { QHostAddress(QString::fromLatin1(address)), name, port };
            QTest::newRow(line) << e;
        };
        row("Listener Error: Too many open files", K::ListenerError, -1, "Too many open files");
        row("Proxy [15] Connection Request from ::1", K::ConnectionRequest, 15);
        request("Proxy [1] Request from \\x80\xc3\xbf\\x0a to 255.255.255.255:65535", P::Socks4,
            "\x80\xff\n", "255.255.255.255", {}, 65535);
        request("Proxy [1] Request from bob to example.org:80", P::Socks4a, "bob", "",
            "example.org", 80);
        request("Proxy [1] Request to a\\x0a\xc3\xa9:443", P::Socks5, {}, "", "a\n\xe9", 443);
        request("Proxy [1] Request to [::1]:443", P::Http, {}, "::1", {}, 443);
        {
            Event e = make(K::HttpRequest, 7); // the query is left out, controls escaped
            e.info.method = "GET";
            e.info.path = "/a\nb?token=secret";
            e.info.requested = { {}, "example.org", 80 };
            QTest::newRow("Proxy [7] GET http://example.org:80/a\\x0ab") << e;
        }
        // The other refusals' lines are checked end to end (tst_relay).
        row("Proxy [2] Error: SOCKS4 user id too long", K::Refused, 2, "", R::Refused,
            F::UserIdTooLong);
        row("Outbound [3] Connected", K::OutboundConnected, 3);
        row("Outbound [3] Error: Connection timed out", K::OutboundError, 3, "Connection timed out",
            R::ConnectTimeout);
        row("Outbound [3] Error: Connection reset by peer", K::OutboundFailed, 3,
            "Connection reset by peer");
        row("Proxy [4] Connection Closed", K::ProxyClosed, 4);
        row("Outbound [4] Connection Closed", K::OutboundClosed, 4);
        row("Proxy [5] Error: No route to host", K::ProxyError, 5, "No route to host");
        row("Proxy [5] Error: Request timed out", K::ProxyError, 5, "", R::RequestTimeout);
        row("Proxy [5] Error: Idle connection closed for a waiting client", K::ProxyError, 5, "",
            R::IdleForWaiting);
        row("Proxy [5] Error: Disconnected by the operator", K::ProxyError, 5, "", R::Disconnected);
        Event udp = make(K::UdpAssociationStarted, 7);
        udp.info.clientPort = 40000;
        udp.info.connectedAddress = QHostAddress(QStringLiteral("10.0.0.1"));
        udp.info.connectedPort = 53124;
        QTest::newRow("Proxy [7] UDP Association from [::1]:40000 on 10.0.0.1:53124") << udp;
        udp.kind = K::UdpAssociationEnded;
        udp.info.datagramsUp = 12, udp.info.bytesUp = 3456, udp.info.datagramsDown = 11;
        udp.info.bytesDown = 9876;
        QTest::newRow("Proxy [7] UDP Association Ended: 12 datagrams (3456 bytes) up, 11 datagrams "
                      "(9876 bytes) down")
            << udp;
        row("", K::Ended, 6, "", R::Finished);
        // Logins (the user's bytes as UTF-8, escaped) and the guard.
        const auto who = [&make](const char *line, K kind, const QByteArray &user) {
            Event e = make(kind, -1);
            e.info.user = user;
            QTest::newRow(line) << e;
        };
        who("Login by alice from ::1", K::LoggedIn, "alice");
        who("Login Failed for \\x0a\xc3\xa9 from ::1", K::LoginFailed, "\n\xc3\xa9");
        who("Too many failed logins from ::1: refused for the rest of the minute", K::LoginsBlocked,
            {});
        Event guard = make(K::NotAllowed, 7, "", R::Refused, F::ThisComputer);
        guard.info.connectedAddress = QHostAddress(QStringLiteral("127.0.0.1"));
        guard.info.connectedPort = 5432;
        QTest::newRow("Proxy [7] Error: Connection not allowed: 127.0.0.1:5432 is this computer")
            << guard;
    }
    void lines()
    {
        QFETCH(Event, event);
        QCOMPARE(ui::logLine(event), QString::fromUtf8(QTest::currentDataTag()));
    }
};

QTEST_APPLESS_MAIN(tst_EventLog)
#include "tst_eventlog.moc"
