#include "fakes.h"
#include "ui/desktop.h"
#include "ui/menus.h"
#include "ui/statusview.h"

#include <QAction>
#include <QFileInfo>
#include <QListView>
#include <QMenu>
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
    void trayIconAndItsMenu();
    void startOptions();
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
    QVERIFY(h.find<QWidget>(u"lstStatus"_s)->geometry().bottom() < w.height()); // all of it shows
    h.click(u"cmdStatus"_s);
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
    const quint16 port = h.listen();
    const QString enabled = u"UPnP Enabled on %1."_s.arg(port);
    // The gateway answers later, on its own thread: its line always follows the listener's.
    QTRY_COMPARE(h.switchLines(), QStringList({ u"Listener Listening"_s, enabled }));
    QTRY_VERIFY(h.mirror.contains("Listener Listening\n" + enabled.toUtf8() + '\n'));

    QTcpSocket stranger; // not on the allow-list: closed at once, no slot taken
    QSignalSpy strangerGone(&stranger, &QTcpSocket::disconnected);
    stranger.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(strangerGone.wait());
    h.script->answers = QStringList { u"127.0.0.0/30"_s }; // takes effect for the next request
    h.click(u"cmdAdd"_s);
    QTcpSocket friendly;
    friendly.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(w.proxy().wsProxy(0).State(), net::sckConnected);

    // The tray menu's switch is the button, caption and all. Stop removes the mapping that was
    // made, whatever the box says.
    QAction *toggle = w.trayMenu().actions().at(1);
    QCOMPARE(toggle->text(), h.find(u"cmdListen"_s)->text());
    h.txtPort()->setText(u"1"_s);
    toggle->trigger();
    QCOMPARE(w.proxy().wsListener().State(), net::sckClosed);
    QCOMPARE(toggle->text(), h.find(u"cmdListen"_s)->text());
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
    h.script->answers = QStringList { u" 10.0.0.5"_s, {}, u"::1/129"_s, u"10.0.0.1"_s };
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

    // A folder that is not there yet (the configuration folder) is made at the first save; one
    // that cannot be made fails that save and the one at close, and the edit stands.
    for (const QString &folder : { u"new/sub"_s, u"file/sub"_s }) {
        fakes::Window g;
        g.appDir = g.dir.filePath(folder);
        QVERIFY(fakes::writeFile(g.dir.filePath(u"file"_s), {}));
        g.open();
        g.script->answers = QStringList { u"10.0.0.5"_s };
        g.click(u"cmdAdd"_s);
        QVERIFY(g.window->close());
        const bool made = folder.startsWith(u"new");
        QCOMPARE(g.file(), made ? "10.0.0.5\r\n"_ba : "(unreadable)"_ba);
        QCOMPARE(g.script->shown.size(), made ? 1 : 3);
        QVERIFY(made || g.script->shown.at(2).contains(u"IPs.txt"));
        QCOMPARE(g.window->allowedEntries(), QStringList { u"10.0.0.5"_s });
    }
}

void tst_frmMain::trayIconAndItsMenu()
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    fakes::Window h;
    ui::frmMain &w = h.open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    h.click(u"cmdStatus"_s);
    const int height = w.height();
    w.setWindowState(Qt::WindowMinimized);
    QVERIFY(w.isHidden() && w.trayIcon().isVisible());
    QVERIFY(!(w.windowState() & Qt::WindowMinimized)); // comes back restored
    Q_EMIT w.trayIcon().activated(QSystemTrayIcon::Trigger);
    QVERIFY(w.isVisible() && !w.trayIcon().isVisible());
    QCOMPARE(w.height(), height);
    h.click(u"cmdStatus"_s); // resizing shows no icon
    QVERIFY(!w.trayIcon().isVisible());
    h.trayAvailable = false; // never hidden with nothing to bring it back
    w.setWindowState(Qt::WindowMinimized);
    QVERIFY(w.isVisible() && !w.trayIcon().isVisible());

    // "Start at Login" writes the entry that starts this program listening behind the icon,
    // and removes it; its check mark follows the file, whoever wrote it.
    const QList<QAction *> menu = w.trayMenu().actions();
    const QString entry =
        config.filePath(u"autostart/"_s + QString::fromUtf16(ui::AppId) + u".desktop"_s);
    QCOMPARE(ui::autostartPath(), entry);
    menu.at(2)->trigger();
    QVERIFY(
        fakes::readFile(entry).contains("\nExec=\"/opt/x y/socks4proxy\" --listen --minimized\n"));
    QVERIFY(menu.at(2)->isChecked());
    QVERIFY(QFile::remove(entry));
    Q_EMIT w.trayMenu().aboutToShow();
    QVERIFY(!menu.at(2)->isChecked());
    menu.at(2)->trigger();
    menu.at(2)->trigger();
    QVERIFY(!QFile::exists(entry) && !menu.at(2)->isChecked());

    w.hide();
    menu.at(0)->trigger(); // "Show"
    QVERIFY(w.isVisible());
    QSignalSpy closing(&w, &ui::frmMain::closing);
    QVERIFY(!QFile::exists(h.filePath()));
    menu.at(3)->trigger(); // "Quit": closed as the window closes, list saved
    QVERIFY(closing.size() == 1 && QFile::exists(h.filePath()) && !w.isVisible());
}

void tst_frmMain::startOptions()
{
    fakes::Window h;
    for (const bool tray : { true, false }) {
        h.trayAvailable = tray;
        ui::frmMain &w = h.open();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        w.start({ port, true, true });
        QCOMPARE(h.txtPort()->text(), QString::number(port));
        QCOMPARE(w.proxy().wsListener().LocalPort(), port);
        QCOMPARE(w.trayIcon().isVisible(), tray); // hidden behind it, or minimised without it
        QCOMPARE(w.isVisible(), !tray);
        QCOMPARE(bool(w.windowState() & Qt::WindowMinimized), !tray);
    }
    h.open().start({});
    QVERIFY(h.window->isVisible() && h.window->proxy().wsListener().State() == 0);
    QCOMPARE(h.txtPort()->text(), u"1080"_s);
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
