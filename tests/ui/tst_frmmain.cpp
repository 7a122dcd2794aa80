#include "fakes.h"
#include "relay/relay.h"
#include "ui/frmmain.h"
#include "ui/statuslog.h"
#include "ui/statusview.h"

#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

/// One window with every dependency replaced: IPs.txt in a temporary directory, a recording
/// gateway double, scripted dialogs, a switchable notification area and a captured mirror.
struct Harness
{
    QTemporaryDir dir;
    QString appDir = dir.path();
    std::shared_ptr<fakes::Gateway::Calls> calls = std::make_shared<fakes::Gateway::Calls>();
    std::shared_ptr<fakes::Dialogs::Script> script = std::make_shared<fakes::Dialogs::Script>();
    bool trayAvailable = true;
    QByteArray mirror;
    std::unique_ptr<ui::frmMain> window;

    ui::frmMain &open()
    {
        ui::Environment env;
        env.appDir = appDir;
        env.mapper = std::make_unique<fakes::Gateway>(calls);
        env.dialogs = std::make_unique<fakes::Dialogs>(script);
        env.trayAvailable = [this] { return trayAvailable; };
        env.output = [this](const QByteArray &chunk) { mirror += chunk; };
        window = std::make_unique<ui::frmMain>(std::move(env));
        return *window;
    }
    template<class T> T *find(const QString &name) const
    {
        T *child = window->findChild<T *>(name);
        if (!child)
            qFatal("no control %s", qPrintable(name));
        return child;
    }
    QPushButton *button(const QString &name) const { return find<QPushButton>(name); }
    QLineEdit *txtPort() const { return find<QLineEdit>(u"txtPort"_s); }
    QListWidget *lstAllowed() const { return find<QListWidget>(u"lstAllowed"_s); }
    void click(const QString &name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    /// The listener's and the gateway's lines, in order (the relay may log more in between).
    QStringList switchLines() const
    {
        QStringList lines;
        for (const QString &line : window->statusLog().lines()) {
            if (line.startsWith(u"Listener") || line.startsWith(u"UPnP"))
                lines.append(line);
        }
        return lines;
    }
    QStringList entries() const { return window->allowedEntries(); }
    QString filePath() const { return QDir(appDir).filePath(u"IPs.txt"_s); }
};

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        qFatal("cannot bind a probe port");
    return probe.serverPort();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "(unreadable)";
    return file.readAll();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class tst_frmMain final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensCollapsedWithTheDesignedControls();
    void everyCaptionFitsItsControl();
    void keyFilter_data();
    void keyFilter();
    void pastingIsNotFiltered();
    void statusSwitch();
    void statusSwitchExpandsFromAnyOtherHeight();

    void listenAndStop();
    void listenerErrorLeavesEverythingClosed_data();
    void listenerErrorLeavesEverythingClosed();
    void busyPortIsAListenerError();
    void admissionReadsTheAllowList();
    void closingRemovesTheMappingStillHeld();

    void addEntry_data();
    void addEntry();
    void removeEntry();
    void allowListSurvivesRestartByteForByte();
    void unreadableFileIsReportedAndKept();
    void failedSaveIsReported();

    void minimiseHidesBehindTheIcon_data();
    void minimiseHidesBehindTheIcon();
    void minimiseWithoutNotificationAreaJustMinimises();
};

void tst_frmMain::opensCollapsedWithTheDesignedControls()
{
    Harness h;
    ui::frmMain &w = h.open();
    QCOMPARE(w.windowTitle(), u"Socks4 Proxy Server"_s);
    QCOMPARE(w.size(), QSize(250, 113));
    QCOMPARE(w.minimumSize(), w.maximumSize()); // fixed frame
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);

    QCOMPARE(h.button(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(h.find<QLabel>(u"lblPort"_s)->text(), u"Port:"_s);
    QCOMPARE(h.txtPort()->text(), u"1080"_s);
    QCOMPARE(h.txtPort()->maxLength(), 5);
    QCOMPARE(h.lstAllowed()->count(), 0);
    QCOMPARE(h.button(u"cmdAdd"_s)->text(), u"Add"_s);
    QCOMPARE(h.button(u"cmdRemove"_s)->text(), u"Remove"_s);
    QCOMPARE(h.button(u"cmdStatus"_s)->text(), u"Show Status"_s);
    auto *lstStatus = h.find<ui::StatusView>(u"lstStatus"_s);
    QCOMPARE(lstStatus->model(), &w.statusLog());
    // Collapsed, the client area ends just below cmdStatus: only a sliver of the log shows.
    QCOMPARE(h.button(u"cmdStatus"_s)->geometry().bottom() + 1, 113);
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
    const QStringList expected { u"cmdListen"_s, u"txtPort"_s, u"lstAllowed"_s, u"cmdAdd"_s,
        u"cmdRemove"_s, u"lstStatus"_s, u"cmdStatus"_s };
    QStringList order;
    QWidget *next = h.button(u"cmdListen"_s);
    do {
        if (next->focusPolicy() & Qt::TabFocus && next->parentWidget() == &w)
            order.append(next->objectName());
        next = next->nextInFocusChain();
    } while (next != h.button(u"cmdListen"_s));
    QCOMPARE(order, expected);
}

void tst_frmMain::everyCaptionFitsItsControl()
{
    Harness h;
    ui::frmMain &w = h.open();
    h.button(u"cmdListen"_s)->setText(u"Stop Listening"_s); // the longer of its two captions
    const QList<QWidget *> captioned { h.button(u"cmdListen"_s), h.button(u"cmdAdd"_s),
        h.button(u"cmdRemove"_s), h.button(u"cmdStatus"_s), h.find<QLabel>(u"lblPort"_s) };
    for (QWidget *control : captioned) {
        const QString text = control->property("text").toString();
        const QFontMetrics metrics = control->fontMetrics();
        // A button draws a frame around its caption; a label does not.
        const int frame = qobject_cast<QPushButton *>(control) ? 6 : 0;
        QVERIFY2(metrics.horizontalAdvance(text) + frame <= control->width(), qPrintable(text));
        QVERIFY2(metrics.height() <= control->height(), qPrintable(text));
    }
    QVERIFY(h.txtPort()->fontMetrics().height() + 2 <= h.txtPort()->height());
    QVERIFY(h.txtPort()->fontMetrics().horizontalAdvance(u"65535"_s) + 6 <= h.txtPort()->width());
    Q_UNUSED(w);
}

void tst_frmMain::keyFilter_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QList<int>>("keys"); // Qt key codes, typed one after another
    QTest::addColumn<QString>("after");

    const auto keys = [](QStringView typed) {
        QList<int> codes;
        for (const QChar c : typed)
            codes.append(c.toUpper().unicode());
        return codes;
    };
    QTest::newRow("digits") << QString() << keys(u"8080") << u"8080"_s;
    QTest::newRow("full stop") << QString() << keys(u"10.5") << u"10.5"_s;
    QTest::newRow("letters swallowed") << QString() << keys(u"1a2b") << u"12"_s;
    QTest::newRow("minus swallowed") << QString() << keys(u"-1") << u"1"_s;
    QTest::newRow("blank swallowed") << QString() << keys(u"1 2") << u"12"_s;
    QTest::newRow("backspace") << u"1080"_s << QList<int> { Qt::Key_End, Qt::Key_Backspace }
                               << u"108"_s;
    QTest::newRow("return swallowed") << u"1080"_s << QList<int> { Qt::Key_Return } << u"1080"_s;
    QTest::newRow("escape swallowed") << u"1080"_s << QList<int> { Qt::Key_Escape } << u"1080"_s;
    QTest::newRow("editing keys still work")
        << u"1080"_s
        << QList<int> { Qt::Key_Home, Qt::Key_Delete, Qt::Key_End, Qt::Key_Left, Qt::Key_Backspace }
        << u"00"_s;
    QTest::newRow("five characters at most") << QString() << keys(u"123456") << u"12345"_s;
}

void tst_frmMain::keyFilter()
{
    QFETCH(QString, before);
    QFETCH(QList<int>, keys);
    QFETCH(QString, after);

    Harness h;
    h.open();
    QLineEdit *txtPort = h.txtPort();
    txtPort->setText(before);
    for (const int key : keys) {
        const bool printable = key >= 0x20 && key < 0x7f;
        if (printable)
            QTest::keyClick(txtPort, QChar(key).toLower().toLatin1());
        else
            QTest::keyClick(txtPort, static_cast<Qt::Key>(key));
    }
    QCOMPARE(txtPort->text(), after);
}

void tst_frmMain::pastingIsNotFiltered()
{
    Harness h;
    h.open();
    QGuiApplication::clipboard()->setText(u"ab-1"_s);
    h.txtPort()->clear();
    h.txtPort()->paste();
    QCOMPARE(h.txtPort()->text(), u"ab-1"_s);
}

void tst_frmMain::statusSwitch()
{
    Harness h;
    ui::frmMain &w = h.open();
    QPushButton *cmdStatus = h.button(u"cmdStatus"_s);

    h.click(u"cmdStatus"_s);
    QCOMPARE(w.height(), ui::frmMain::ExpandedHeight);
    QCOMPARE(w.width(), ui::frmMain::ClientWidth);
    QCOMPARE(cmdStatus->text(), u"Hide Status"_s);
    // Expanded, the whole log shows.
    QVERIFY(h.find<ui::StatusView>(u"lstStatus"_s)->geometry().bottom() < w.height());

    h.click(u"cmdStatus"_s);
    QCOMPARE(w.height(), ui::frmMain::CollapsedHeight);
    QCOMPARE(cmdStatus->text(), u"Show Status"_s);
}

void tst_frmMain::statusSwitchExpandsFromAnyOtherHeight()
{
    Harness h;
    ui::frmMain &w = h.open();
    w.setFixedHeight(200);
    h.click(u"cmdStatus"_s);
    QCOMPARE(w.height(), ui::frmMain::ExpandedHeight);
    QCOMPARE(h.button(u"cmdStatus"_s)->text(), u"Hide Status"_s);
}

void tst_frmMain::listenAndStop()
{
    Harness h;
    ui::frmMain &w = h.open();
    const quint16 port = freePort();
    const QString enabled = u"UPnP Enabled on %1."_s.arg(port);
    const QString disabled = u"UPnP Disabled on %1."_s.arg(port);
    h.txtPort()->setText(QString::number(port));

    h.click(u"cmdListen"_s);
    QCOMPARE(h.button(u"cmdListen"_s)->text(), u"Stop Listening"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckListening);
    // The gateway answers later, on its own thread: its line always follows the listener's.
    QTRY_COMPARE(h.switchLines(), QStringList({ u"Listener Listening"_s, enabled }));
    QCOMPARE(h.calls->get(), QStringList { u"add %1"_s.arg(port) });
    QTRY_VERIFY(h.mirror.contains("Listener Listening\n" + enabled.toUtf8() + '\n'));

    QTcpSocket client;
    QSignalSpy connected(&client, &QTcpSocket::connected);
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(connected.wait());
    client.abort();

    h.txtPort()->setText(u"1"_s); // Stop removes the mapping that was made, whatever the box says
    h.click(u"cmdListen"_s);
    QCOMPARE(h.button(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckClosed);
    QTRY_COMPARE(h.switchLines(),
        QStringList(
            { u"Listener Listening"_s, enabled, u"Listener Stopped Listening"_s, disabled }));
    QCOMPARE(h.calls->get(), QStringList({ u"add %1"_s.arg(port), u"remove %1"_s.arg(port) }));

    QTcpSocket refused;
    QSignalSpy failed(&refused, &QTcpSocket::errorOccurred);
    refused.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(failed.wait());
    QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);
}

void tst_frmMain::listenerErrorLeavesEverythingClosed_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("not a number") << u"ab-1"_s; // pasted past the key filter
    QTest::newRow("two dots") << u"1.0.8"_s;
    QTest::newRow("zero") << u"0"_s;
    QTest::newRow("above 65535") << u"65536"_s;
    QTest::newRow("rounds to zero") << u"0.4"_s;
}

void tst_frmMain::listenerErrorLeavesEverythingClosed()
{
    QFETCH(QString, text);
    Harness h;
    ui::frmMain &w = h.open();
    h.txtPort()->setText(text);

    h.click(u"cmdListen"_s);
    QCOMPARE(w.statusLog().lines().size(), 1);
    const QString line = w.statusLog().lines().at(0);
    QVERIFY2(line.startsWith(u"Listener Error: "), qPrintable(line));
    QVERIFY(line.size() > u"Listener Error: "_s.size());
    QCOMPARE(h.button(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckClosed);

    // Nothing went to the gateway: calls run in order, so the next Listen's add is the first.
    const quint16 port = freePort();
    h.txtPort()->setText(QString::number(port));
    h.click(u"cmdListen"_s);
    QTRY_COMPARE(h.switchLines(),
        QStringList({ line, u"Listener Listening"_s, u"UPnP Enabled on %1."_s.arg(port) }));
    QCOMPARE(h.calls->get(), QStringList { u"add %1"_s.arg(port) });
}

void tst_frmMain::busyPortIsAListenerError()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    Harness h;
    ui::frmMain &w = h.open();
    h.txtPort()->setText(QString::number(holder.serverPort()));

    h.click(u"cmdListen"_s);
    QCOMPARE(w.statusLog().lines().size(), 1);
    QVERIFY2(w.statusLog().lines().at(0).startsWith(u"Listener Error: "),
        qPrintable(w.statusLog().lines().at(0)));
    QCOMPARE(h.button(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(w.proxy().wsListener().State(), net::Endpoint::sckClosed);

    // Pressing again tries again (the switch did not think it was listening).
    holder.close();
    h.click(u"cmdListen"_s);
    QCOMPARE(w.statusLog().lines().at(1), u"Listener Listening"_s);
    QTRY_COMPARE(h.calls->get(), QStringList { u"add %1"_s.arg(h.txtPort()->text()) });
}

void tst_frmMain::admissionReadsTheAllowList()
{
    Harness h;
    ui::frmMain &w = h.open();
    const quint16 port = freePort();
    h.txtPort()->setText(QString::number(port));
    h.click(u"cmdListen"_s);

    // Not on the list: the connection is closed at once and no slot is taken.
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
}

void tst_frmMain::closingRemovesTheMappingStillHeld()
{
    Harness h;
    ui::frmMain &w = h.open();
    const quint16 port = freePort();
    h.txtPort()->setText(QString::number(port));
    h.click(u"cmdListen"_s);
    QTRY_COMPARE(h.calls->get(), QStringList { u"add %1"_s.arg(port) });

    QVERIFY(w.close());
    // Closing waited for the removal; no event loop turn was needed.
    QCOMPARE(h.calls->get(), QStringList({ u"add %1"_s.arg(port), u"remove %1"_s.arg(port) }));
}

void tst_frmMain::addEntry_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("errorBoxes");

    QTest::newRow("valid") << QStringList { u"10.0.0.5"_s } << QStringList { u"10.0.0.5"_s } << 0;
    QTest::newRow("kept as typed")
        << QStringList { u" 10.0.0.5"_s } << QStringList { u" 10.0.0.5"_s } << 0;
    QTest::newRow("duplicate") << QStringList { u"10.0.0.5"_s, u"10.0.0.5"_s }
                               << QStringList { u"10.0.0.5"_s, u"10.0.0.5"_s } << 0;
    QTest::newRow("cancelled") << QStringList { QString() } << QStringList() << 0;
    QTest::newRow("three parts") << QStringList { u"10.0.0"_s } << QStringList() << 1;
    QTest::newRow("above 255") << QStringList { u"10.0.0.256"_s } << QStringList() << 1;
    QTest::newRow("not numeric") << QStringList { u"10.0.0.x"_s } << QStringList() << 1;
    QTest::newRow("error then valid")
        << QStringList { u"10..0.5"_s, u"192.168.1.2"_s } << QStringList { u"192.168.1.2"_s } << 1;
}

void tst_frmMain::addEntry()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, entries);
    QFETCH(int, errorBoxes);

    Harness h;
    h.open();
    h.script->answers = answers;
    for (qsizetype i = 0; i < answers.size(); ++i)
        h.click(u"cmdAdd"_s);

    QCOMPARE(h.entries(), entries);
    QCOMPARE(h.script->prompts.size(), answers.size());
    QCOMPARE(h.script->prompts.at(0),
        qMakePair(u"New Allowed IP"_s, u"Please enter an IP address to allow requests from:"_s));
    QCOMPARE(h.script->criticals.size(), errorBoxes);
    for (const auto &box : std::as_const(h.script->criticals))
        QCOMPARE(box, qMakePair(u"Invalid IP"_s, u"Invalid IP Address"_s));
}

void tst_frmMain::removeEntry()
{
    Harness h;
    QVERIFY(writeAll(h.filePath(), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.1\r\n"));
    h.open();
    QListWidget *list = h.lstAllowed();

    h.click(u"cmdRemove"_s);
    QCOMPARE(h.script->beeps, 1);
    QVERIFY(h.script->questions.isEmpty());

    list->setCurrentRow(2);
    h.script->yes = false;
    h.click(u"cmdRemove"_s);
    QCOMPARE(h.script->questions.size(), 1);
    QCOMPARE(h.script->questions.at(0),
        qMakePair(
            u"Remove IP?"_s, u"Are you sure you want to remove 10.0.0.1 from the allowed IPs?"_s));
    QCOMPARE(h.entries().size(), 3);

    h.script->yes = true;
    h.click(u"cmdRemove"_s);
    QCOMPARE(h.entries(), QStringList({ u"10.0.0.1"_s, u"10.0.0.2"_s })); // the twin stays

    // Nothing is selected after a removal: pressing again only beeps.
    h.click(u"cmdRemove"_s);
    QCOMPARE(h.script->beeps, 2);
    QCOMPARE(h.script->questions.size(), 2);
}

void tst_frmMain::allowListSurvivesRestartByteForByte()
{
    Harness h;
    // An empty entry, a blank-led entry, a byte beyond 7-bit text, no line end at the end.
    const QByteArray original = "10.0.0.5\r\n\r\n 10.0.0.6\r\nbr\xfc"
                                "cke\r\n10.0.0.5\r\n";
    QVERIFY(writeAll(h.filePath(), original));
    h.open();
    QCOMPARE(h.entries(),
        QStringList({ u"10.0.0.5"_s, QString(), u" 10.0.0.6"_s,
            QString::fromLatin1("br\xfc"
                                "cke"),
            u"10.0.0.5"_s }));
    QVERIFY(h.window->close());
    QCOMPARE(readAll(h.filePath()), original);
    QVERIFY(h.script->criticals.isEmpty());

    // Edited in a second run, the edit is there in a third.
    h.window.reset();
    h.open();
    h.script->answers = QStringList { u"192.168.0.9"_s };
    h.click(u"cmdAdd"_s);
    QVERIFY(h.window->close());
    QCOMPARE(readAll(h.filePath()), original + "192.168.0.9\r\n");
    h.window.reset();
    h.open();
    QCOMPARE(h.entries().last(), u"192.168.0.9"_s);
}

void tst_frmMain::unreadableFileIsReportedAndKept()
{
    Harness h;
    // A link to itself: it exists, but no read can succeed (even for root, unlike a mode 000 file).
    QVERIFY(QFile::link(u"IPs.txt"_s, h.filePath()));
    h.open();
    QCOMPARE(h.script->criticals.size(), 1);
    QVERIFY(h.script->criticals.at(0).second.contains(u"IPs.txt"));

    h.script->answers = QStringList { u"10.0.0.5"_s };
    h.click(u"cmdAdd"_s);
    QVERIFY(h.window->close());
    QCOMPARE(h.script->criticals.size(), 1); // no save was tried
    const QFileInfo after(h.filePath());
    QVERIFY(after.isSymLink());
    QCOMPARE(after.symLinkTarget(), h.filePath());
}

void tst_frmMain::failedSaveIsReported()
{
    Harness h;
    h.appDir = h.dir.filePath(u"gone"_s); // a directory that is not there: nothing can be saved
    h.open();
    QVERIFY(h.script->criticals.isEmpty()); // a missing file is simply an empty list
    QVERIFY(h.window->close());
    QCOMPARE(h.script->criticals.size(), 1);
    QVERIFY(h.script->criticals.at(0).second.contains(u"IPs.txt"));
}

void tst_frmMain::minimiseHidesBehindTheIcon_data()
{
    QTest::addColumn<bool>("expanded");
    QTest::addColumn<int>("activation");
    QTest::newRow("collapsed, click") << false << int(QSystemTrayIcon::Trigger);
    QTest::newRow("expanded, double click") << true << int(QSystemTrayIcon::DoubleClick);
}

void tst_frmMain::minimiseHidesBehindTheIcon()
{
    QFETCH(bool, expanded);
    QFETCH(int, activation);

    Harness h;
    ui::frmMain &w = h.open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    if (expanded)
        h.click(u"cmdStatus"_s);
    const int height = w.height();

    w.setWindowState(Qt::WindowMinimized);
    QVERIFY(w.isHidden());
    QVERIFY(!(w.windowState() & Qt::WindowMinimized)); // comes back restored
    QVERIFY(w.trayIcon().isVisible());

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

void tst_frmMain::minimiseWithoutNotificationAreaJustMinimises()
{
    Harness h;
    h.trayAvailable = false;
    ui::frmMain &w = h.open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    w.setWindowState(Qt::WindowMinimized);
    QVERIFY(w.isVisible()); // never hidden with nothing to bring it back
    QVERIFY(w.windowState() & Qt::WindowMinimized);
    QVERIFY(!w.trayIcon().isVisible());
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
