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
        const auto make = [](K kind, int slot, const char *error = "", R reason = {}) {
            Event e;
            e.kind = kind;
            e.slot = slot;
            e.error = QString::fromUtf8(error);
            e.reason = reason;
            e.info.client = QHostAddress(u"::1"_s);
            return e;
        };
        // Each row is named by the line it makes (none for Ended).
        const auto row = [&make](const char *line, auto... how) {
            QTest::newRow(line) << make(how...);
        };
        // A request: SOCKS4's user id and a name as sent (Latin-1), escaped.
        Event e = make(K::Request, 1);
        e.info.protocol = relay::Protocol::Socks4;
        e.info.user = "\x80\xff\n";
        e.info.requested = { QHostAddress(u"255.255.255.255"_s), {}, 65535 };
        QTest::newRow("Proxy [1] Request from \\x80\xc3\xbf\\x0a to 255.255.255.255:65535") << e;
        e.info.protocol = relay::Protocol::Socks5;
        e.info.user = {};
        e.info.requested = { {}, "a\n\xe9", 443 };
        QTest::newRow("Proxy [1] Request to a\\x0a\xc3\xa9:443") << e;
        e.kind = K::HttpRequest; // the query is left out, controls escaped
        e.info.method = "GET";
        e.info.path = "/a\nb?token=secret";
        e.info.requested = { {}, "example.org", 80 };
        QTest::newRow("Proxy [1] GET http://example.org:80/a\\x0ab") << e;
        row("Outbound [3] Error: Connection reset by peer", K::OutboundFailed, 3,
            "Connection reset by peer");
        row("Proxy [5] Error: No route to host", K::ProxyError, 5, "No route to host");
        row("Proxy [5] Error: Idle connection closed for a waiting client", K::ProxyError, 5, "",
            R::IdleForWaiting);
        e = make(K::UdpAssociationStarted, 7);
        e.info.clientPort = 40000;
        e.info.connectedAddress = QHostAddress(u"10.0.0.1"_s);
        e.info.connectedPort = 53124;
        QTest::newRow("Proxy [7] UDP Association from [::1]:40000 on 10.0.0.1:53124") << e;
        e = make(K::LoginFailed, -1); // the user's bytes as UTF-8, escaped
        e.info.user = "\n\xc3\xa9";
        QTest::newRow("Login Failed for \\x0a\xc3\xa9 from ::1") << e;
        row("", K::Ended, 6, "", R::Finished);
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
