#include "ui/statuslog.h"
#include "ui/statusview.h"

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_StatusLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void showsBurstsAtOnceAndPrintsThemInSlices();
    void keepsEveryLineExactly();
    void viewScrollsByWholeRowsAndMovesOnlyWhenAsked();
};

void tst_StatusLog::showsBurstsAtOnceAndPrintsThemInSlices()
{
    QList<QByteArray> chunks;
    ui::StatusLog log([&](const QByteArray &chunk) {
        if (chunks.isEmpty())
            log.append(u"late"_s); // arrives while the burst is being printed
        chunks.append(chunk);
    });
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    const int total = 3 * ui::StatusLog::MirrorLinesPerTurn + 5;
    QByteArray expected;
    for (int i = 0; i < total; ++i) {
        log.append(QString::number(i));
        expected += QByteArray::number(i) + '\n';
    }
    QCOMPARE(log.rowCount(), 0); // appending never waits for the view or the mirror
    QVERIFY(chunks.isEmpty());

    // However many turns it takes: complete, in order, in slices, the burst shown in one go.
    QTRY_COMPARE(chunks.join(), expected + "late\n");
    for (const QByteArray &chunk : std::as_const(chunks))
        QVERIFY(chunk.count('\n') <= ui::StatusLog::MirrorLinesPerTurn);
    QTRY_COMPARE(log.rowCount(), total + 1);
    QCOMPARE(inserted.at(0).at(1), 0);
    QVERIFY(inserted.at(0).at(2).toInt() >= total - 1);
}

void tst_StatusLog::keepsEveryLineExactly()
{
    QStringList lines { QString(), u"Proxy [0] Request from a\nb\x1b[31m to x"_s };
    for (int i = 2; i < 3000; ++i) // some far beyond a storage block, some not ASCII
        lines.append(i % 1000 == 7 ? QString(i * 1000, QChar(u'a' + i % 26))
                : i % 3            ? u"Proxy [%1] Closed"_s.arg(i % 16)
                        : QString::fromUtf16(u"caf\u00e9 \U0001F600 ") + QString::number(i));
    QByteArray out;
    {
        ui::StatusLog log([&out](const QByteArray &chunk) { out += chunk; });
        for (const QString &line : std::as_const(lines))
            log.append(line);
        log.flush();
        QCOMPARE(log.lines(), lines);
        QCOMPARE(log.data(log.index(1)).toString(), lines.at(1)); // the window shows it as it is
        log.append(u"pending at exit"_s);
    }
    // The mirror escapes what would break a line or drive the terminal, and loses nothing.
    lines[1] = u"Proxy [0] Request from a\\x0ab\\x1b[31m to x"_s;
    QCOMPARE(out, (lines.join(u'\n') + u"\npending at exit\n"_s).toUtf8());
}

void tst_StatusLog::viewScrollsByWholeRowsAndMovesOnlyWhenAsked()
{
    ui::StatusLog log([](const QByteArray &) {});
    ui::StatusView view;
    view.setModel(&log);
    view.resize(249, 147);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    for (int i = 0; i < 100'000; ++i)
        log.append(QString::number(i));
    QTRY_COMPARE(log.rowCount(), 100'000);
    const int height = view.rowHeight(), page = view.viewport()->height() / height;
    QScrollBar *bar = view.verticalScrollBar();
    QCOMPARE(bar->maximum(), 100'000 - page);
    bar->setValue(500);
    QCOMPARE(view.indexAt(QPoint(5, 2 * height + 1)).row(), 502);
    log.append(u"more"_s); // appending neither scrolls nor selects
    QTRY_COMPARE(log.rowCount(), 100'001);
    QCOMPARE(bar->value(), 500);
    QVERIFY(!view.currentIndex().isValid());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(10, 3 * height + 2));
    QCOMPARE(view.currentIndex().row(), 503);
    QTest::keyClick(&view, Qt::Key_End);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(view.currentIndex().row(), 100'000);
}

QTEST_MAIN(tst_StatusLog)
#include "tst_statuslog.moc"
