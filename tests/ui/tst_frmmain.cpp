// The window with a gateway double and scripted dialogs: the listener switch and its lines, the
// allow-list's edits and file problems, the tray icon and its menu, the start, the log and its
// bound, the "Users" dialog and the guard's option (kept in the settings file).

#include "acl/guard.h"
#include "acl/users.h"
#include "fakes.h"
#include "ui/desktop.h"
#include "ui/menus.h"
#include "ui/statusview.h"
#include "ui/usersdialog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QListView>
#include <QListWidget>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

class tst_frmMain final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenerSwitch();
    void allowListEdits();
    void fileProblems_data();
    void fileProblems();
    void trayIconAndStart();
    void statusLog();
    void statusLogBound();
    void usersAndGuard();
};

void tst_frmMain::listenerSwitch()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    auto *txtPort = h.find<QLineEdit>(u"txtPort"_s);
    txtPort->clear();
    QTest::keyClicks(txtPort, u"a-12 .5"_s); // only digits, the full stop and editing keys
    for (const Qt::Key key : { Qt::Key_Home, Qt::Key_Delete, Qt::Key_End, Qt::Key_Backspace })
        QTest::keyClick(txtPort, key);
    QCOMPARE(txtPort->text(), u"2."_s);
    QTcpServer holder; // a port in use: an error line, the switch does not turn, no mapping
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    h.setPort(holder.serverPort());
    h.click(u"cmdListen"_s);
    QVERIFY(w.statusLog().line(0).startsWith(u"Listener Error: "));
    const quint16 port = h.listen();
    // The gateway answers later, on its own thread: its line always follows the listener's.
    QTRY_COMPARE(h.switchLines(),
        QStringList({ u"Listener Listening"_s, u"UPnP Enabled on %1."_s.arg(port) }));
    h.script->answers = QStringList { u"127.0.0.0/30"_s }; // the relay asks the list shown
    h.click(u"cmdAdd"_s);
    QTcpSocket friendly;
    friendly.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(w.proxy().wsProxy(0).State(), net::sckConnected);

    // The tray menu's switch is the button. Stop removes the mapping made, whatever the box says.
    QAction &toggle = w.trayMenu().listenAction();
    txtPort->setText(u"1"_s);
    toggle.trigger();
    QCOMPARE(w.proxy().wsListener().State(), net::sckClosed);
    QTRY_COMPARE(h.switchLines().mid(2),
        QStringList({ u"Listener Stopped Listening"_s, u"UPnP Disabled on %1."_s.arg(port) }));
}

void tst_frmMain::allowListEdits()
{
    fakes::Window h;
    // An empty entry, a byte beyond 7-bit text and a twin survive every save unchanged.
    const QByteArray original = "10.0.0.1\r\n\r\nbr\374cke\r\n";
    QFile file(h.dir.filePath(u"IPs.txt"_s));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(original) && file.flush());
    h.open();
    // Kept as typed, twins too; a cancelled prompt or a refused answer changes nothing. Remove:
    // nothing selected, answered No, Yes, then nothing selected after a removal.
    h.script->answers = QStringList { u" 10.0.0.5"_s, {}, u"::1/129"_s, u"10.0.0.1"_s, {}, u"y"_s };
    for (int i = 0; i < 4; ++i)
        h.click(u"cmdAdd"_s);
    QCOMPARE(h.file(), original + " 10.0.0.5\r\n10.0.0.1\r\n");
    h.click(u"cmdRemove"_s);
    auto *list = h.find<QListView>(u"lstAllowed"_s);
    list->setCurrentIndex(list->model()->index(4, 0));
    for (int i = 0; i < 3; ++i)
        h.click(u"cmdRemove"_s);
    QCOMPARE(h.file(), original + " 10.0.0.5\r\n");
    const QString question =
        u"question|Are you sure you want to remove 10.0.0.1 from the allowed IPs?"_s;
    QCOMPARE(h.script->shown,
        QStringList({ u"prompt"_s, u"prompt"_s, u"prompt"_s, u"critical|Invalid IP Address"_s,
            u"prompt"_s, u"beep"_s, question, question, u"beep"_s }));
}

void tst_frmMain::fileProblems_data()
{
    // The folder of IPs.txt, in a directory holding a file "file" and IPs.txt linked to itself.
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QString>("shown"); // the dialogs, the first letter of each
    // A link to itself exists, but no read can succeed (even for root, unlike a mode 000
    // file): reported, then neither an edit nor closing replaces it.
    QTest::newRow("unreadable") << u"."_s << "(unreadable)"_ba << u"cp"_s;
    // The configuration folder is made at the first save; one that cannot be made fails that
    // save and the one at close, and the edit stands.
    QTest::newRow("folder made") << u"new/sub"_s << "10.0.0.5\r\n"_ba << u"p"_s;
    QTest::newRow("folder impossible") << u"file/sub"_s << "(unreadable)"_ba << u"pcc"_s;
}

void tst_frmMain::fileProblems()
{
    QFETCH(QString, folder);
    fakes::Window h;
    QFile(h.dir.filePath(u"file"_s)).open(QIODevice::WriteOnly);
    QVERIFY(QFile::link(u"IPs.txt"_s, h.dir.filePath(u"IPs.txt"_s)));
    h.appDir = h.dir.filePath(folder);
    h.open();
    h.script->answers = QStringList { u"10.0.0.5"_s };
    h.click(u"cmdAdd"_s);
    QVERIFY(h.window->close());
    QTEST(h.file(), "saved");
    QString shown;
    for (const QString &dialog : std::as_const(h.script->shown)) {
        shown += dialog.at(0);
        QVERIFY2(
            dialog.size() == 6 || dialog.contains(u"IPs.txt"), qPrintable(dialog)); // which file
    }
    QTEST(shown, "shown");
    QCOMPARE(h.window->allowedEntries(), QStringList { u"10.0.0.5"_s });
}

void tst_frmMain::trayIconAndStart()
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    fakes::Window h;
    ui::frmMain &w = h.open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    h.click(u"cmdStatus"_s);
    const int height = w.height();
    w.setWindowState(Qt::WindowMinimized); // hidden behind the icon, and comes back as it was
    QVERIFY(w.isHidden() && w.trayIcon().isVisible() && !(w.windowState() & Qt::WindowMinimized));
    Q_EMIT w.trayIcon().activated(QSystemTrayIcon::Trigger);
    QVERIFY(w.isVisible() && !w.trayIcon().isVisible());
    QCOMPARE(w.height(), height);
    h.trayAvailable = false; // never hidden with nothing to bring it back
    w.setWindowState(Qt::WindowMinimized);
    QVERIFY(w.isVisible() && !w.trayIcon().isVisible());

    // "Start at Login" writes the entry that starts this program listening behind the icon,
    // and removes it; its check mark follows the file, whoever wrote it.
    QAction *login = w.trayMenu().actions().at(3);
    const QString entry =
        config.filePath(u"autostart/"_s + QString::fromUtf16(ui::AppId) + u".desktop"_s);
    login->trigger();
    QVERIFY(
        fakes::readFile(entry).contains("\nExec=\"/opt/x y/socks4proxy\" --listen --minimized\n"));
    QVERIFY(login->isChecked());
    QVERIFY(QFile::remove(entry));
    Q_EMIT w.trayMenu().aboutToShow();
    QVERIFY(!login->isChecked());
    login->trigger();
    login->trigger();
    QVERIFY(!QFile::exists(entry) && !login->isChecked());
    w.hide();
    w.trayMenu().showAction().trigger();
    QVERIFY(w.isVisible());
    QSignalSpy closing(&w, &ui::frmMain::closing);
    w.trayMenu().quitAction().trigger(); // closed as the window closes: the list saved
    QVERIFY(closing.size() == 1 && h.file() == "" && !w.isVisible());

    // --port, --listen and --minimized: hidden behind the icon, or minimised without one.
    for (const bool tray : { true, false }) {
        h.trayAvailable = tray;
        ui::frmMain &started = h.open();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        started.start({ port, true, true });
        QCOMPARE(started.proxy().wsListener().LocalPort(), port);
        QCOMPARE(started.trayIcon().isVisible(), tray);
        QCOMPARE(started.isVisible(), !tray);
        QCOMPARE(bool(started.windowState() & Qt::WindowMinimized), !tray);
    }
    h.open().start({});
    QVERIFY(h.window->isVisible() && h.window->proxy().wsListener().State() == net::sckClosed);
}

void tst_frmMain::statusLog()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    h.click(u"cmdStatus"_s);
    auto *view = h.find<ui::StatusView>(u"lstStatus"_s);
    const QString wide = u"Proxy [0] Request from a\nb\x1b[31m to a.very.long.name.example:1862"_s;
    QByteArray saved = wide.toUtf8() + '\n';
    w.AppendStatus(wide);
    for (int i = 1; i < 1000; ++i) {
        w.AppendStatus(QString::number(i));
        saved += QByteArray::number(i) + '\n';
    }
    QTRY_COMPARE(view->model()->rowCount(), 1000);
    QScrollBar *down = view->verticalScrollBar(), *across = view->horizontalScrollBar();
    QVERIFY(across->maximum() >= view->fontMetrics().horizontalAdvance(wide) - view->width());
    down->setValue(500);
    const int row = view->rowHeight();
    QCOMPARE(view->indexAt(QPoint(5, 1)).data(Qt::ToolTipRole).toString(), u"500"_s);
    w.AppendStatus(wide); // appending neither scrolls nor selects
    QTRY_COMPARE(view->model()->rowCount(), 1001);
    QVERIFY(down->value() == 500 && across->value() == 0 && !view->currentIndex().isValid());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(10, 2 * row + 2));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(10, 1));
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), u"500\n501\n502\n"_s);

    // "Save Log…" writes the lines as they are; the mirror escapes what would break a line or
    // drive a terminal.
    const QString file = h.dir.filePath(u"log.txt"_s);
    h.script->answers = QStringList { file, h.dir.filePath(u"no/log.txt"_s) };
    view->saveAction()->trigger();
    view->saveAction()->trigger();
    QCOMPARE(fakes::readFile(file), saved + wide.toUtf8() + '\n');
    QVERIFY(h.script->shown.last().contains(u"no/log.txt"));
    const QByteArray escaped =
        "Proxy [0] Request from a\\x0ab\\x1b[31m to a.very.long.name.example:1862\n";
    QTRY_COMPARE(
        h.mirror, QByteArray(saved + wide.toUtf8() + '\n').replace(wide.toUtf8() + '\n', escaped));
}

void tst_frmMain::statusLogBound()
{
    // The window keeps the most recent lines and says once that older ones go; the mirror still
    // gets every line, and saving writes what the window holds.
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
    QCOMPARE(log.data(log.index(0)).toString().toUtf8() + '\n', kept.first(kept.indexOf('\n') + 1));
    QTRY_COMPARE(mirror.size(), all.size());
    QVERIFY(mirror == all);
    QTemporaryDir dir;
    QVERIFY(log.save(dir.filePath(u"log.txt"_s)).isEmpty());
    QVERIFY(fakes::readFile(dir.filePath(u"log.txt"_s)) == kept);
}

void tst_frmMain::usersAndGuard()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QCOMPARE(w.contextMenuPolicy(), Qt::ActionsContextMenu); // the window's right-click menu
    QVERIFY(w.actions().contains(&w.usersAction()));
    w.usersAction().trigger();
    auto *dialog = w.findChild<ui::UsersDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    w.trayMenu().usersAction().trigger(); // the same one, brought forward
    QCOMPARE(w.findChildren<ui::UsersDialog *>().size(), 1);
    const auto click = [dialog](const char *b) {
        dialog->findChild<QPushButton *>(QLatin1StringView(b))->click();
    };
    auto *list = dialog->findChild<QListWidget *>(u"lstUsers"_s);

    // Add: name, password twice. A cancel, a mismatch and a name too long change nothing.
    h.script->answers = QStringList { u"zoë"_s, u"pw1"_s, u"pw1"_s, u"bob"_s, u"a"_s, u"b"_s,
        u"bob"_s, {}, u"x"_s.repeated(256), {} };
    for (int i = 0; i < 5; ++i)
        click("cmdAddUser");
    QCOMPARE(h.script->shown.filter(u"critical"_s),
        QStringList({ u"critical|The passwords differ."_s,
            u"critical|A name is at most 255 bytes long."_s }));
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), u"zoë"_s);
    QVERIFY(fakes::readFile(w.users().filePath()).contains("zo%C3%AB:$argon2id$"));

    // Change and remove need a selection (a beep otherwise); removal asks first.
    h.script->shown.clear();
    h.script->answers = QStringList { {}, u"y"_s };
    click("cmdChangePassword");
    list->setCurrentRow(0);
    click("cmdRemoveUser"); // answered No
    QCOMPARE(list->count(), 1);
    h.script->answers = QStringList { u"pw2"_s, u"pw2"_s, u"y"_s };
    click("cmdChangePassword");
    QVERIFY(acl::verifyPassword(*w.users().hashOf(u"zoë"_s.toUtf8()), "pw2"));
    list->setCurrentRow(0);
    click("cmdRemoveUser");
    QCOMPARE(h.script->shown,
        QStringList(
            { u"beep"_s, u"question|Are you sure you want to remove the user zoë?"_s, u"prompt"_s,
                u"prompt"_s, u"question|Are you sure you want to remove the user zoë?"_s }));
    QCOMPARE(list->count(), 0);
    QVERIFY(w.users().isEmpty());

    // The guard's option (in the same menu), off by default, kept for the next run.
    QVERIFY(w.actions().contains(&w.reachLocalServicesAction()));
    const QHostAddress away(u"203.0.113.7"_s);
    QVERIFY(!w.guard().allows(away, QHostAddress::LocalHost, 22, 1080));
    w.reachLocalServicesAction().trigger();
    QVERIFY(w.guard().allows(away, QHostAddress::LocalHost, 22, 1080));
    h.open(); // kept for the next run
    QVERIFY(h.window->reachLocalServicesAction().isChecked());
    QVERIFY(h.window->guard().allows(away, QHostAddress::LocalHost, 22, 1080));
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
