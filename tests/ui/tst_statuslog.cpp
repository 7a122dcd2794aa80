#include "ui/statuslog.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

// The log must batch: the view and the mirror are brought up to date once per event-loop turn,
// however many lines arrived in it.
class tst_StatusLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void batchesOneTurnIntoOneInsertAndOneWrite();
    void printsABurstInSlices();
    void escapesControlsOnlyInTheMirror();
    void writesPendingLinesWhenDestroyed();
    void keepsAppendingAcrossTurns();
};

void tst_StatusLog::batchesOneTurnIntoOneInsertAndOneWrite()
{
    QList<QByteArray> chunks;
    ui::StatusLog log([&chunks](const QByteArray &chunk) { chunks.append(chunk); });
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);

    for (int i = 0; i < 1000; ++i)
        log.append(QString::number(i));
    QCOMPARE(log.lines().size(), 1000);
    QCOMPARE(log.rowCount(), 0); // nothing shown before control returns to the loop
    QVERIFY(chunks.isEmpty());

    QTRY_COMPARE(log.rowCount(), 1000);
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), 0);
    QCOMPARE(inserted.at(0).at(2).toInt(), 999);
    QCOMPARE(chunks.size(), 1);
    QVERIFY(chunks.at(0).startsWith("0\n1\n2\n"));
    QVERIFY(chunks.at(0).endsWith("998\n999\n"));
    QCOMPARE(log.data(log.index(999)).toString(), u"999"_s);
}

void tst_StatusLog::printsABurstInSlices()
{
    constexpr qsizetype Slice = ui::StatusLog::MirrorLinesPerTurn;
    QList<QByteArray> chunks;
    ui::StatusLog log([&chunks](const QByteArray &chunk) { chunks.append(chunk); });
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    const qsizetype total = 3 * Slice + 5;
    QByteArray expected;
    for (qsizetype i = 0; i < total; ++i) {
        log.append(QString::number(i));
        expected += QByteArray::number(i) + '\n';
    }

    QTRY_COMPARE(chunks.size(), 4);
    QCOMPARE(inserted.size(), 1); // every line shown in the first turn
    QCOMPARE(chunks.at(0).count('\n'), Slice);
    QCOMPARE(chunks.join(), expected); // complete and in order

    // A line appended while a burst is still printing is printed after it.
    QByteArray out;
    ui::StatusLog second([&](const QByteArray &chunk) {
        if (out.isEmpty())
            second.append(u"b"_s); // arrives between the slices
        out += chunk;
    });
    for (qsizetype i = 0; i < Slice + 1; ++i)
        second.append(u"a"_s);
    QTRY_COMPARE(second.rowCount(), Slice + 2);
    QTRY_COMPARE(out.size(), 2 * (Slice + 2));
    QVERIFY(out.endsWith("a\na\nb\n"));
}

void tst_StatusLog::escapesControlsOnlyInTheMirror()
{
    QByteArray out;
    ui::StatusLog log([&out](const QByteArray &chunk) { out += chunk; });
    const QString withControls =
            QString::fromUtf16(u"Proxy [0] Request from a\nb\r\x1b[31m\x7f\x85\u2028 to x");
    log.append(withControls);
    log.append(QString::fromUtf16(u"caf\u00e9 \u2713"));
    log.flush();

    QCOMPARE(out,
        QByteArray("Proxy [0] Request from a\\x0ab\\x0d\\x1b[31m\\x7f\\x85\\u2028 to x\n"
                   "caf\xc3\xa9 \xe2\x9c\x93\n"));
    QCOMPARE(out.count('\n'), 2); // a line never spans two output lines
    // The window shows the line as it was appended.
    QCOMPARE(log.data(log.index(0)).toString(), withControls);
}

void tst_StatusLog::writesPendingLinesWhenDestroyed()
{
    QByteArray out;
    {
        ui::StatusLog log([&out](const QByteArray &chunk) { out += chunk; });
        log.append(u"UPnP Disabled on 1080."_s);
    }
    QCOMPARE(out, QByteArray("UPnP Disabled on 1080.\n"));
}

void tst_StatusLog::keepsAppendingAcrossTurns()
{
    QByteArray out;
    ui::StatusLog log([&out](const QByteArray &chunk) { out += chunk; });
    log.append(u"Listener Listening"_s);
    QTRY_COMPARE(log.rowCount(), 1);
    log.append(u"Listener Stopped Listening"_s);
    QTRY_COMPARE(log.rowCount(), 2);
    QCOMPARE(out, QByteArray("Listener Listening\nListener Stopped Listening\n"));
    QCOMPARE(log.data(log.index(1)).toString(), u"Listener Stopped Listening"_s);
}

QTEST_GUILESS_MAIN(tst_StatusLog)
#include "tst_statuslog.moc"
