// How the program reads a port (from the port box and from --port), its command line, where
// each build keeps IPs.txt, and the built program run with options that end it at once.

#include "acl/users.h"
#include "ui/desktop.h"
#include "ui/portnumber.h"
#include "ui/startoptions.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

/// Runs of the program: arguments, standard input, exit status, what to find after each.
using Runs = QList<std::tuple<QStringList, QByteArray, int, QString>>;

class tst_StartOptions final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsPortsAndOptions();
    void allowListDir();
    void commands_data();
    void commands();
};

void tst_StartOptions::readsPortsAndOptions()
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

void tst_StartOptions::allowListDir()
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication::setApplicationName(u"socks4proxy"_s);
    // The portable build's folder (the executable's) is the one the commands below use.
    QCOMPARE(ui::allowListDir(ui::Layout::Installed), config.filePath(u"socks4proxy"_s));
}

void tst_StartOptions::commands_data()
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

void tst_StartOptions::commands()
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
        QVERIFY(run.waitForFinished(60000));
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

QTEST_GUILESS_MAIN(tst_StartOptions)
#include "tst_startoptions.moc"
