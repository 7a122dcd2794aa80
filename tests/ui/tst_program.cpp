// The program: how it reads a port (from the port box and from --port), its command line, where
// each build keeps IPs.txt, the built program run with options that end it at once, and the
// program as a desktop ends it, with its standard output gone or stalled. The test runs
// itself again as the program ("program DIR GATEWAY LINES": the window with a gateway double and
// IPs.txt in DIR, listening and mapped, 10.0.0.5 added, LINES status lines logged) with a pipe
// of its own as standard output. Every wait is bounded: a fault fails with a message.

#include "acl/users.h"
#include "fakes.h"
#include "ui/desktop.h"
#include "ui/portnumber.h"
#include "ui/program.h"
#include "ui/startoptions.h"

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
/// Runs of the program: arguments, standard input, exit status, what to find after each.
using Runs = QList<std::tuple<QStringList, QByteArray, int, QString>>;

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
    void readsPortsAndOptions();
    void allowListDir();
    void commands_data();
    void commands();
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

void tst_Program::readsPortsAndOptions()
{
    using P = ui::PortNumber;
    const std::tuple<QString, int, int> box[] = { { u"65535"_s, P::None, 65535 },
        { u"01080"_s, P::None, 1080 }, { u"1080.5"_s, P::None, 1080 }, // halves to even
        { u"1081.5"_s, P::None, 1082 }, { u".6"_s, P::None, 1 }, { QString(), P::Empty, 0 },
        { u"."_s, P::NotANumber, 0 }, { u"10.8.0"_s, P::NotANumber, 0 },
        { u"-1"_s, P::NotANumber, 0 }, { u" 1080"_s, P::NotANumber, 0 },
        { u"1e3"_s, P::NotANumber, 0 }, { u"\u0661\u0660"_s, P::NotANumber, 0 },
        { u"0"_s, P::OutOfRange, 0 }, { u"65535.5"_s, P::OutOfRange, 0 },
        { u"99999999999999999999"_s, P::OutOfRange, 0 } };
    for (const auto &[text, error, port] : box) {
        const ui::PortNumber number = ui::readPortNumber(text);
        QVERIFY2(number.error == error && number.port == port, qPrintable(text));
    }
    // What starting is asked to do (the other outcomes are run below).
    const std::pair<QString, QString> lines[] = { { {}, u"0 0 0 0"_s },
        { u"--port 1 --listen"_s, u"1 1 0 0"_s },
        { u"--minimized --port=65535 --connections"_s, u"65535 0 1 1"_s } };
    for (const auto &[arguments, result] : lines) {
        const ui::CommandLine line = ui::parseCommandLine(
            QStringList(u"socks4proxy"_s) + arguments.split(u' ', Qt::SkipEmptyParts));
        const ui::StartOptions &o = line.options; // started: no text
        QCOMPARE(line.text
                + u"%1 %2 %3 %4"_s.arg(o.port.value_or(0))
                      .arg(o.listen)
                      .arg(o.minimized)
                      .arg(o.connections),
            result);
    }
}

void tst_Program::allowListDir()
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication::setApplicationName(u"socks4proxy"_s);
    // The portable build's folder (the executable's) is the one the commands below use.
    QCOMPARE(ui::allowListDir(ui::Layout::Installed), config.filePath(u"socks4proxy"_s));
}

void tst_Program::commands_data()
{
    // Commands run in order on one folder, with no display: arguments, standard input, exit
    // status, then the users with their passwords ("name=password", sorted) or else the start of
    // standard output (or, for a failure, of the one line on standard error).
    QTest::addColumn<Runs>("runs");
    const QString add = u"--add-user"_s, remove = u"--remove-user"_s;
    QTest::newRow("add, replace, remove") << Runs {
        { { add, u"alice"_s }, "s3cret-pw\n", 0, u"alice=s3cret-pw"_s },
        { { add, u"bob"_s }, "two-of-us\r\n", 0, u"alice=s3cret-pw bob=two-of-us"_s },
        { { add, u"alice"_s }, "last-one", 0, u"alice=last-one bob=two-of-us"_s },
        { { remove, u"bob"_s }, {}, 0, u"alice=last-one"_s },
        { { remove, u"bob"_s }, {}, 1, u"socks4proxy: there is no user 'bob'"_s },
    };
    QTest::newRow("refused") << Runs {
        { { add, u"alice"_s }, "\nsecond\n", 2,
            u"socks4proxy: the password must be 1 to 255 bytes"_s },
        { { add, u"alice"_s }, QByteArray(256, 'p'), 2, u"socks4proxy: the password must"_s },
        { { add, {} }, "pw\n", 2, u"socks4proxy: --add-user takes a name of 1 to 255 bytes"_s },
        { { add, u"alice"_s, remove, u"bob"_s }, {}, 2, u"socks4proxy: --add-user and"_s },
    };
    QTest::newRow("options") << Runs {
        { { u"--port"_s, u"65536"_s }, {}, 2, u"socks4proxy: --port takes a number from 1"_s },
        { { u"--port"_s }, {}, 2, u"socks4proxy: Missing value after '--port'"_s },
        { { u"--listne"_s }, {}, 2, u"socks4proxy: Unknown option 'listne'"_s },
        { { u"1080"_s }, {}, 2, u"socks4proxy: unexpected argument '1080'"_s },
        { { u"--port"_s, u"1"_s, u"-h"_s }, {}, 0, u"Usage: socks4proxy"_s },
        { { u"--version"_s }, {}, 0, u"socks4proxy " SOCKS4_VERSION "\n"_s },
    };
}

void tst_Program::commands()
{
    QFETCH(Runs, runs);
    // The portable build keeps its files beside the executable: a copy of it runs here.
    QTemporaryDir dir;
    const QString program = dir.filePath(u"socks4proxy"_s);
    QVERIFY(QFile::copy(QStringLiteral(SOCKS4_PROGRAM), program));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, dir.path());
    env.insert(u"XDG_CONFIG_HOME"_s, dir.filePath(u"config"_s));
    env.remove(u"DISPLAY"_s);
    env.remove(u"WAYLAND_DISPLAY"_s);
    env.remove(u"QT_QPA_PLATFORM"_s);
    for (const auto &[arguments, input, status, expected] : runs) {
        QProcess run;
        run.setProcessEnvironment(env);
        run.start(program, arguments);
        run.write(input);
        run.closeWriteChannel();
        QVERIFY(run.waitForFinished(WaitMs));
        const QString error = QString::fromUtf8(run.readAllStandardError());
        QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == status,
            qPrintable(arguments.join(u' ') + u": "_s + error));
        if (status != 0) {
            QVERIFY2(error.startsWith(expected) && error.count(u'\n') == 1, qPrintable(error));
            continue;
        }
        QCOMPARE(error, QString());
        if (!expected.contains(u'=')) {
            QVERIFY(QString::fromUtf8(run.readAllStandardOutput()).startsWith(expected));
            continue;
        }
        acl::UserMap users;
        QCOMPARE(acl::loadUsers(dir.path(), &users), QString());
        for (const QString &user : expected.split(u' ')) {
            const QByteArray name = user.section(u'=', 0, 0).toUtf8();
            const QByteArray password = user.section(u'=', 1).toUtf8();
            QVERIFY2(users.contains(name) && acl::verifyPassword(users[name], password),
                qPrintable(user));
        }
        QCOMPARE(users.size(), size_t(expected.count(u'=')));
        QFile file(dir.filePath(u"users.txt"_s));
        const QFile::Permissions notUser = QFile::Permissions(0xf0ff); // the mode's bits
        QCOMPARE(file.permissions() & notUser, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        for (const char *password : { "s3cret-pw", "two-of-us", "last-one" })
            QVERIFY(!bytes.contains(password));
    }
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
