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
    QTest::addColumn<int>("port");

    const int ok = ui::PortNumber::None;
    QTest::newRow("default") << u"1080"_s << ok << 1080;
    QTest::newRow("lowest") << u"1"_s << ok << 1;
    QTest::newRow("highest") << u"65535"_s << ok << 65535;
    QTest::newRow("leading zeros") << u"01080"_s << ok << 1080;
    QTest::newRow("trailing dot") << u"1080."_s << ok << 1080;
    QTest::newRow("below half") << u"1080.4"_s << ok << 1080;
    QTest::newRow("above half") << u"1080.6"_s << ok << 1081;
    QTest::newRow("half to even, down") << u"1080.5"_s << ok << 1080;
    QTest::newRow("half to even, up") << u"1081.5"_s << ok << 1082;
    QTest::newRow("just above half") << u"1080.5000001"_s << ok << 1081;
    QTest::newRow("half written long") << u"1080.50000"_s << ok << 1080;
    QTest::newRow("leading dot") << u".6"_s << ok << 1;
    QTest::newRow("rounds up into range") << u"0.6"_s << ok << 1;
    QTest::newRow("rounds down into range") << u"65535.4"_s << ok << 65535;

    const int empty = ui::PortNumber::Empty;
    QTest::newRow("empty") << QString() << empty << 0;

    const int nan = ui::PortNumber::NotANumber;
    QTest::newRow("dot only") << u"."_s << nan << 0;
    QTest::newRow("two dots") << u"10.8.0"_s << nan << 0;
    QTest::newRow("letters") << u"abc"_s << nan << 0;
    QTest::newRow("minus") << u"-1"_s << nan << 0;
    QTest::newRow("plus") << u"+1"_s << nan << 0;
    QTest::newRow("blank") << u" 1080"_s << nan << 0;
    QTest::newRow("exponent") << u"1e3"_s << nan << 0;
    QTest::newRow("hex") << u"&H438"_s << nan << 0;
    QTest::newRow("non-ASCII digits") << QString::fromUtf16(u"\u0661\u0660") << nan << 0;

    const int range = ui::PortNumber::OutOfRange;
    QTest::newRow("zero") << u"0"_s << range << 0;
    QTest::newRow("half rounds to zero") << u"0.5"_s << range << 0;
    QTest::newRow("one above") << u"65536"_s << range << 0;
    QTest::newRow("rounds up out of range") << u"65535.5"_s << range << 0;
    QTest::newRow("beyond 32 bits") << u"99999999999999999999"_s << range << 0;
}

void tst_PortNumber::readPortNumber() const
{
    QFETCH(QString, text);
    QFETCH(int, error);
    QFETCH(int, port);

    const ui::PortNumber number = ui::readPortNumber(text);
    QCOMPARE(static_cast<int>(number.error), error);
    QCOMPARE(number.ok(), error == ui::PortNumber::None);
    if (number.ok()) {
        QCOMPARE(static_cast<int>(number.port), port);
        QVERIFY(number.reason.isEmpty());
    } else {
        QVERIFY(!number.reason.isEmpty());
    }
}

QTEST_APPLESS_MAIN(tst_PortNumber)
#include "tst_portnumber.moc"
