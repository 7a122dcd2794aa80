#include "fakes.h"

#include <QFileInfo>
#include <QListView>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

class tst_frmMain final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void portBoxAndStatusSwitch();
    void listenAdmitStopAndClose();
    void editsReachTheFileAtOnce();
    void fileProblemsAreReported();
    void minimiseToTheTrayAndBack();
};

void tst_frmMain::portBoxAndStatusSwitch()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    h.txtPort()->clear();
    QTest::keyClicks(h.txtPort(), u"a-12 .5"_s); // only digits, the full stop and editing keys
    for (const Qt::Key key : { Qt::Key_Home, Qt::Key_Delete, Qt::Key_End, Qt::Key_Backspace })
        QTest::keyClick(h.txtPort(), key);
    QCOMPARE(h.txtPort()->text(), u"2."_s);

    const int collapsed = w.height();
    QCOMPARE(h.find(u"cmdStatus"_s)->geometry().bottom() + 1, collapsed); // the log out of sight
    h.click(u"cmdStatus"_s);
    QCOMPARE(h.find(u"cmdStatus"_s)->text(), u"Hide Status"_s);
    QVERIFY(h.find<QWidget>(u"lstStatus"_s)->geometry().bottom() < w.height()); // all of it shows
    h.click(u"cmdStatus"_s);
    QCOMPARE(h.find(u"cmdStatus"_s)->text(), u"Show Status"_s);
    QCOMPARE(w.height(), collapsed);
}

void tst_frmMain::listenAdmitStopAndClose()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QTcpServer holder; // a port in use: an error line, the switch does not turn, no mapping
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    h.setPort(holder.serverPort());
    h.click(u"cmdListen"_s);
    QVERIFY(h.lines().value(0).startsWith(u"Listener Error: "));
    QCOMPARE(h.find(u"cmdListen"_s)->text(), u"Listen"_s);

    const quint16 port = h.listen();
    const QString enabled = u"UPnP Enabled on %1."_s.arg(port);
    QCOMPARE(h.find(u"cmdListen"_s)->text(), u"Stop Listening"_s);
    // The gateway answers later, on its own thread: its line always follows the listener's.
    QTRY_COMPARE(h.switchLines(), QStringList({ u"Listener Listening"_s, enabled }));
    QTRY_VERIFY(h.mirror.contains("Listener Listening\n" + enabled.toUtf8() + '\n'));

    QTcpSocket stranger; // not on the allow-list: closed at once, no slot taken
    QSignalSpy strangerGone(&stranger, &QTcpSocket::disconnected);
    stranger.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(strangerGone.wait());
    h.script->answers = QStringList { u"127.0.0.1"_s }; // takes effect for the next request
    h.click(u"cmdAdd"_s);
    QTcpSocket friendly;
    friendly.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(w.proxy().wsProxy(0).State(), net::Endpoint::sckConnected);

    h.txtPort()->setText(u"1"_s); // Stop removes the mapping that was made, whatever the box says
    h.click(u"cmdListen"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckClosed);
    QTRY_COMPARE(h.switchLines().mid(2),
        QStringList({ u"Listener Stopped Listening"_s, u"UPnP Disabled on %1."_s.arg(port) }));
    // Closing while a mapping is held waits for its removal; no event-loop turn is needed.
    const quint16 again = h.listen();
    QTRY_COMPARE(h.switchLines().size(), 6);
    QVERIFY(w.close());
    QCOMPARE(h.switchLines().value(6), u"UPnP Disabled on %1."_s.arg(again));
}

void tst_frmMain::editsReachTheFileAtOnce()
{
    fakes::Window h;
    // An empty entry, a byte beyond 7-bit text and a twin survive every save unchanged.
    const QByteArray original = "10.0.0.1\r\n\r\nbr\374cke\r\n";
    QVERIFY(fakes::writeFile(h.filePath(), original));
    h.open();
    // Kept as typed, twins too; a cancelled prompt or a refused answer changes nothing.
    h.script->answers = QStringList { u" 10.0.0.5"_s, {}, u"10.0.0.256"_s, u"10.0.0.1"_s };
    for (int i = 0; i < 4; ++i)
        h.click(u"cmdAdd"_s);
    QCOMPARE(h.file(), original + " 10.0.0.5\r\n10.0.0.1\r\n");
    h.click(u"cmdRemove"_s); // nothing selected
    auto *list = h.find<QListView>(u"lstAllowed"_s);
    list->setCurrentIndex(list->model()->index(4, 0));
    h.click(u"cmdRemove"_s); // answered No
    h.script->yes = true;
    h.click(u"cmdRemove"_s);
    QCOMPARE(h.file(), original + " 10.0.0.5\r\n");
    h.click(u"cmdRemove"_s); // nothing is selected after a removal
    const QString prompt =
        u"prompt|New Allowed IP|Please enter an IP address to allow requests from:"_s;
    const QString question =
        u"question|Remove IP?|Are you sure you want to remove 10.0.0.1 from the allowed IPs?"_s;
    QCOMPARE(h.script->shown,
        QStringList({ prompt, prompt, prompt, u"critical|Invalid IP|Invalid IP Address"_s, prompt,
            u"beep"_s, question, question, u"beep"_s }));
}

void tst_frmMain::fileProblemsAreReported()
{
    fakes::Window h;
    // A link to itself: it exists, but no read can succeed (even for root, unlike a mode 000 file).
    QVERIFY(QFile::link(u"IPs.txt"_s, h.filePath()));
    h.open();
    h.script->answers = QStringList { u"10.0.0.5"_s };
    h.click(u"cmdAdd"_s);
    QVERIFY(h.window->close());
    QCOMPARE(h.script->shown.size(), 2); // the load's error and the prompt: no save was tried
    QVERIFY(h.script->shown.at(0).startsWith(u"critical|"));
    QCOMPARE(QFileInfo(h.filePath()).symLinkTarget(), h.filePath()); // left as it was

    fakes::Window g;
    QVERIFY(fakes::writeFile(g.dir.filePath(u"file"_s), {}));
    g.appDir = g.dir.filePath(u"file/sub"_s); // a folder that cannot be made: nothing is saved
    g.open(); // a missing file is simply an empty list
    g.script->answers = QStringList { u"10.0.0.5"_s };
    g.click(u"cmdAdd"_s);
    QVERIFY(g.window->close());
    QCOMPARE(g.script->shown.size(), 3); // the prompt, a failed save after the edit and at close
    QVERIFY(g.script->shown.at(2).startsWith(u"critical|"));
    QVERIFY(g.script->shown.at(2).contains(u"IPs.txt"));
    QCOMPARE(g.window->allowedEntries(), QStringList { u"10.0.0.5"_s }); // the edit stands
}

void tst_frmMain::minimiseToTheTrayAndBack()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QCOMPARE(w.trayIcon().toolTip(), u"Quillgate"_s);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    h.click(u"cmdStatus"_s);
    const int height = w.height();
    w.setWindowState(Qt::WindowMinimized);
    QVERIFY(w.isHidden() && w.trayIcon().isVisible());
    QVERIFY(!(w.windowState() & Qt::WindowMinimized)); // comes back restored
    Q_EMIT w.trayIcon().activated(QSystemTrayIcon::Context); // a right click opens nothing
    QVERIFY(w.isHidden());
    Q_EMIT w.trayIcon().activated(QSystemTrayIcon::Trigger);
    QVERIFY(w.isVisible() && !w.trayIcon().isVisible());
    QCOMPARE(w.height(), height);
    h.click(u"cmdStatus"_s); // resizing shows no icon
    QVERIFY(!w.trayIcon().isVisible());

    h.trayAvailable = false; // never hidden with nothing to bring it back
    w.setWindowState(Qt::WindowMinimized);
    QVERIFY(w.isVisible() && !w.trayIcon().isVisible());
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
