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
    const auto row = [](const char *name, const QString &text, int error, int port = 0) {
        QTest::newRow(name) << text << error << port;
    };
    using P = ui::PortNumber;
    row("highest", u"65535"_s, P::None, 65535);
    row("leading zeros", u"01080"_s, P::None, 1080);
    row("half to even, down", u"1080.5"_s, P::None, 1080);
    row("half to even, up", u"1081.5"_s, P::None, 1082);
    row("just above half", u"1080.5000001"_s, P::None, 1081);
    row("leading dot, rounds up into range", u".6"_s, P::None, 1);
    row("empty", QString(), P::Empty);
    row("dot only", u"."_s, P::NotANumber);
    row("two dots", u"10.8.0"_s, P::NotANumber);
    row("minus", u"-1"_s, P::NotANumber);
    row("blank", u" 1080"_s, P::NotANumber);
    row("exponent", u"1e3"_s, P::NotANumber);
    row("non-ASCII digits", QString::fromUtf16(u"\u0661\u0660"), P::NotANumber);
    row("zero", u"0"_s, P::OutOfRange);
    row("one above", u"65536"_s, P::OutOfRange);
    row("rounds up out of range", u"65535.5"_s, P::OutOfRange);
    row("beyond 32 bits", u"99999999999999999999"_s, P::OutOfRange);
}

void tst_PortNumber::readPortNumber() const
{
    QFETCH(QString, text);
    QFETCH(int, error);
    QFETCH(int, port);

    const ui::PortNumber number = ui::readPortNumber(text);
    QCOMPARE(static_cast<int>(number.error), error);
    QCOMPARE(static_cast<int>(number.port), port);
    QCOMPARE(number.reason.isEmpty(), number.ok()); // an error always says why
}

QTEST_APPLESS_MAIN(tst_PortNumber)
#include "tst_portnumber.moc"
