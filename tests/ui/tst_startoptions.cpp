// How the program reads a port (from the port box and from --port), its command line, and
// where each build keeps IPs.txt.

#include "ui/desktop.h"
#include "ui/portnumber.h"
#include "ui/startoptions.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_StartOptions final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsPortsAndOptions();
    void allowListDir();
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
    // Started, or the start of the text shown instead: an error is one line.
    using C = ui::CommandLine;
    const std::tuple<QString, int, QString> lines[] = { { {}, C::Start, u"0 0 0 0"_s },
        { u"--port 1 --listen"_s, C::Start, u"1 1 0 0"_s },
        { u"--minimized --port=65535 --connections"_s, C::Start, u"65535 0 1 1"_s },
        { u"--port 1 -h"_s, C::Help, u"Usage: socks4proxy"_s },
        { u"--version"_s, C::Version, u"socks4proxy " SOCKS4_VERSION "\n"_s },
        { u"--port 65536"_s, C::Error, u"socks4proxy: --port takes a number from 1 to 65535"_s },
        { u"--port 1080.5"_s, C::Error, u"socks4proxy: --port takes"_s },
        { u"--port"_s, C::Error, u"socks4proxy: Missing value after '--port'"_s },
        { u"--listne"_s, C::Error, u"socks4proxy: Unknown option 'listne'"_s },
        { u"1080"_s, C::Error, u"socks4proxy: unexpected argument '1080'"_s } };
    for (const auto &[arguments, outcome, result] : lines) {
        const C line = ui::parseCommandLine(
            QStringList(u"socks4proxy"_s) + arguments.split(u' ', Qt::SkipEmptyParts));
        const ui::StartOptions &o = line.options;
        QVERIFY2(line.outcome == outcome, qPrintable(arguments));
        QVERIFY2(line.outcome == C::Start ? u"%1 %2 %3 %4"_s.arg(o.port.value_or(0))
                                                .arg(o.listen)
                                                .arg(o.minimized)
                                                .arg(o.connections)
                    == result
                                          : line.text.startsWith(result)
                    && (outcome != C::Error || !line.text.contains(u'\n')),
            qPrintable(arguments + u": "_s + line.text));
    }
}

void tst_StartOptions::allowListDir()
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication::setApplicationName(u"socks4proxy"_s);
    QCOMPARE(ui::allowListDir(ui::Layout::Portable), QCoreApplication::applicationDirPath());
    QCOMPARE(ui::allowListDir(ui::Layout::Installed), config.filePath(u"socks4proxy"_s));
}

QTEST_GUILESS_MAIN(tst_StartOptions)
#include "tst_startoptions.moc"
