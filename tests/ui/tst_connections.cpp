// The Connections window fed by a real relay over loopback (every state and protocol, exact
// counts when a connection ends, copying, disconnecting), and by a snapshot written by hand for
// sorting, rates, UDP cells and gaps that measure nothing; the recent list, how it opens; the
// words of the window and of the status log.

#include "fakes.h"
#include "harness.h"
#include "ui/connectiontext.h"
#include "ui/eventlog.h"
#include "ui/menus.h"
#include "ui/recentmodel.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QTableView>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using M = ui::ConnectionsModel;
using R = ui::RecentModel;

class tst_Connections final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void words_data();
    void words();
    void liveStates();
    void exactCountsAtTheEnd_data();
    void exactCountsAtTheEnd();
    void copyAndDisconnect();
    void sortedByNumbers();
    void opensFromTheMainWindow();
};

/// A column of the rows in the order shown, as copied.
QStringList column(const QAbstractItemModel &shown, int c)
{
    QStringList cells;
    for (int r = 0; r < shown.rowCount(); ++r)
        cells << shown.index(r, c).data(ui::CopyRole).toString();
    return cells;
}

/// The window over a relay serving loopback, wired as the program wires them.
struct Live
{
    harness::Proxy proxy;
    harness::Destination destination;
    ui::ConnectionsWindow window { { [this] { return proxy.relay.snapshot(); },
                                       [this](quint64 id) { proxy.relay.Disconnect(id); } },
        {} };

    QStringList column(int c) const { return ::column(*window.table().model(), c); }
    QString recent(int c) const
    {
        return window.recentModel().index(0, c).data(ui::CopyRole).toString();
    }
    /// A SOCKS4 client relaying to `to`, its grant taken.
    bool relayed(harness::Client &client, quint16 to = 0)
    {
        if (!client.connectTo(proxy.port))
            return false;
        client.socket->write(harness::request(to ? to : destination.port()));
        const bool granted = QTest::qWaitFor([&client] { return client.received.size() >= 8; });
        client.received.remove(0, 8);
        return granted && (to || QTest::qWaitFor([this] { return !destination.peers.empty(); }));
    }
};

/// Ends the sending of a Qt socket (Qt has no half-close of its own); it goes on reading.
void endSending(harness::Client &client)
{
    QTRY_COMPARE(client.socket->bytesToWrite(), 0);
    ::shutdown(int(client.socket->socketDescriptor()), SHUT_WR);
}

void tst_Connections::words_data()
{
    QTest::addColumn<QString>("got");
    QTest::addColumn<QString>("expected");
    QTest::newRow("rate") << ui::formatRate(12.4 * 1024) << u"12.4 KiB/s"_s;
    QTest::newRow("no rate") << ui::formatRate(-3) << u"0 B/s"_s;
    QTest::newRow("count") << ui::formatCount(9999) + ui::formatCount(12345) << u"999912.3k"_s;
    QTest::newRow("minutes") << ui::formatDuration(185s) << u"3 min 05 s"_s;
    QTest::newRow("hours") << ui::formatDuration(7620s) << u"2 h 07 min"_s;
    QTest::newRow("mapped") << ui::endpointText(QHostAddress(u"::ffff:10.0.0.5"_s), 80)
                            << u"10.0.0.5:80"_s;
    QTest::newRow("IPv6") << ui::endpointText(QHostAddress(u"2001:db8::5"_s), 443)
                          << u"[2001:db8::5]:443"_s;
    QTest::newRow("bytes sent") << ui::printable("a\\\n\xff") << u"a\\x5c\\x0a\\xff"_s;
    relay::ConnectionInfo c;
    QTest::newRow("nothing asked") << ui::destinationText(c) << QString();
    c.connectedAddress = QHostAddress(u"10.1.1.1"_s);
    c.connectedPort = 22;
    c.requested = { {}, "x.example", 22 };
    QTest::newRow("resolved") << ui::destinationText(c) << u"x.example:22 \u2192 10.1.1.1:22"_s;
    QTest::newRow("reason") << ui::reasonText(relay::EndReason::ConnectFailed, u"refused"_s)
                            << u"connect failed: refused"_s;
    QTest::newRow("scale") << ui::formatRate(ui::niceScale(3000)) << u"5.0 KiB/s"_s;
    // The status log's lines, named by themselves (those the relay's tests see end to end are
    // left to them).
    using K = relay::Event::Kind;
    relay::Event e; // each row changes what it needs: the other fields must not show
    e.info.client = QHostAddress(u"::1"_s);
    const auto row = [&e](const char *line) {
        QTest::newRow(line) << ui::logLine(e) << QString::fromUtf8(line);
    };
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
    e.error.clear(), e.reason = relay::EndReason::IdleForWaiting;
    row("Proxy [5] Error: Idle connection closed for a waiting client");
    e.kind = K::UdpAssociationStarted, e.slot = 7, e.info.clientPort = 40000;
    e.info.connectedAddress = QHostAddress(u"10.0.0.1"_s), e.info.connectedPort = 53124;
    row("Proxy [7] UDP Association from [::1]:40000 on 10.0.0.1:53124");
    e.kind = K::LoginFailed, e.slot = -1, e.info.user = "\n\xc3\xa9"; // UTF-8, escaped
    row("Login Failed for \\x0a\xc3\xa9 from ::1");
    e.kind = K::Ended, e.reason = relay::EndReason::Finished;
    row(""); // Ended makes no line
}

void tst_Connections::words()
{
    QFETCH(QString, got);
    QTEST(got, "expected");
}

void tst_Connections::liveStates()
{
    // Sixteen slots left in each state by real clients, then one in line.
    Live h;
    h.proxy.relay.setTimeouts({ 30s, 30s, 1s, 60s }); // nobody is closed to make room
    h.proxy.names.table[u"never.example"_s] = std::nullopt; // never answered
    QTcpServer quiet; // its connections wait in its backlog: never read, never ended
    QVERIFY(quiet.listen(QHostAddress::LocalHost));
    quiet.pauseAccepting();
    std::vector<std::unique_ptr<harness::Client>> clients;
    QStringList expected = { u"0 SOCKS4 relaying"_s, u"1 SOCKS5 negotiating"_s,
        u"2 SOCKS4a connecting"_s, u"3 SOCKS4 half-closed"_s };
    for (int i = 0; i <= relay::Relay::SlotCount; ++i) {
        harness::Client &c = *clients.emplace_back(std::make_unique<harness::Client>());
        if (i == 0 || i == 3)
            QVERIFY(h.relayed(c, quiet.serverPort()));
        else
            QVERIFY(c.connectTo(h.proxy.port));
        if (i == 1)
            c.socket->write("\5\1\0"_ba);
        if (i == 2)
            c.socket->write(harness::nameRequest(80, "never.example"));
        if (i == 3)
            endSending(c);
        if (i >= 4)
            expected << (i < relay::Relay::SlotCount ? u"%1  negotiating"_s.arg(i)
                                                     : u"-  waiting"_s);
        QTRY_COMPARE(h.proxy.relay.busySlots() + h.proxy.relay.waitingCount(), i + 1);
    }
    const auto rows = [&h] {
        h.window.refresh();
        QStringList shown = h.column(M::SlotColumn);
        const QStringList protocols = h.column(M::ProtocolColumn),
                          states = h.column(M::StateColumn);
        for (qsizetype r = 0; r < shown.size(); ++r)
            shown[r] += u' ' + protocols[r] + u' ' + states[r];
        return shown;
    };
    QTRY_COMPARE(rows(), expected);
}

void tst_Connections::exactCountsAtTheEnd_data()
{
    QTest::addColumn<bool>("clientFirst"); // and reads slowly
    QTest::newRow("the client ends first, reads slowly") << true;
    QTest::newRow("the destination ends first") << false;
}

void tst_Connections::exactCountsAtTheEnd()
{
    // A request and its answer, each side ending in turn: the recent list and the totals show
    // every byte that each side got, to the byte.
    QFETCH(bool, clientFirst);
    Live h;
    const QByteArray up = harness::pattern(300'001), down = harness::pattern(5 << 20, 1);
    std::atomic<qint64> got = -1;
    harness::ThreadServer server([&](int fd) {
        // The answer after the whole request, or after the request's end too.
        const qsizetype asked = harness::readAll(fd, clientFirst ? -1 : up.size()).size();
        harness::writeAll(fd, down);
        ::shutdown(fd, SHUT_WR);
        got = asked + harness::readAll(fd).size();
    });
    harness::Client client;
    QVERIFY(h.relayed(client, server.port));
    QTimer slowly; // 64 KiB each 10 ms: what goes to it is still queued when the slot ends
    QObject::connect(
        &slowly, &QTimer::timeout, [&client] { client.received += client.socket->read(64 << 10); });
    client.socket->write(up);
    if (clientFirst) {
        client.pause();
        slowly.start(10);
        endSending(client);
    }
    QTRY_VERIFY_WITH_TIMEOUT(h.proxy.relay.busySlots() == 0, 20000);
    slowly.stop();
    client.resume();
    QTRY_VERIFY_WITH_TIMEOUT(client.closed && got >= 0, 20000);
    QCOMPARE(client.received.size(), down.size());
    QCOMPARE(got.load(), up.size());

    h.window.refresh();
    QCOMPARE(h.window.model().rowCount(), 0);
    QCOMPARE(h.window.recentModel().rowCount(), 1);
    QCOMPARE(h.recent(R::BytesUpColumn), QString::number(up.size()));
    QCOMPARE(h.recent(R::BytesDownColumn), QString::number(down.size()));
    QCOMPARE(h.recent(R::ReasonColumn), u"finished"_s);
    QCOMPARE(h.recent(R::ProtocolColumn), u"SOCKS4"_s);
    const QLabel &totals = *h.window.findChild<QLabel *>(u"totals"_s);
    QCOMPARE(
        totals.text(), u"Since start: 1 served, 0 refused, 0 failed; 293 KiB up, 5.0 MiB down"_s);
    QCOMPARE(totals.toolTip(), u"%1 bytes up, %2 bytes down"_s.arg(up.size()).arg(down.size()));
}

void tst_Connections::copyAndDisconnect()
{
    // One relayed connection copied with its exact figures, then ended from the window.
    Live h;
    harness::Client client;
    QVERIFY(h.relayed(client));
    const QByteArray up = harness::pattern(100'001), down = harness::pattern(3 << 20, 1);
    client.socket->write(up);
    h.destination.peer().socket->write(down);
    QTRY_VERIFY(
        h.destination.peer().received.size() == up.size() && client.received.size() == down.size());
    h.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&h.window));
    QTest::keyClick(&h.window.table(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&h.window.table(), Qt::Key_C, Qt::ControlModifier);
    const QDateTime since =
        QDateTime::fromMSecsSinceEpoch(std::chrono::duration_cast<std::chrono::milliseconds>(
            h.window.model().info(0).since.time_since_epoch())
                                           .count());
    QCOMPARE(QGuiApplication::clipboard()->text(),
        u"Slot\tClient\tProtocol\tUser\tDestination\tState\tSince\tBytes up\tBytes down\tRate up\t"
        "Rate down\n0\t127.0.0.1:%1\tSOCKS4\tbob\t127.0.0.1:%2\trelaying\t%3\t100001\t3145728\t0\t0\n"_s
            .arg(client.socket->localPort())
            .arg(h.destination.port())
            .arg(since.toString(Qt::ISODate)));

    QVERIFY(h.window.table().actions().contains(&h.window.disconnectAction())); // context menu
    h.window.disconnectAction().trigger();
    QCOMPARE(h.proxy.log.last(), u"Proxy [0] Error: Disconnected by the operator"_s);
    QCOMPARE(h.window.model().rowCount(), 0); // at once
    QTRY_VERIFY(client.closed);
    QCOMPARE(h.recent(R::ReasonColumn), u"disconnected"_s);
    QCOMPARE(h.recent(R::BytesDownColumn), u"3145728"_s);
}

void tst_Connections::sortedByNumbers()
{
    // Rows by bytes as numbers ("100 B" < "1.5 MiB" < "4.7 GiB"), a UDP cell, the selection kept
    // over a refresh, in the list and in the recent endings, and a gap between refreshes (hidden
    // meanwhile) that measures nothing.
    relay::Snapshot s;
    const auto add = [&s](quint64 id, int slot, qint64 up, bool udp = false) {
        relay::ConnectionInfo &c = s.connections.emplace_back();
        c.id = id, c.slot = slot, c.bytesUp = up, c.datagramsUp = 3 * udp;
        c.protocol = udp ? relay::Protocol::Udp : relay::Protocol::Socks5;
        c.state = slot < 0 ? relay::ConnectionState::Waiting : relay::ConnectionState::Relaying;
    };
    add(1, 0, 100);
    add(2, 1, 5'000'000'000);
    add(3, 2, 3 << 19, true);
    add(4, -1, 0);
    const auto end = [&s](quint64 id) { // the recent list, newest last
        relay::EndedConnection &e = s.recent.emplace_back();
        e.info.id = id, e.info.bytesUp = qint64(id) * 1000, e.ended = e.info.since + 1500ms;
    };
    for (quint64 id = 1; id <= 3; ++id)
        end(id);
    ui::SteadyClock::time_point now {};
    ui::ConnectionsWindow window({ [&s] { return s; }, [](quint64) {} }, {});
    window.setClock([&now] { return now; });
    const auto column = [&window](int c) { return ::column(*window.table().model(), c); };
    window.refresh();
    QCOMPARE(column(M::SlotColumn), QStringList({ u"0"_s, u"1"_s, u"2"_s, u"-"_s }));
    QCOMPARE(window.table().model()->index(1, M::BytesUpColumn).data().toString(), u"4.7 GiB"_s);
    QCOMPARE(window.table().model()->index(2, M::BytesUpColumn).data().toString(),
        u"1.5 MiB \u00b7 3"_s);
    window.table().sortByColumn(M::BytesUpColumn, Qt::DescendingOrder);
    QCOMPARE(column(M::SlotColumn), QStringList({ u"1"_s, u"2"_s, u"0"_s, u"-"_s }));
    window.table().selectRow(0);
    const QPersistentModelIndex two = window.recentModel().index(1, 0); // newest on top

    // 0.8 s later: 1 ended, 2 moved 1 MiB up, 5 arrived with 8000 bytes; the selection stays.
    now += 800ms;
    s.connections.erase(s.connections.begin());
    s.connections[0].bytesUp += 1 << 20;
    add(5, 0, 8000);
    s.recent.erase(s.recent.begin()); // the relay keeps the last 100
    end(4), end(5);
    window.refresh();
    QCOMPARE(window.selectedIds(), QList<quint64> { 2 });
    QVERIFY(window.recentModel().rowCount() == 4 && two.row() == 3);
    const QAbstractItemModel &recent = window.recentModel();
    QCOMPARE(recent.index(0, R::BytesUpColumn).data(ui::CopyRole).toString(), u"5000"_s);
    QCOMPARE(recent.index(0, R::DurationColumn).data(ui::CopyRole).toString(), u"1.500"_s);
    QCOMPARE(window.model().rateUp(window.model().rowCount() - 1), 10'000.0); // all of it
    QCOMPARE(column(M::RateUpColumn)[0], u"1310720"_s);
    now += 6s;
    s.connections[0].bytesUp += 1 << 20;
    window.refresh();
    QCOMPARE(column(M::RateUpColumn)[0], u"0"_s);
    QCOMPARE(window.history().samples().size(), 1u);
}

void tst_Connections::opensFromTheMainWindow()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QVERIFY(!w.connectionsWindow());
    w.connectionsAction().trigger();
    ui::ConnectionsWindow *connections = w.connectionsWindow();
    QVERIFY(connections && connections->isVisible() && connections->isWindow());
    QVERIFY(connections->refreshing() && !w.isVisible()); // the main window is left as it was
    connections->resize(720, 400);
    connections->close();
    QVERIFY(!connections->refreshing());
    w.trayMenu().connectionsAction().trigger();
    QVERIFY(connections->isVisible() && w.connectionsWindow() == connections);
    QVERIFY(w.close()); // closes it too; its size kept beside IPs.txt

    ui::frmMain &started = h.open();
    started.start({ {}, false, false, true });
    QVERIFY(started.isVisible() && started.connectionsWindow()->isVisible());
    QCOMPARE(started.connectionsWindow()->size(), QSize(720, 400));
}

QTEST_MAIN(tst_Connections)
#include "tst_connections.moc"
