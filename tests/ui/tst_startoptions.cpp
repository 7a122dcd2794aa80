#include "ui/startoptions.h"

#include <QTest>

using namespace Qt::StringLiterals;

class tst_StartOptions final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data() const;
    void parse() const;
};

void tst_StartOptions::parse_data() const
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("result"); // "port listen minimized", or the start of the text
    using C = ui::CommandLine;
    const std::tuple<QString, int, QString> rows[] = { { {}, C::Start, u"0 0 0"_s },
        { u"--port 1 --listen"_s, C::Start, u"1 1 0"_s },
        { u"--minimized --port=65535"_s, C::Start, u"65535 0 1"_s },
        { u"--help --port 0"_s, C::Help, u"Usage: socks4proxy"_s },
        { u"--port 1 -h"_s, C::Help, u"Usage: socks4proxy"_s },
        { u"--version"_s, C::Version, u"socks4proxy " SOCKS4_VERSION "\n"_s },
        { u"--port 65536"_s, C::Error, u"socks4proxy: --port takes a number from 1 to 65535"_s },
        { u"--port 01080x"_s, C::Error, u"socks4proxy: --port takes"_s },
        { u"--port 1080.5"_s, C::Error, u"socks4proxy: --port takes"_s },
        { u"--port"_s, C::Error, u"socks4proxy: Missing value after '--port'"_s },
        { u"--listne"_s, C::Error, u"socks4proxy: Unknown option 'listne'"_s },
        { u"-platform offscreen"_s, C::Error, u"socks4proxy: Unknown option"_s },
        { u"1080"_s, C::Error, u"socks4proxy: unexpected argument '1080'"_s } };
    for (const auto &[arguments, outcome, result] : rows)
        QTest::newRow(qPrintable(arguments)) << arguments << outcome << result;
}

void tst_StartOptions::parse() const
{
    QFETCH(QString, arguments);
    QFETCH(QString, result);
    const ui::CommandLine line = ui::parseCommandLine(
        QStringList(u"socks4proxy"_s) + arguments.split(u' ', Qt::SkipEmptyParts));
    QTEST(int(line.outcome), "outcome");
    if (line.outcome != ui::CommandLine::Start) {
        QVERIFY2(line.text.startsWith(result), qPrintable(line.text));
        QVERIFY(line.outcome != ui::CommandLine::Error || !line.text.contains(u'\n')); // one line
        return;
    }
    const ui::StartOptions &o = line.options;
    QCOMPARE(u"%1 %2 %3"_s.arg(o.port.value_or(0)).arg(o.listen).arg(o.minimized), result);
}

QTEST_APPLESS_MAIN(tst_StartOptions)
#include "tst_startoptions.moc"
