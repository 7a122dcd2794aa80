#include "ui/statuslog.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

// The log must batch: the view and the mirror are brought up to date once per event-loop turn,
// however many lines arrived in it, and a burst is printed in slices.
class tst_StatusLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void batchesTurnsAndPrintsBurstsInSlices();
    void lineAppendedWhilePrintingComesAfterTheBurst();
    void mirrorEscapesControlsAndLosesNothingAtExit();
};

void tst_StatusLog::batchesTurnsAndPrintsBurstsInSlices()
{
    constexpr qsizetype Slice = ui::StatusLog::MirrorLinesPerTurn;
    QList<QByteArray> chunks;
    ui::StatusLog log([&chunks](const QByteArray &chunk) { chunks.append(chunk); });
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    const int total = 3 * Slice + 5;
    QByteArray expected;
    for (int i = 0; i < total; ++i) {
        log.append(QString::number(i));
        expected += QByteArray::number(i) + '\n';
    }
    QCOMPARE(log.lines().size(), total);
    QCOMPARE(log.rowCount(), 0); // nothing shown before control returns to the loop
    QVERIFY(chunks.isEmpty());

    QTRY_COMPARE(log.rowCount(), total); // every line shown in the first turn, at once
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(inserted.at(0).mid(1), QVariantList({ 0, total - 1 }));
    QCOMPARE(log.data(log.index(total - 1)).toString(), QString::number(total - 1));
    QCOMPARE(chunks.size(), 1);
    QCOMPARE(chunks.at(0).count('\n'), Slice);
    QTRY_COMPARE(chunks.size(), 4);
    QCOMPARE(chunks.join(), expected); // complete and in order

    // A later turn adds its lines the same way.
    log.append(u"Listener Stopped Listening"_s);
    QTRY_COMPARE(log.rowCount(), total + 1);
    QCOMPARE(inserted.size(), 2);
    QCOMPARE(inserted.at(1).mid(1), QVariantList({ total, total }));
    QCOMPARE(chunks.mid(4), QList<QByteArray> { "Listener Stopped Listening\n" });
}

void tst_StatusLog::lineAppendedWhilePrintingComesAfterTheBurst()
{
    constexpr qsizetype Slice = ui::StatusLog::MirrorLinesPerTurn;
    QByteArray out;
    ui::StatusLog log([&](const QByteArray &chunk) {
        if (out.isEmpty())
            log.append(u"b"_s); // arrives between the slices
        out += chunk;
    });
    for (qsizetype i = 0; i < Slice + 1; ++i)
        log.append(u"a"_s);
    QTRY_COMPARE(log.rowCount(), Slice + 2);
    QTRY_COMPARE(out.size(), 2 * (Slice + 2));
    QVERIFY(out.endsWith("a\na\nb\n"));
}

void tst_StatusLog::mirrorEscapesControlsAndLosesNothingAtExit()
{
    QByteArray out;
    const QString withControls =
        QString::fromUtf16(u"Proxy [0] Request from a\nb\r\x1b[31m\x7f\x85\u2028 to x");
    {
        ui::StatusLog log([&out](const QByteArray &chunk) { out += chunk; });
        log.append(withControls);
        log.append(QString::fromUtf16(u"caf\u00e9 \u2713"));
        QTRY_COMPARE(log.rowCount(), 2);
        QCOMPARE(log.data(log.index(0)).toString(), withControls); // the window shows it as is
        log.append(u"UPnP Disabled on 1080."_s); // still pending when the log goes
    }
    QCOMPARE(out,
        QByteArray("Proxy [0] Request from a\\x0ab\\x0d\\x1b[31m\\x7f\\x85\\u2028 to x\n"
                   "caf\xc3\xa9 \xe2\x9c\x93\n"
                   "UPnP Disabled on 1080.\n"));
}

QTEST_GUILESS_MAIN(tst_StatusLog)
#include "tst_statuslog.moc"
