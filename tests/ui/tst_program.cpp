// The program as a desktop ends it, and with its standard output gone or stalled. The test runs
// itself again as the program ("program DIR GATEWAY LINES": the window with a gateway double and
// IPs.txt in DIR, listening, with 10.0.0.5 added and LINES status lines logged) with a pipe of its
// own as standard output. Every wait is bounded: a fault fails with a message, never hangs.

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
    std::fprintf(stderr, "ready %u\n", port);
    return ui::run(w);
}

/// The program with its standard error read through QProcess, its standard output a pipe that
/// is read only when asked (or closed at once).
struct Program
{
    QTemporaryDir dir;
    QProcess process;
    int out[2] = { -1, -1 };
    QByteArray output, err; ///< read so far

    /// Waits until standard error shows text; returns the rest of its line.
    QByteArray waitFor(const QByteArray &text)
    {
        qsizetype at = -1;
        while ((at = err.indexOf(text)) < 0 || err.indexOf('\n', at) < 0) {
            if (!process.waitForReadyRead(WaitMs))
                return "(ended or silent: " + err + ')';
            err += process.readAllStandardError();
        }
        return err.mid(at + text.size(), err.indexOf('\n', at) - at - text.size());
    }
    /// Reads standard output until it holds text, or to its end when text is empty.
    bool readUntil(const QByteArray &text)
    {
        char bytes[65536];
        pollfd readable = { out[0], POLLIN, 0 };
        while (out[0] >= 0 && (text.isEmpty() || !output.contains(text))) {
            const ssize_t n =
                poll(&readable, 1, WaitMs) == 1 ? read(out[0], bytes, sizeof bytes) : -1;
            if (n <= 0)
                return text.isEmpty() && n == 0;
            output.append(bytes, n);
        }
        return text.isEmpty() || out[0] >= 0;
    }
    ~Program()
    {
        ::close(out[0]);
        process.kill();
        process.waitForFinished(WaitMs);
    }
};

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
    QTest::addColumn<int>("lines"); // logged before the signal; none read until the end
    QTest::addColumn<bool>("readerGone"); // standard output closed at once
    QTest::newRow("SIGTERM") << SIGTERM << false << 0 << false;
    QTest::newRow("SIGINT") << SIGINT << false << 0 << false;
    QTest::newRow("SIGHUP") << SIGHUP << false << 0 << false;
    QTest::newRow("SIGTERM twice, slow close") << SIGTERM << true << 0 << false;
    QTest::newRow("reader gone") << SIGTERM << false << 10 << true;
    QTest::newRow("reader stopped") << SIGTERM << false << 200'000 << false; // beyond a pipe
}

void tst_Program::ends()
{
    QFETCH(int, signal);
    QFETCH(bool, slowClose);
    QFETCH(int, lines);
    QFETCH(bool, readerGone);
    Program p;
    QVERIFY(pipe2(p.out, O_CLOEXEC) == 0);
    p.process.setReadChannel(QProcess::StandardError);
    p.process.setChildProcessModifier([&p] { dup2(p.out[1], STDOUT_FILENO); });
    p.process.start(QCoreApplication::applicationFilePath(),
        { u"program"_s, p.dir.path(), slowClose ? u"silent"_s : u"gateway"_s,
            QString::number(lines) });
    ::close(p.out[1]);
    if (readerGone)
        ::close(std::exchange(p.out[0], -1));
    const quint16 port = p.waitFor("ready ").toUShort();
    QVERIFY2(port != 0, p.err.constData());
    const QString file = p.dir.filePath(u"IPs.txt"_s);
    QCOMPARE(fakes::readFile(file), "10.0.0.5\r\n"); // on disk with the edit
    QVERIFY(QFile::remove(file)); // so that only closing writes it again
    if (readerGone)
        QCOMPARE(p.waitFor("standard output failed (Broken pipe)"),
            "; the status log is no longer copied there");
    // Still serving, whatever the output does: a client not on the list is closed at once.
    QTcpSocket stranger;
    QSignalSpy gone(&stranger, &QTcpSocket::disconnected);
    stranger.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(gone.wait(WaitMs));
    const bool mapped = lines == 0; // the mapping made, seen without draining a full pipe
    QVERIFY2(!mapped || p.readUntil("UPnP Enabled on"), p.output.constData());
    if (slowClose) {
        ::kill(pid_t(p.process.processId()), signal);
        QCOMPARE(p.waitFor("removing"), QByteArray());
    }
    ::kill(pid_t(p.process.processId()), signal);
    QVERIFY2(p.readUntil({}) && p.process.waitForFinished(WaitMs), "the program did not end");
    QCOMPARE(fakes::readFile(file), "10.0.0.5\r\n");
    // Closed as the window closes: status 0, the mapping given up and that printed. The second
    // signal ends the program by itself, not by closing's own bound on the wait for the gateway.
    QCOMPARE(p.process.exitStatus(), slowClose ? QProcess::CrashExit : QProcess::NormalExit);
    QCOMPARE(p.process.exitCode(), slowClose ? signal : 0);
    QVERIFY(!mapped || p.output.contains("UPnP Disabled on") != slowClose);
    QCOMPARE(p.err.count("standard output"), readerGone ? 1 : 0);
    QByteArray expected;
    for (int i = 0; i < lines && !readerGone; ++i)
        expected += "line " + QByteArray::number(i) + '\n';
    QVERIFY(p.output.contains(expected)); // complete and in order, once it is read again
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
