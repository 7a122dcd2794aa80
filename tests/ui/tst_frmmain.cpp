#include "fakes.h"
#include "relay/relay.h"
#include "ui/statusview.h"

#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpSocket>

using namespace Qt::StringLiterals;
using fakes::freePort;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

/// Whether a control's caption shows whole: a button draws a frame around it, a label does not.
bool captionFits(const QWidget *control)
{
    const QFontMetrics metrics = control->fontMetrics();
    const int frame = qobject_cast<const QPushButton *>(control) ? 6 : 0;
    const int width = metrics.horizontalAdvance(control->property("text").toString()) + frame;
    return width <= control->width() && metrics.height() <= control->height();
}

} // namespace

class tst_frmMain final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensCollapsedWithTheDesignedControls();
    void keyFilter_data();
    void keyFilter();
    void statusSwitch();

    void listenAdmitStopAndClose();
    void listenerErrorLeavesEverythingClosed_data();
    void listenerErrorLeavesEverythingClosed();

    void addEntry_data();
    void addEntry();
    void removeEntry();
    void allowListSurvivesRestartByteForByte();
    void fileProblemsAreReported();

    void minimise_data();
    void minimise();
};

void tst_frmMain::opensCollapsedWithTheDesignedControls()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QCOMPARE(w.windowTitle(), u"Socks4 Proxy Server"_s);
    QCOMPARE(w.size(), QSize(250, 113));
    QCOMPARE(w.minimumSize(), w.maximumSize()); // fixed frame
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);

    QCOMPARE(h.txtPort()->text(), u"1080"_s);
    QCOMPARE(h.txtPort()->maxLength(), 5);
    QVERIFY(h.txtPort()->fontMetrics().height() + 2 <= h.txtPort()->height());
    QVERIFY(h.txtPort()->fontMetrics().horizontalAdvance(u"65535"_s) + 6 <= h.txtPort()->width());
    const QList<QPair<QString, QString>> captions { { u"lblPort"_s, u"Port:"_s },
        { u"cmdListen"_s, u"Listen"_s }, { u"cmdAdd"_s, u"Add"_s }, { u"cmdRemove"_s, u"Remove"_s },
        { u"cmdStatus"_s, u"Show Status"_s } };
    for (const auto &[name, caption] : captions) {
        QCOMPARE(h.find<QWidget>(name)->property("text").toString(), caption);
        QVERIFY2(captionFits(h.find<QWidget>(name)), qPrintable(caption));
    }
    h.find(u"cmdListen"_s)->setText(u"Stop Listening"_s); // the longer of its two captions
    QVERIFY(captionFits(h.find(u"cmdListen"_s)));
    auto *lstStatus = h.find<ui::StatusView>(u"lstStatus"_s);
    QCOMPARE(lstStatus->model(), &w.statusLog());
    // Collapsed, the client area ends just below cmdStatus: only a sliver of the log shows.
    QCOMPARE(h.find(u"cmdStatus"_s)->geometry().bottom() + 1, 113);
    QCOMPARE(lstStatus->geometry(), QRect(0, 112, 249, 147));

    auto *imgIcon = h.find<QLabel>(u"imgIcon"_s);
    QVERIFY(imgIcon->isHidden());
    QCOMPARE(imgIcon->pixmap().size(), QSize(16, 16));
    for (const int size : { 16, 32, 48 })
        QVERIFY(w.windowIcon().availableSizes().contains(QSize(size, size)));
    QCOMPARE(w.trayIcon().toolTip(), u"Quillgate"_s);
    QVERIFY(!w.trayIcon().icon().isNull());
    QVERIFY(!w.trayIcon().isVisible());

    // Tab order as designed (the label takes no focus).
    QStringList order;
    QWidget *next = h.find(u"cmdListen"_s);
    do {
        if (next->focusPolicy() & Qt::TabFocus && next->parentWidget() == &w)
            order.append(next->objectName());
        next = next->nextInFocusChain();
    } while (next != h.find(u"cmdListen"_s));
    QCOMPARE(order,
        QStringList({ u"cmdListen"_s, u"txtPort"_s, u"lstAllowed"_s, u"cmdAdd"_s, u"cmdRemove"_s,
            u"lstStatus"_s, u"cmdStatus"_s }));
}

void tst_frmMain::keyFilter_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QList<int>>("keys"); // Qt key codes, typed one after another
    QTest::addColumn<QString>("after");
    const auto row = [](const char *name, const QString &before, const QList<int> &keys,
                         const QString &after) { QTest::newRow(name) << before << keys << after; };
    const auto typed = [](QStringView text) {
        QList<int> codes;
        for (const QChar c : text)
            codes.append(c.toUpper().unicode());
        return codes;
    };
    row("digits", {}, typed(u"8080"), u"8080"_s);
    row("full stop", {}, typed(u"10.5"), u"10.5"_s);
    row("letters swallowed", {}, typed(u"1a2b"), u"12"_s);
    row("minus swallowed", {}, typed(u"-1"), u"1"_s);
    row("blank swallowed", {}, typed(u"1 2"), u"12"_s);
    row("five characters at most", {}, typed(u"123456"), u"12345"_s);
    row("backspace", u"1080"_s, { Qt::Key_End, Qt::Key_Backspace }, u"108"_s);
    row("return swallowed", u"1080"_s, { Qt::Key_Return }, u"1080"_s);
    row("escape swallowed", u"1080"_s, { Qt::Key_Escape }, u"1080"_s);
    row("editing keys still work", u"1080"_s,
        { Qt::Key_Home, Qt::Key_Delete, Qt::Key_End, Qt::Key_Left, Qt::Key_Backspace }, u"00"_s);
}

void tst_frmMain::keyFilter()
{
    QFETCH(QString, before);
    QFETCH(QList<int>, keys);
    QFETCH(QString, after);

    fakes::Window h;
    h.open();
    QLineEdit *txtPort = h.txtPort();
    txtPort->setText(before);
    for (const int key : keys) {
        if (key >= 0x20 && key < 0x7f)
            QTest::keyClick(txtPort, QChar(key).toLower().toLatin1());
        else
            QTest::keyClick(txtPort, static_cast<Qt::Key>(key));
    }
    QCOMPARE(txtPort->text(), after);
}

void tst_frmMain::statusSwitch()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    QPushButton *cmdStatus = h.find(u"cmdStatus"_s);

    h.click(u"cmdStatus"_s);
    QCOMPARE(w.size(), QSize(250, 262));
    QCOMPARE(cmdStatus->text(), u"Hide Status"_s);
    QVERIFY(h.find<ui::StatusView>(u"lstStatus"_s)->geometry().bottom() < w.height());

    h.click(u"cmdStatus"_s);
    QCOMPARE(w.size(), QSize(250, 113));
    QCOMPARE(cmdStatus->text(), u"Show Status"_s);

    // From any height but the collapsed one, the switch expands.
    w.setFixedHeight(200);
    h.click(u"cmdStatus"_s);
    QCOMPARE(w.height(), 262);
    QCOMPARE(cmdStatus->text(), u"Hide Status"_s);
}

void tst_frmMain::listenAdmitStopAndClose()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    const quint16 port = freePort();
    const QString add = u"add %1"_s.arg(port), remove = u"remove %1"_s.arg(port);
    const QString enabled = u"UPnP Enabled on %1."_s.arg(port);
    h.setPort(port);

    h.click(u"cmdListen"_s);
    QCOMPARE(h.find(u"cmdListen"_s)->text(), u"Stop Listening"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckListening);
    // The gateway answers later, on its own thread: its line always follows the listener's.
    QTRY_COMPARE(h.switchLines(), QStringList({ u"Listener Listening"_s, enabled }));
    QCOMPARE(h.calls->get(), QStringList { add });
    QTRY_VERIFY(h.mirror.contains("Listener Listening\n" + enabled.toUtf8() + '\n'));

    // Not on the allow-list: accepted, closed at once, and no slot is taken.
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
    QTRY_COMPARE(h.switchLines(),
        QStringList({ u"Listener Listening"_s, enabled, u"Listener Stopped Listening"_s,
            u"UPnP Disabled on %1."_s.arg(port) }));
    QCOMPARE(h.calls->get(), QStringList({ add, remove }));
    QTcpSocket refused;
    QSignalSpy failed(&refused, &QTcpSocket::errorOccurred);
    refused.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(failed.wait());
    QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);

    // Closing while a mapping is held waits for its removal; no event loop turn is needed.
    h.setPort(port);
    h.click(u"cmdListen"_s);
    QTRY_COMPARE(h.calls->get(), QStringList({ add, remove, add }));
    QVERIFY(w.close());
    QCOMPARE(h.calls->get(), QStringList({ add, remove, add, remove }));
}

void tst_frmMain::listenerErrorLeavesEverythingClosed_data()
{
    QTest::addColumn<QString>("text"); // "busy": a port another socket holds
    QTest::newRow("empty") << QString();
    QTest::newRow("not a number") << u"ab-1"_s;
    QTest::newRow("out of range") << u"65536"_s;
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
    ui::frmMain &w = h.open();
    // Pasted, as the key filter would not let most of these be typed; a paste is not filtered.
    QGuiApplication::clipboard()->setText(text);
    h.txtPort()->clear();
    h.txtPort()->paste();
    QCOMPARE(h.txtPort()->text(), text);

    h.click(u"cmdListen"_s);
    QCOMPARE(w.statusLog().lines().size(), 1);
    const QString line = w.statusLog().lines().at(0);
    QVERIFY2(
        line.startsWith(u"Listener Error: ") && line.size() > 16, qPrintable(line)); // says why
    QCOMPARE(h.find(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckClosed);

    // The switch did not think it was listening, and nothing went to the gateway: calls run in
    // order, so the next Listen's add is the first.
    const quint16 port = freePort();
    h.setPort(port);
    h.click(u"cmdListen"_s);
    QTRY_COMPARE(h.switchLines(),
        QStringList({ line, u"Listener Listening"_s, u"UPnP Enabled on %1."_s.arg(port) }));
    QCOMPARE(h.calls->get(), QStringList { u"add %1"_s.arg(port) });
}

void tst_frmMain::addEntry_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("errorBoxes");
    const auto row = [](const char *name, const QStringList &answers, const QStringList &entries,
                         int errorBoxes) {
        QTest::newRow(name) << answers << entries << errorBoxes;
    };
    row("valid", { u"10.0.0.5"_s }, { u"10.0.0.5"_s }, 0);
    row("kept as typed", { u" 10.0.0.5"_s }, { u" 10.0.0.5"_s }, 0);
    row("duplicate", { u"10.0.0.5"_s, u"10.0.0.5"_s }, { u"10.0.0.5"_s, u"10.0.0.5"_s }, 0);
    row("cancelled", { QString() }, {}, 0);
    row("three parts", { u"10.0.0"_s }, {}, 1);
    row("above 255", { u"10.0.0.256"_s }, {}, 1);
    row("not numeric", { u"10.0.0.x"_s }, {}, 1);
    row("error then valid", { u"10..0.5"_s, u"192.168.1.2"_s }, { u"192.168.1.2"_s }, 1);
}

void tst_frmMain::addEntry()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, entries);
    QFETCH(int, errorBoxes);

    fakes::Window h;
    h.open();
    h.script->answers = answers;
    for (qsizetype i = 0; i < answers.size(); ++i)
        h.click(u"cmdAdd"_s);

    QCOMPARE(h.window->allowedEntries(), entries);
    QCOMPARE(h.script->prompts.size(), answers.size());
    QCOMPARE(h.script->prompts.at(0),
        qMakePair(u"New Allowed IP"_s, u"Please enter an IP address to allow requests from:"_s));
    QCOMPARE(h.script->criticals.size(), errorBoxes);
    for (const auto &box : std::as_const(h.script->criticals))
        QCOMPARE(box, qMakePair(u"Invalid IP"_s, u"Invalid IP Address"_s));
}

void tst_frmMain::removeEntry()
{
    fakes::Window h;
    QVERIFY(writeAll(h.filePath(), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.1\r\n"));
    h.open();

    h.click(u"cmdRemove"_s);
    QCOMPARE(h.script->beeps, 1);
    QVERIFY(h.script->questions.isEmpty());

    h.find<QListWidget>(u"lstAllowed"_s)->setCurrentRow(2);
    h.click(u"cmdRemove"_s);
    QCOMPARE(h.script->questions,
        QList({ qMakePair(u"Remove IP?"_s,
            u"Are you sure you want to remove 10.0.0.1 from the allowed IPs?"_s) }));
    QCOMPARE(h.window->allowedEntries().size(), 3);

    h.script->yes = true;
    h.click(u"cmdRemove"_s);
    QCOMPARE(
        h.window->allowedEntries(), QStringList({ u"10.0.0.1"_s, u"10.0.0.2"_s })); // twin stays

    // Nothing is selected after a removal: pressing again only beeps.
    h.click(u"cmdRemove"_s);
    QCOMPARE(h.script->beeps, 2);
    QCOMPARE(h.script->questions.size(), 2);
}

void tst_frmMain::allowListSurvivesRestartByteForByte()
{
    fakes::Window h;
    // An empty entry, a blank-led entry, a byte beyond 7-bit text and a duplicate.
    const QByteArray original = "10.0.0.5\r\n\r\n 10.0.0.6\r\nbr\374cke\r\n10.0.0.5\r\n";
    QVERIFY(writeAll(h.filePath(), original));
    h.open();
    QCOMPARE(h.window->allowedEntries(),
        QStringList({ u"10.0.0.5"_s, QString(), u" 10.0.0.6"_s, QString::fromLatin1("br\374cke"),
            u"10.0.0.5"_s }));
    QVERIFY(h.window->close());
    QCOMPARE(readAll(h.filePath()), original);
    QVERIFY(h.script->criticals.isEmpty());

    // Edited in a second run, the edit is there in a third.
    h.open();
    h.script->answers = QStringList { u"192.168.0.9"_s };
    h.click(u"cmdAdd"_s);
    QVERIFY(h.window->close());
    QCOMPARE(readAll(h.filePath()), original + "192.168.0.9\r\n");
    h.open();
    QCOMPARE(h.window->allowedEntries().last(), u"192.168.0.9"_s);
}

void tst_frmMain::fileProblemsAreReported()
{
    fakes::Window h;
    // A link to itself: it exists, but no read can succeed (even for root, unlike a mode 000 file).
    QVERIFY(QFile::link(u"IPs.txt"_s, h.filePath()));
    h.open();
    QCOMPARE(h.script->criticals.size(), 1);
    QVERIFY(h.script->criticals.at(0).second.contains(u"IPs.txt"));

    h.script->answers = QStringList { u"10.0.0.5"_s };
    h.click(u"cmdAdd"_s);
    QVERIFY(h.window->close());
    QCOMPARE(h.script->criticals.size(), 1); // no save was tried
    QCOMPARE(QFileInfo(h.filePath()).symLinkTarget(), h.filePath()); // left as it was

    fakes::Window g;
    g.appDir = g.dir.filePath(u"gone"_s); // a directory that is not there: nothing can be saved
    g.open();
    QVERIFY(g.script->criticals.isEmpty()); // a missing file is simply an empty list
    QVERIFY(g.window->close());
    QCOMPARE(g.script->criticals.size(), 1);
    QVERIFY(g.script->criticals.at(0).second.contains(u"IPs.txt"));
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
    if (!tray) { // never hidden with nothing to bring it back
        QVERIFY(w.isVisible());
        QVERIFY(w.windowState() & Qt::WindowMinimized);
        return;
    }
    QVERIFY(w.isHidden());
    QVERIFY(!(w.windowState() & Qt::WindowMinimized)); // comes back restored

    // A right click opens no window.
    Q_EMIT w.trayIcon().activated(QSystemTrayIcon::Context);
    QVERIFY(w.isHidden());

    Q_EMIT w.trayIcon().activated(static_cast<QSystemTrayIcon::ActivationReason>(activation));
    QVERIFY(w.isVisible());
    QVERIFY(!w.trayIcon().isVisible());
    QCOMPARE(w.height(), height);
    QCOMPARE(w.windowState() & Qt::WindowMinimized, Qt::WindowNoState);

    // Restoring or resizing without minimising shows no icon.
    h.click(u"cmdStatus"_s);
    w.setWindowState(Qt::WindowNoState);
    QVERIFY(!w.trayIcon().isVisible());
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
