#include "fakes.h"
#include "relay/relay.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

class tst_frmMain final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensCollapsedWithEveryCaptionWhole();
    void keyFilter_data();
    void keyFilter();
    void statusSwitch();
    void listenAdmitStopAndClose();
    void listenerErrorLeavesEverythingClosed_data();
    void listenerErrorLeavesEverythingClosed();
    void editsReachTheFileAtOnce();
    void allowListSurvivesRestartByteForByte();
    void fileProblemsAreReported();
    void minimise_data();
    void minimise();
};

void tst_frmMain::opensCollapsedWithEveryCaptionWhole()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QCOMPARE(w.windowTitle(), u"Socks4 Proxy Server"_s);
    QCOMPARE(h.find(u"cmdStatus"_s)->geometry().bottom() + 1, w.height()); // the log out of sight
    QCOMPARE(w.trayIcon().toolTip(), u"Quillgate"_s);
    QVERIFY(!w.trayIcon().icon().isNull() && !w.trayIcon().isVisible());
    // The longest text each control must show; a button or a text box draws a frame around it.
    h.find(u"cmdListen"_s)->setText(u"Stop Listening"_s);
    h.setPort(65535);
    for (const QString &name : { u"lblPort"_s, u"txtPort"_s, u"cmdListen"_s, u"cmdAdd"_s,
             u"cmdRemove"_s, u"cmdStatus"_s }) {
        const QWidget *control = h.find<QWidget>(name);
        const int frame = qobject_cast<const QLabel *>(control) ? 0 : 6;
        const QFontMetrics metrics = control->fontMetrics();
        QVERIFY2(metrics.horizontalAdvance(control->property("text").toString()) + frame
                    <= control->width()
                && metrics.height() <= control->height(),
            qPrintable(name));
    }
}

void tst_frmMain::keyFilter_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QList<int>>("keys"); // printable characters as themselves, or Qt::Key codes
    QTest::addColumn<QString>("after");
    const auto typed = [](QStringView text) {
        QList<int> codes;
        for (const QChar c : text)
            codes.append(c.unicode());
        return codes;
    };
    QTest::newRow("digits, full stop") << QString() << typed(u"10.5") << u"10.5"_s;
    QTest::newRow("letter, minus, blank") << QString() << typed(u"1a-2 ") << u"12"_s;
    QTest::newRow("backspace") << u"1080"_s << QList<int> { Qt::Key_End, Qt::Key_Backspace }
                               << u"108"_s;
    QTest::newRow("return, escape")
        << u"1080"_s << QList<int> { Qt::Key_Return, Qt::Key_Escape } << u"1080"_s;
    QTest::newRow("editing keys") << u"1080"_s
                                  << QList<int> { Qt::Key_Home, Qt::Key_Delete, Qt::Key_End,
                                         Qt::Key_Left, Qt::Key_Backspace }
                                  << u"00"_s;
}

void tst_frmMain::keyFilter()
{
    QFETCH(QString, before);
    QFETCH(QList<int>, keys);
    fakes::Window h;
    h.open();
    h.txtPort()->setText(before);
    for (const int key : keys) {
        if (key < 0x7f)
            QTest::keyClick(h.txtPort(), char(key));
        else
            QTest::keyClick(h.txtPort(), static_cast<Qt::Key>(key));
    }
    QTEST(h.txtPort()->text(), "after");
}

void tst_frmMain::statusSwitch()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    const int collapsed = w.height();
    for (const QString &caption : { u"Hide Status"_s, u"Show Status"_s }) {
        h.click(u"cmdStatus"_s);
        QCOMPARE(h.find(u"cmdStatus"_s)->text(), caption);
    }
    QCOMPARE(w.height(), collapsed);
    w.setFixedHeight(collapsed + 10); // from any height but the expanded one, it expands
    h.click(u"cmdStatus"_s);
    QCOMPARE(h.find(u"cmdStatus"_s)->text(), u"Hide Status"_s);
    QVERIFY(h.find<QWidget>(u"lstStatus"_s)->geometry().bottom() < w.height()); // all of it shows
}

void tst_frmMain::listenAdmitStopAndClose()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    const quint16 port = h.listen();
    const QString add = u"add %1"_s.arg(port), remove = u"remove %1"_s.arg(port);
    const QString enabled = u"UPnP Enabled on %1."_s.arg(port);
    QCOMPARE(h.find(u"cmdListen"_s)->text(), u"Stop Listening"_s);
    // The gateway answers later, on its own thread: its line always follows the listener's.
    QTRY_COMPARE(h.switchLines(), QStringList({ u"Listener Listening"_s, enabled }));
    QCOMPARE(h.calls->get(), QStringList { add });
    QTRY_VERIFY(h.mirror.contains("Listener Listening\n" + enabled.toUtf8() + '\n'));

    // Not on the allow-list: closed at once, and no slot is taken.
    QTcpSocket stranger;
    QSignalSpy strangerGone(&stranger, &QTcpSocket::disconnected);
    stranger.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(strangerGone.wait());
    QCOMPARE(w.proxy().wsProxy(0).State(), net::Endpoint::sckClosed);
    // Added in the window, it takes effect for the next request.
    h.script->answers = QStringList { u"127.0.0.1"_s };
    h.click(u"cmdAdd"_s);
    QTcpSocket friendly;
    friendly.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(w.proxy().wsProxy(0).State(), net::Endpoint::sckConnected);

    h.txtPort()->setText(u"1"_s); // Stop removes the mapping that was made, whatever the box says
    h.click(u"cmdListen"_s);
    QCOMPARE(h.find(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckClosed);
    QTRY_COMPARE(h.switchLines().mid(2),
        QStringList({ u"Listener Stopped Listening"_s, u"UPnP Disabled on %1."_s.arg(port) }));
    QCOMPARE(h.calls->get(), QStringList({ add, remove }));

    // Closing while a mapping is held waits for its removal; no event-loop turn is needed.
    const quint16 again = h.listen();
    QTRY_COMPARE(h.calls->get().size(), 3);
    QVERIFY(w.close());
    QCOMPARE(
        h.calls->get().mid(2), QStringList({ u"add %1"_s.arg(again), u"remove %1"_s.arg(again) }));
}

void tst_frmMain::listenerErrorLeavesEverythingClosed_data()
{
    QTest::addColumn<QString>("text"); // "busy": a port another socket holds
    QTest::newRow("not a number") << u"ab-1"_s;
    QTest::newRow("busy") << u"busy"_s;
}

void tst_frmMain::listenerErrorLeavesEverythingClosed()
{
    QFETCH(QString, text);
    QTcpServer holder;
    if (text == u"busy") {
        QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
        text = QString::number(holder.serverPort());
    }
    fakes::Window h;
    h.open();
    // Pasted: the key filter would not let it be typed, and a paste is not filtered.
    QGuiApplication::clipboard()->setText(text);
    h.txtPort()->clear();
    h.txtPort()->paste();
    h.click(u"cmdListen"_s);
    QCOMPARE(h.lines().size(), 1);
    QVERIFY2(h.lines().at(0).startsWith(u"Listener Error: ") && h.lines().at(0).size() > 16,
        qPrintable(h.lines().at(0))); // says why
    QCOMPARE(h.find(u"cmdListen"_s)->text(), u"Listen"_s);

    // The switch did not think it was listening, and nothing went to the gateway: calls run in
    // order, so the next Listen's add is the first.
    const quint16 port = h.listen();
    QTRY_COMPARE(h.switchLines(),
        QStringList({ u"Listener Listening"_s, u"UPnP Enabled on %1."_s.arg(port) }));
    QCOMPARE(h.calls->get(), QStringList { u"add %1"_s.arg(port) });
}

void tst_frmMain::editsReachTheFileAtOnce()
{
    fakes::Window h;
    QVERIFY(fakes::writeFile(h.filePath(), "10.0.0.1\r\n"));
    h.open();
    // Kept as typed, twins too; a cancelled prompt or a refused answer changes nothing.
    h.script->answers = QStringList { u" 10.0.0.5"_s, {}, u"10.0.0.256"_s, u"10.0.0.1"_s };
    for (int i = 0; i < 4; ++i)
        h.click(u"cmdAdd"_s);
    QCOMPARE(h.file(), "10.0.0.1\r\n 10.0.0.5\r\n10.0.0.1\r\n");
    h.click(u"cmdRemove"_s); // nothing selected
    h.find<QListWidget>(u"lstAllowed"_s)->setCurrentRow(2);
    h.click(u"cmdRemove"_s); // answered No
    h.script->yes = true;
    h.click(u"cmdRemove"_s);
    QCOMPARE(h.file(), "10.0.0.1\r\n 10.0.0.5\r\n"); // its twin stays
    h.click(u"cmdRemove"_s); // nothing is selected after a removal
    const QString prompt =
        u"prompt|New Allowed IP|Please enter an IP address to allow requests from:"_s;
    const QString question =
        u"question|Remove IP?|Are you sure you want to remove 10.0.0.1 from the allowed IPs?"_s;
    QCOMPARE(h.script->shown,
        QStringList({ prompt, prompt, prompt, u"critical|Invalid IP|Invalid IP Address"_s, prompt,
            u"beep"_s, question, question, u"beep"_s }));
}

void tst_frmMain::allowListSurvivesRestartByteForByte()
{
    fakes::Window h;
    // An empty entry, a blank-led entry, a byte beyond 7-bit text and a duplicate.
    const QByteArray original = "10.0.0.5\r\n\r\n 10.0.0.6\r\nbr\374cke\r\n10.0.0.5\r\n";
    QVERIFY(fakes::writeFile(h.filePath(), original));
    h.open();
    QCOMPARE(h.window->allowedEntries().at(3), QString::fromLatin1("br\374cke"));
    QVERIFY(h.window->close());
    QCOMPARE(h.file(), original);
    QVERIFY(h.script->shown.isEmpty());
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
    QVERIFY(h.script->shown.at(0).startsWith(u"critical|")
        && h.script->shown.at(0).contains(u"IPs.txt"));
    QCOMPARE(QFileInfo(h.filePath()).symLinkTarget(), h.filePath()); // left as it was

    fakes::Window g;
    g.appDir = g.dir.filePath(u"gone"_s); // a directory that is not there: nothing can be saved
    g.open(); // a missing file is simply an empty list
    g.script->answers = QStringList { u"10.0.0.5"_s };
    g.click(u"cmdAdd"_s);
    QVERIFY(g.window->close());
    QCOMPARE(
        g.script->shown.size(), 3); // the prompt, then a failed save after the edit and at close
    QCOMPARE(g.script->shown.at(1), g.script->shown.at(2));
    QVERIFY(g.script->shown.at(2).startsWith(u"critical|")
        && g.script->shown.at(2).contains(u"IPs.txt"));
    QCOMPARE(g.window->allowedEntries(), QStringList { u"10.0.0.5"_s }); // the edit stands
}

void tst_frmMain::minimise_data()
{
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("expanded");
    QTest::addColumn<int>("activation");
    QTest::newRow("collapsed, click") << true << false << int(QSystemTrayIcon::Trigger);
    QTest::newRow("expanded, double click") << true << true << int(QSystemTrayIcon::DoubleClick);
    QTest::newRow("no notification area") << false << false << 0;
}

void tst_frmMain::minimise()
{
    QFETCH(bool, tray);
    QFETCH(bool, expanded);
    QFETCH(int, activation);
    fakes::Window h;
    h.trayAvailable = tray;
    ui::frmMain &w = h.open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    if (expanded)
        h.click(u"cmdStatus"_s);
    const int height = w.height();

    w.setWindowState(Qt::WindowMinimized);
    QCOMPARE(w.trayIcon().isVisible(), tray);
    QCOMPARE(w.isHidden(), tray); // never hidden with nothing to bring it back
    if (!tray)
        return;
    QVERIFY(!(w.windowState() & Qt::WindowMinimized)); // comes back restored
    Q_EMIT w.trayIcon().activated(QSystemTrayIcon::Context); // a right click opens nothing
    QVERIFY(w.isHidden());
    Q_EMIT w.trayIcon().activated(static_cast<QSystemTrayIcon::ActivationReason>(activation));
    QVERIFY(w.isVisible() && !w.trayIcon().isVisible());
    QCOMPARE(w.height(), height);

    // Restoring or resizing without minimising shows no icon.
    h.click(u"cmdStatus"_s);
    w.setWindowState(Qt::WindowNoState);
    QVERIFY(!w.trayIcon().isVisible());
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
