// The status log: the line each relay event makes, word for word (the lines the relay's own
// tests already see end to end are left to them), and its bound: the window keeps the most recent
// lines and says once that older ones go; the mirror still gets every line, and saving writes
// what the window holds.

#include "ui/eventlog.h"
#include "ui/statuslog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using relay::Event;
Q_DECLARE_METATYPE(relay::Event)

class tst_StatusLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data()
    {
        QTest::addColumn<Event>("event");
        using K = Event::Kind;
        using R = relay::EndReason;
        Event e; // each row changes what it needs: the other fields must not show
        e.info.client = QHostAddress(u"::1"_s);
        const auto row = [&e](const char *line) { QTest::newRow(line) << e; };
        // A request: SOCKS4's user id and a name as sent (Latin-1), escaped.
        e.kind = K::Request, e.slot = 1, e.info.protocol = relay::Protocol::Socks4;
        e.info.user = "\x80\xff\n";
        e.info.requested = { QHostAddress(u"255.255.255.255"_s), {}, 65535 };
        row("Proxy [1] Request from \\x80\xc3\xbf\\x0a to 255.255.255.255:65535");
        e.info.protocol = relay::Protocol::Socks5, e.info.user = {};
        e.info.requested = { {}, "a\n\xe9", 443 };
        row("Proxy [1] Request to a\\x0a\xc3\xa9:443");
        e.kind = K::HttpRequest, e.info.method = "GET"; // the query left out, controls escaped
        e.info.path = "/a\nb?token=secret", e.info.requested = { {}, "example.org", 80 };
        row("Proxy [1] GET http://example.org:80/a\\x0ab");
        e.kind = K::OutboundFailed, e.slot = 3, e.error = u"Connection reset by peer"_s;
        row("Outbound [3] Error: Connection reset by peer");
        e.kind = K::ProxyError, e.slot = 5, e.error = u"No route to host"_s;
        row("Proxy [5] Error: No route to host");
        e.error.clear(), e.reason = R::IdleForWaiting;
        row("Proxy [5] Error: Idle connection closed for a waiting client");
        e.kind = K::UdpAssociationStarted, e.slot = 7, e.info.clientPort = 40000;
        e.info.connectedAddress = QHostAddress(u"10.0.0.1"_s), e.info.connectedPort = 53124;
        row("Proxy [7] UDP Association from [::1]:40000 on 10.0.0.1:53124");
        e.kind = K::LoginFailed, e.slot = -1, e.info.user = "\n\xc3\xa9"; // UTF-8, escaped
        row("Login Failed for \\x0a\xc3\xa9 from ::1");
        e.kind = K::Ended, e.reason = R::Finished;
        row(""); // Ended makes no line
    }
    void lines()
    {
        QFETCH(Event, event);
        QCOMPARE(ui::logLine(event), QString::fromUtf8(QTest::currentDataTag()));
    }

    void keepsTheMostRecentLines()
    {
        constexpr int Limit = 1000, Count = 100'000; // lines over several of the store's blocks
        QByteArray mirror;
        ui::StatusLog log([&mirror](const QByteArray &chunk) { mirror += chunk; }, nullptr, Limit);
        const QString notice = u"Status log: older lines are no longer kept (limit 1000 lines)"_s;
        QByteArray all, kept;
        for (int i = 0; i < Count; ++i) {
            const QString line = u"Proxy [%1] Request from bob to 10.0.0.5:%2"_s.arg(i % 16).arg(i);
            log.append(line);
            all += line.toUtf8() + '\n';
            if (i == Limit) // the first line that pushes one out
                all += notice.toUtf8() + '\n';
            if (i >= Count - Limit)
                kept += line.toUtf8() + '\n';
        }
        QTRY_COMPARE(log.rowCount(), Limit);
        QCOMPARE(log.size(), Limit);
        QCOMPARE(
            log.data(log.index(0)).toString().toUtf8() + '\n', kept.first(kept.indexOf('\n') + 1));
        QTRY_COMPARE(mirror.size(), all.size());
        QVERIFY(mirror == all);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"log.txt"_s);
        QVERIFY(log.save(path).isEmpty());
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == kept);
    }
};

QTEST_GUILESS_MAIN(tst_StatusLog)
#include "tst_statuslog.moc"
