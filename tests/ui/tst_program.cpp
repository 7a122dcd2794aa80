// The program as a desktop ends it, and with its standard output gone or stalled. The test runs
// itself again as the program ("program DIR GATEWAY LINES": the window with a gateway double and
// IPs.txt in DIR, listening and mapped, 10.0.0.5 added, LINES status lines logged) with a pipe
// of its own as standard output. Every wait is bounded: a fault fails with a message.

#include "fakes.h"
#include "ui/program.h"

#include <QApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int WaitMs = 60'000; // far beyond what a busy machine needs

int program(char **argv)
{
    fakes::Window h;
    h.appDir = QString::fromLocal8Bit(argv[2]);
    h.standardOutput = true;
    ui::frmMain &w = h.open(std::make_unique<fakes::Gateway>(qstrcmp(argv[3], "silent") == 0));
    const quint16 port = h.listen();
    h.script->answers = QStringList { u"10.0.0.5"_s };
    h.click(u"cmdAdd"_s);
    for (int i = 0; i < std::atoi(argv[4]); ++i)
        w.AppendStatus(u"line %1"_s.arg(i));
    // Ready once mapped, as the log shows it (in the program's own loop, where SIGPIPE is off).
    QObject::connect(&w.statusLog(), &QAbstractItemModel::rowsInserted, &w, [&h, port] {
        static bool told = false;
        if (!told && h.switchLines().size() == 2)
            told = std::fprintf(stderr, "ready %u\n", port) > 0;
    });
    return ui::run(w);
}

} // namespace

class tst_Program final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ends_data();
    void ends();
};

void tst_Program::ends_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("slowClose"); // a second signal while the gateway does not answer
    QTest::addColumn<int>("lines"); // logged at the start; nothing is read until the end
    QTest::addColumn<bool>("readerGone"); // standard output closed at once
    QTest::newRow("SIGTERM") << SIGTERM << false << 10 << false;
    QTest::newRow("SIGINT") << SIGINT << false << 10 << false;
    QTest::newRow("SIGHUP") << SIGHUP << false << 10 << false;
    QTest::newRow("SIGTERM twice, slow close") << SIGTERM << true << 10 << false;
    QTest::newRow("reader gone") << SIGTERM << false << 10 << true;
    QTest::newRow("reader stopped") << SIGTERM << false << 200'000 << false; // beyond a pipe
}

void tst_Program::ends()
{
    QFETCH(int, signal);
    QFETCH(bool, slowClose);
    QFETCH(int, lines);
    QTemporaryDir dir;
    int out[2] = { -1, -1 };
    QVERIFY(pipe2(out, O_CLOEXEC) == 0);
    QProcess process;
    QByteArray err, output;
    // Waits until standard error shows text; the rest of its line.
    const auto waitFor = [&](const QByteArray &text) -> QByteArray {
        for (qsizetype at; (at = err.indexOf(text)) < 0 || err.indexOf('\n', at) < 0;) {
            if (!process.waitForReadyRead(WaitMs))
                return "(ended or silent: " + err + ')';
            err += process.readAllStandardError();
        }
        const qsizetype from = err.indexOf(text) + text.size();
        return err.mid(from, err.indexOf('\n', from) - from);
    };
    process.setReadChannel(QProcess::StandardError);
    process.setChildProcessModifier([&out] { dup2(out[1], STDOUT_FILENO); });
    process.start(QCoreApplication::applicationFilePath(),
        { u"program"_s, dir.path(), slowClose ? u"silent"_s : u"gateway"_s,
            QString::number(lines) });
    ::close(out[1]);
    if (QFETCH(bool, readerGone); readerGone)
        ::close(std::exchange(out[0], -1));
    const quint16 port = waitFor("ready ").toUShort();
    QVERIFY2(port != 0, err.constData());
    const QString file = dir.filePath(u"IPs.txt"_s);
    QVERIFY(QFile::remove(file)); // saved with the edit; now only closing writes it again
    if (out[0] < 0)
        QCOMPARE(waitFor("standard output failed (Broken pipe)"),
            "; the status log is no longer copied there");
    QTcpSocket stranger; // still served, whatever the output does: closed at once
    QSignalSpy gone(&stranger, &QTcpSocket::disconnected);
    stranger.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(gone.wait(WaitMs));
    for (int i = slowClose ? 0 : 1; i < 2; ++i) {
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(i || waitFor("removing").isEmpty());
    }
    char bytes[65536];
    pollfd readable = { out[0], POLLIN, 0 };
    for (ssize_t n = 1; out[0] >= 0 && n > 0; output.append(bytes, qMax(n, 0)))
        n = poll(&readable, 1, WaitMs) == 1 ? read(out[0], bytes, sizeof bytes) : -1;
    ::close(out[0]);
    QVERIFY2(process.waitForFinished(WaitMs), "the program did not end");
    QCOMPARE(fakes::readFile(file), "10.0.0.5\r\n");
    // Closed as the window closes: status 0, the mapping given up and that printed. The second
    // signal ends the program by itself, not by closing's own bound on the wait for the gateway.
    QCOMPARE(process.exitStatus(), slowClose ? QProcess::CrashExit : QProcess::NormalExit);
    QCOMPARE(process.exitCode(), slowClose ? signal : 0);
    QCOMPARE(err.count("standard output"), out[0] < 0 ? 1 : 0);
    QByteArray expected;
    for (int i = 0; i < lines && out[0] >= 0; ++i)
        expected += "line " + QByteArray::number(i) + '\n';
    QVERIFY(output.contains(expected)); // complete and in order, once it is read again
    QCOMPARE(
        output.endsWith(u"UPnP Disabled on %1.\n"_s.arg(port).toUtf8()), out[0] >= 0 && !slowClose);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], "program") == 0)
        return program(argv);
    tst_Program test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_program.moc"
