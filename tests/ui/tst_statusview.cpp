#include "ui/statuslog.h"
#include "ui/statusview.h"

#include <QScrollBar>
#include <QTest>

// The status view shows a log that only grows; it must stay cheap and never move on its own.
class tst_StatusView final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scrollsByWholeRowsAndMovesOnlyWhenAsked();
};

void tst_StatusView::scrollsByWholeRowsAndMovesOnlyWhenAsked()
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

    const int height = view.rowHeight();
    const int page = view.viewport()->height() / height;
    QScrollBar *bar = view.verticalScrollBar();
    QCOMPARE(bar->maximum(), 100'000 - page);
    QCOMPARE(bar->pageStep(), page);
    bar->setValue(bar->maximum());
    QCOMPARE(view.indexAt(QPoint(5, (page - 1) * height + 1)).row(), 100'000 - 1);
    bar->setValue(500);
    QCOMPARE(view.indexAt(QPoint(5, 2 * height + 1)).row(), 502);
    view.scrollTo(log.index(10), QAbstractItemView::EnsureVisible);
    QCOMPARE(bar->value(), 10);

    // Appending neither scrolls nor selects.
    for (int i = 0; i < 1000; ++i)
        log.append(QString::number(i));
    QTRY_COMPARE(log.rowCount(), 101'000);
    QCOMPARE(bar->value(), 10);
    QVERIFY(view.selectionModel()->selection().isEmpty());
    QVERIFY(!view.currentIndex().isValid());

    // The mouse and the keys pick rows.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(10, 3 * height + 2));
    QCOMPARE(view.currentIndex().row(), 13);
    QTest::keyClick(&view, Qt::Key_Down);
    QCOMPARE(view.currentIndex().row(), 14);
    QTest::keyClick(&view, Qt::Key_End);
    QCOMPARE(view.currentIndex().row(), 101'000 - 1);
    QCOMPARE(bar->value(), bar->maximum());
    QTest::keyClick(&view, Qt::Key_Home);
    QCOMPARE(view.currentIndex().row(), 0);
    QCOMPARE(bar->value(), 0);
}

QTEST_MAIN(tst_StatusView)
#include "tst_statusview.moc"
