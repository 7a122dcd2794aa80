// The Connections window fed with snapshots by hand (fakes::Relay has the relay's snapshot() and
// Disconnect(); sourceOf() takes either): rows by id, exact figures, rates, sorting, copying,
// disconnecting, refreshing only while shown, the recent list, the words, and how it opens.

#include "fakerelay.h"
#include "fakes.h"
#include "ui/connectiontext.h"
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

class tst_Connections final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void words_data();
    void words();
    void rowsByIdAndRates();
    void sortCopyAndDisconnect();
    void refreshesOnlyWhileShown();
    void recentEndings();
    void opensFromTheMainWindow();
};

/// The window over a fake relay, with a clock moved by hand.
struct Harness
{
    QTemporaryDir dir;
    fakes::Relay relay;
    ui::SteadyClock::time_point now {};
    ui::ConnectionsWindow window { fakes::sourceOf(relay), dir.filePath(u"s.ini"_s) };
    Harness()
    {
        window.setClock([this] { return now; });
    }
    QAbstractItemModel &shown() const { return *window.table().model(); }
    /// A column of the rows in the order shown, as copied.
    QStringList column(int c) const
    {
        QStringList cells;
        for (int r = 0; r < shown().rowCount(); ++r)
            cells << shown().index(r, c).data(ui::CopyRole).toString();
        return cells;
    }
};

void tst_Connections::words_data()
{
    QTest::addColumn<QString>("got");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bytes") << ui::formatBytes(1023) << u"1023 B"_s;
    QTest::newRow("KiB") << ui::formatBytes(1536) << u"1.5 KiB"_s;
    QTest::newRow("MiB 3 figures") << ui::formatBytes(150 * 1048576 + 1) << u"150 MiB"_s;
    QTest::newRow("GiB") << ui::formatBytes(qint64(5) << 30) << u"5.0 GiB"_s;
    QTest::newRow("rate") << ui::formatRate(12.4 * 1024) << u"12.4 KiB/s"_s;
    QTest::newRow("no rate") << ui::formatRate(-3) << u"0 B/s"_s;
    QTest::newRow("count") << ui::formatCount(9999) + ui::formatCount(12345) << u"999912.3k"_s;
    QTest::newRow("short") << ui::formatDuration(400ms) << u"0.4 s"_s;
    QTest::newRow("minutes") << ui::formatDuration(185s) << u"3 min 05 s"_s;
    QTest::newRow("hours") << ui::formatDuration(7620s) << u"2 h 07 min"_s;
    QTest::newRow("mapped") << ui::endpointText(QHostAddress(u"::ffff:10.0.0.5"_s), 80)
                            << u"10.0.0.5:80"_s;
    QTest::newRow("IPv6") << ui::endpointText(QHostAddress(u"2001:db8::5"_s), 443)
                          << u"[2001:db8::5]:443"_s;
    QTest::newRow("bytes sent") << ui::printable("a\\\n\xff") << u"a\\x5c\\x0a\\xff"_s;
    relay::ConnectionInfo c;
    QTest::newRow("nothing asked") << ui::destinationText(c) << QString();
    c.requested = { QHostAddress(u"10.1.1.1"_s), {}, 22 };
    c.connectedAddress = QHostAddress(u"10.1.1.1"_s);
    c.connectedPort = 22;
    QTest::newRow("address") << ui::destinationText(c) << u"10.1.1.1:22"_s;
    c.requested = { {}, "x.example", 22 };
    QTest::newRow("resolved") << ui::destinationText(c) << u"x.example:22 \u2192 10.1.1.1:22"_s;
    QTest::newRow("reason") << ui::reasonText(relay::EndReason::ConnectFailed, u"refused"_s)
                            << u"connect failed: refused"_s;
    QTest::newRow("scale") << ui::formatRate(ui::niceScale(3000)) << u"5.0 KiB/s"_s;
    QTest::newRow("scale MiB") << ui::formatRate(ui::niceScale(1.01 * 1048576)) << u"2.0 MiB/s"_s;
}

void tst_Connections::words()
{
    QFETCH(QString, got);
    QTEST(got, "expected");
}

void tst_Connections::rowsByIdAndRates()
{
    Harness h;
    h.relay.add(1, 0, 100, 200);
    h.relay.add(2, 1, 5'000'000'000, 7);
    h.relay.add(3, -1);
    h.window.refresh();
    QCOMPARE(h.column(M::SlotColumn), QStringList({ u"0"_s, u"1"_s, u"-"_s }));
    QCOMPARE(h.column(M::StateColumn), QStringList({ u"relaying"_s, u"relaying"_s, u"waiting"_s }));
    QCOMPARE(h.column(M::RateUpColumn), QStringList({ u"0"_s, u"0"_s, u"0"_s })); // not measured
    QCOMPARE(h.shown().index(1, M::BytesUpColumn).data().toString(), u"4.7 GiB"_s);
    h.window.table().selectRow(1);

    // 0.8 s later: 1 ended, 2 moved 1 MiB up and 400 KiB down, 4 arrived with 8000 bytes.
    h.now += 800ms;
    std::erase_if(h.relay.state.connections, [](const auto &c) { return c.id == 1; });
    h.relay.at(2).bytesUp += 1 << 20;
    h.relay.at(2).bytesDown += 400 << 10;
    h.relay.add(4, 0, 8000, 0).state = relay::ConnectionState::Negotiating;
    h.window.refresh();
    QCOMPARE(h.column(M::SlotColumn), QStringList({ u"0"_s, u"1"_s, u"-"_s }));
    QCOMPARE(h.column(M::BytesUpColumn),
        QStringList({ u"8000"_s, QString::number(5'000'000'000 + (1 << 20)), u"0"_s }));
    QCOMPARE(h.window.selectedIds(), QList<quint64> { 2 }); // the selection stays on its row
    const int row = h.window.model().rowCount() - 1;
    QCOMPARE(h.window.model().id(row), 4u);
    QCOMPARE(h.window.model().rateUp(row), 10'000.0); // all of a new one's bytes count
    QCOMPARE(h.column(M::RateUpColumn)[1], u"1310720"_s);
    QCOMPARE(h.shown().index(1, M::RateDownColumn).data().toString(), u"500 KiB/s"_s);

    // Refreshes further apart than that (the window was hidden between them) measure nothing.
    QCOMPARE(h.window.history().samples().size(), 1u);
    h.now += 6s;
    h.relay.at(2).bytesUp += 1 << 20;
    h.relay.state.totals.bytesUp += 1 << 20;
    h.window.refresh();
    QCOMPARE(h.column(M::RateUpColumn), QStringList({ u"0"_s, u"0"_s, u"0"_s }));
    QCOMPARE(h.window.history().samples().size(), 1u);
}

void tst_Connections::sortCopyAndDisconnect()
{
    Harness h;
    h.relay.add(7, 2, 900);
    h.relay.add(8, 0, 2048).user = "alice";
    auto &udp = h.relay.add(9, 1, 3 << 19, 12);
    udp.protocol = relay::Protocol::Udp;
    udp.datagramsUp = 3;
    h.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&h.window));
    QCOMPARE(h.shown().index(1, M::BytesUpColumn).data().toString(), u"1.5 MiB \u00b7 3"_s);
    // By bytes as numbers ("900 B" < "2.0 KiB" < "1.5 MiB"), either way.
    h.window.table().sortByColumn(M::BytesUpColumn, Qt::AscendingOrder);
    QCOMPARE(h.column(M::BytesUpColumn), QStringList({ u"900"_s, u"2048"_s, u"1572864"_s }));
    h.window.table().sortByColumn(M::BytesUpColumn, Qt::DescendingOrder);
    QCOMPARE(h.column(M::SlotColumn), QStringList({ u"1"_s, u"0"_s, u"2"_s }));

    QTest::keyClick(&h.window.table(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&h.window.table(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(),
        u"Slot\tClient\tProtocol\tUser\tDestination\tState\tSince\tBytes up\tBytes down\tRate up\t"
        "Rate down\n"
        "1\t192.168.1.19:40009\tUDP\t\thost9.example:443 \u2192 203.0.113.9:443\trelaying\t%1\t"
        "1572864\t12\t0\t0\n"
        "0\t192.168.1.18:40008\tSOCKS4\talice\thost8.example:443 \u2192 203.0.113.8:443\t"
        "relaying\t%2\t2048\t0\t0\t0\n"
        "2\t192.168.1.17:40007\tHTTP\t\thost7.example:443 \u2192 203.0.113.7:443\trelaying\t%3\t"
        "900\t0\t0\t0\n"_s.arg(QDateTime::fromSecsSinceEpoch(1'800'000'009).toString(Qt::ISODate),
            QDateTime::fromSecsSinceEpoch(1'800'000'008).toString(Qt::ISODate),
            QDateTime::fromSecsSinceEpoch(1'800'000'007).toString(Qt::ISODate)));

    // Disconnect asks for each selected one, in the order shown, and the rows go at once.
    h.window.table().clearSelection();
    QVERIFY(!h.window.disconnectAction().isEnabled());
    h.window.table().selectRow(0);
    h.window.table().selectionModel()->select(
        h.shown().index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QVERIFY(h.window.table().actions().contains(&h.window.disconnectAction())); // context menu
    h.window.disconnectAction().trigger();
    QCOMPARE(h.relay.disconnected, QList<quint64>({ 9, 7 }));
    QCOMPARE(h.column(M::SlotColumn), QStringList { u"0"_s });
}

void tst_Connections::refreshesOnlyWhileShown()
{
    Harness h;
    h.window.setRefreshInterval(10ms);
    h.window.resize(640, 480);
    QVERIFY(!h.window.refreshing());
    QCOMPARE(h.relay.snapshots, 0); // made, nothing asked
    h.window.show();
    QTRY_VERIFY(h.relay.snapshots >= 3);
    h.window.hide();
    const int asked = h.relay.snapshots;
    QVERIFY(!h.window.refreshing());
    QCoreApplication::processEvents();
    QCOMPARE(h.relay.snapshots, asked);

    // Totals and the graph's samples come from the same snapshots; the size is remembered.
    h.relay.state.totals = { 5, 2, 1, 3000, 1 << 20 };
    h.now += 1s;
    h.window.refresh();
    QCOMPARE(h.window.findChild<QLabel *>(u"totals"_s)->text(),
        u"Since start: 5 served, 2 refused, 1 failed; 2.9 KiB up, 1.0 MiB down"_s);
    QCOMPARE(h.window.history().samples().back().down, double(1 << 20));
    ui::ConnectionsWindow again({}, h.dir.filePath(u"s.ini"_s));
    QCOMPARE(again.size(), QSize(640, 480));
}

void tst_Connections::recentEndings()
{
    // 100 endings, then three more: the newest on top, the three oldest gone, a selection kept.
    ui::RecentModel model;
    std::vector<relay::EndedConnection> recent;
    const auto end = [&recent](quint64 id) {
        relay::EndedConnection e;
        e.info.id = id;
        e.info.bytesUp = qint64(id) * 1000;
        e.info.since = relay::WallClock::time_point(std::chrono::seconds(id));
        e.ended = e.info.since + 1500ms;
        e.reason = id % 2 ? relay::EndReason::Finished : relay::EndReason::ConnectFailed;
        e.error = id % 2 ? QString() : u"Connection refused"_s;
        recent.push_back(e);
        if (recent.size() > size_t(relay::Snapshot::RecentCount))
            recent.erase(recent.begin());
    };
    for (quint64 id = 1; id <= 100; ++id)
        end(id);
    model.update(recent);
    const QPersistentModelIndex fifty = model.index(50, 0);
    QCOMPARE(model.ended(50).info.id, 50u);
    for (quint64 id = 101; id <= 103; ++id)
        end(id);
    model.update(recent);
    QCOMPARE(model.rowCount(), 100);
    QCOMPARE(fifty.row(), 53);
    const auto cell = [&model](int row, int column) {
        return model.index(row, column).data(ui::CopyRole).toString();
    };
    QCOMPARE(cell(0, ui::RecentModel::BytesUpColumn), u"103000"_s);
    QCOMPARE(cell(0, ui::RecentModel::DurationColumn), u"1.500"_s);
    QCOMPARE(cell(1, ui::RecentModel::ReasonColumn), u"connect failed: Connection refused"_s);
    QCOMPARE(cell(99, ui::RecentModel::BytesUpColumn), u"4000"_s);
}

void tst_Connections::opensFromTheMainWindow()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QCOMPARE(w.contextMenuPolicy(), Qt::ActionsContextMenu); // the window's right-click menu
    QVERIFY(w.actions().contains(&w.connectionsAction()));
    QVERIFY(!w.connectionsWindow());
    w.connectionsAction().trigger();
    ui::ConnectionsWindow *connections = w.connectionsWindow();
    QVERIFY(connections && connections->isVisible() && connections->isWindow());
    QVERIFY(connections->refreshing() && !w.isVisible()); // the main window is left as it was
    connections->resize(720, 400);
    connections->close();
    QVERIFY(!connections->refreshing());
    QCOMPARE(w.trayMenu().actions().at(1), &w.trayMenu().connectionsAction());
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
