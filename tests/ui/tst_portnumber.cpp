#include "ui/portnumber.h"

#include <QTest>

using namespace Qt::StringLiterals;

class tst_PortNumber final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readPortNumber_data() const;
    void readPortNumber() const;
};

void tst_PortNumber::readPortNumber_data() const
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("port"); // 0 unless read
    using P = ui::PortNumber;
    const std::tuple<QString, int, int> rows[] = { { u"65535"_s, P::None, 65535 },
        { u"01080"_s, P::None, 1080 }, { u"1080.5"_s, P::None, 1080 }, // halves to even
        { u"1081.5"_s, P::None, 1082 }, { u"1080.5000001"_s, P::None, 1081 },
        { u".6"_s, P::None, 1 }, { QString(), P::Empty, 0 }, { u"."_s, P::NotANumber, 0 },
        { u"10.8.0"_s, P::NotANumber, 0 }, { u"-1"_s, P::NotANumber, 0 },
        { u" 1080"_s, P::NotANumber, 0 }, { u"1e3"_s, P::NotANumber, 0 },
        { QString::fromUtf16(u"\u0661\u0660"), P::NotANumber, 0 }, { u"0"_s, P::OutOfRange, 0 },
        { u"65536"_s, P::OutOfRange, 0 }, { u"65535.5"_s, P::OutOfRange, 0 },
        { u"99999999999999999999"_s, P::OutOfRange, 0 } };
    for (const auto &[text, error, port] : rows)
        QTest::newRow(qPrintable(u'"' + text + u'"')) << text << error << port;
}

void tst_PortNumber::readPortNumber() const
{
    QFETCH(QString, text);
    const ui::PortNumber number = ui::readPortNumber(text);
    QTEST(static_cast<int>(number.error), "error");
    QTEST(static_cast<int>(number.port), "port");
    QCOMPARE(number.reason.isEmpty(), number.ok()); // an error always says why
}

QTEST_APPLESS_MAIN(tst_PortNumber)
#include "tst_portnumber.moc"
