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

struct Program
{
    QTemporaryDir dir;
    QProcess process;
    int out[2] = { -1, -1 }; ///< the program's standard output
    QByteArray output, err; ///< read so far
    quint16 port = 0;

    Program(const char *gateway, int lines, bool readerGone = false)
    {
        if (pipe2(out, O_CLOEXEC) != 0)
            qFatal("pipe2");
        process.setReadChannel(QProcess::StandardError);
        process.setChildProcessModifier([this] { dup2(out[1], STDOUT_FILENO); });
        process.start(QCoreApplication::applicationFilePath(),
            { u"program"_s, dir.path(), QString::fromLatin1(gateway), QString::number(lines) });
        ::close(out[1]);
        if (readerGone)
            ::close(std::exchange(out[0], -1));
        port = waitFor("ready ").toUShort();
    }
    ~Program()
    {
        ::close(out[0]);
        process.kill();
        process.waitForFinished(WaitMs);
    }
    QByteArray file() const { return fakes::readFile(dir.filePath(u"IPs.txt"_s)); }
    /// Waits until standard error shows text; returns the rest of its line.
    QByteArray waitFor(const QByteArray &text)
    {
        qsizetype at = -1;
        while ((at = err.indexOf(text)) < 0 || err.indexOf('\n', at) < 0) {
            if (!process.waitForReadyRead(WaitMs))
                return "(ended or silent: " + err + ')';
            err += process.readAllStandardError();
        }
        const qsizetype from = at + text.size();
        return err.mid(from, err.indexOf('\n', from) - from);
    }
    /// Reads standard output until it holds text, or to its end when text is empty.
    bool readUntil(const QByteArray &text)
    {
        char bytes[65536];
        if (out[0] < 0)
            return text.isEmpty();
        pollfd readable = { out[0], POLLIN, 0 };
        while (text.isEmpty() || !output.contains(text)) {
            const ssize_t n =
                poll(&readable, 1, WaitMs) == 1 ? read(out[0], bytes, sizeof bytes) : -1;
            if (n <= 0)
                return text.isEmpty() && n == 0;
            output.append(bytes, n);
        }
        return true;
    }
    /// Whether the program still serves: a client not on the allow-list is closed at once.
    bool serves()
    {
        QTcpSocket stranger;
        QSignalSpy gone(&stranger, &QTcpSocket::disconnected);
        stranger.connectToHost(QHostAddress::LocalHost, port);
        return gone.wait(WaitMs);
    }
    bool end(int signal)
    {
        ::kill(pid_t(process.processId()), signal);
        return readUntil({}) && process.waitForFinished(WaitMs);
    }
};

} // namespace

class tst_Program final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void endSignals_data();
    void endSignals();
    void standardOutput_data();
    void standardOutput();
};

void tst_Program::endSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("slowClose"); // a second signal while the gateway does not answer
    QTest::newRow("SIGTERM") << SIGTERM << false;
    QTest::newRow("SIGINT") << SIGINT << false;
    QTest::newRow("SIGHUP") << SIGHUP << false;
    QTest::newRow("SIGTERM twice, slow close") << SIGTERM << true;
}

void tst_Program::endSignals()
{
    QFETCH(int, signal);
    QFETCH(bool, slowClose);
    Program p(slowClose ? "silent" : "gateway", 0);
    QVERIFY2(p.port != 0, p.err.constData());
    QVERIFY2(p.readUntil("UPnP Enabled on"), p.output.constData());
    QCOMPARE(p.file(), "10.0.0.5\r\n"); // on disk with the edit
    QVERIFY(QFile::remove(p.dir.filePath(u"IPs.txt"_s))); // so that only closing writes it again
    if (slowClose) {
        ::kill(pid_t(p.process.processId()), signal);
        QCOMPARE(p.waitFor("removing"), QByteArray());
    }
    QVERIFY2(p.end(signal), "the program did not end");
    QCOMPARE(p.file(), "10.0.0.5\r\n");
    // Closed as the window closes: status 0, the mapping given up and that printed. The second
    // signal ends the program by itself, not by closing's own bound on the wait for the gateway.
    QCOMPARE(p.process.exitStatus(), slowClose ? QProcess::CrashExit : QProcess::NormalExit);
    QCOMPARE(p.process.exitCode(), slowClose ? signal : 0);
    QCOMPARE(p.output.contains("UPnP Disabled on"), !slowClose);
}

void tst_Program::standardOutput_data()
{
    QTest::addColumn<bool>("readerGone");
    QTest::addColumn<int>("lines");
    QTest::newRow("reader gone") << true << 10;
    QTest::newRow("reader stopped") << false << 200'000; // far more than a pipe holds
}

void tst_Program::standardOutput()
{
    QFETCH(bool, readerGone);
    QFETCH(int, lines);
    Program p("gateway", lines, readerGone);
    if (readerGone)
        QCOMPARE(p.waitFor("standard output failed (Broken pipe)"),
            "; the status log is no longer copied there");
    QVERIFY(p.serves()); // still: nothing waits for the output
    QVERIFY2(p.end(SIGTERM), "the program did not end");
    QCOMPARE(p.process.exitCode(), 0);
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
