#include "ui/statuslog.h"
#include "ui/statusview.h"

#include <QScrollBar>
#include <QTest>

using namespace Qt::StringLiterals;

// The status view shows a log that only grows; it must stay cheap and never move on its own.
class tst_StatusView final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void scrollsByWholeRowsOverTheWholeLog();
    void appendingNeitherScrollsNorSelects();
    void mouseAndKeysPickRows();

private:
    std::unique_ptr<ui::StatusLog> m_log;
    std::unique_ptr<ui::StatusView> m_view;
};

void tst_StatusView::init()
{
    m_log = std::make_unique<ui::StatusLog>(ui::OutputSink([](const QByteArray &) {}));
    m_view = std::make_unique<ui::StatusView>();
    m_view->setModel(m_log.get());
    m_view->resize(249, 147);
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
}

void tst_StatusView::cleanup()
{
    m_view.reset();
    m_log.reset();
}

void tst_StatusView::scrollsByWholeRowsOverTheWholeLog()
{
    for (int i = 0; i < 100'000; ++i)
        m_log->append(QString::number(i));
    QTRY_COMPARE(m_log->rowCount(), 100'000);

    const int height = m_view->rowHeight();
    QVERIFY(height >= m_view->fontMetrics().height());
    const int page = m_view->viewport()->height() / height;
    QScrollBar *bar = m_view->verticalScrollBar();
    QCOMPARE(bar->maximum(), 100'000 - page);
    QCOMPARE(bar->pageStep(), page);

    bar->setValue(bar->maximum());
    QCOMPARE(m_view->indexAt(QPoint(5, (page - 1) * height + 1)).row(), 100'000 - 1);
    bar->setValue(500);
    QCOMPARE(m_view->indexAt(QPoint(5, 2 * height + 1)).row(), 502);
    QCOMPARE(m_view->visualRect(m_log->index(502)).top(), 2 * height);
    QVERIFY(!m_view->viewport()->rect().intersects(m_view->visualRect(m_log->index(0))));
    m_view->scrollTo(m_log->index(10), QAbstractItemView::EnsureVisible);
    QCOMPARE(bar->value(), 10);
}

void tst_StatusView::appendingNeitherScrollsNorSelects()
{
    for (int i = 0; i < 50; ++i)
        m_log->append(QString::number(i));
    QTRY_COMPARE(m_log->rowCount(), 50);
    m_view->verticalScrollBar()->setValue(3);

    for (int i = 0; i < 1000; ++i)
        m_log->append(QString::number(i));
    QTRY_COMPARE(m_log->rowCount(), 1050);
    QCOMPARE(m_view->verticalScrollBar()->value(), 3);
    QVERIFY(m_view->selectionModel()->selection().isEmpty());
    QVERIFY(!m_view->currentIndex().isValid());
}

void tst_StatusView::mouseAndKeysPickRows()
{
    for (int i = 0; i < 100; ++i)
        m_log->append(u"line %1"_s.arg(i));
    QTRY_COMPARE(m_log->rowCount(), 100);
    const int height = m_view->rowHeight();

    QTest::mouseClick(m_view->viewport(), Qt::LeftButton, {}, QPoint(10, 3 * height + 2));
    QCOMPARE(m_view->currentIndex().row(), 3);
    QVERIFY(m_view->selectionModel()->isRowSelected(3, {}));

    QTest::keyClick(m_view.get(), Qt::Key_Down);
    QCOMPARE(m_view->currentIndex().row(), 4);
    QTest::keyClick(m_view.get(), Qt::Key_End);
    QCOMPARE(m_view->currentIndex().row(), 99);
    QCOMPARE(m_view->verticalScrollBar()->value(), m_view->verticalScrollBar()->maximum());
    QTest::keyClick(m_view.get(), Qt::Key_Home);
    QCOMPARE(m_view->currentIndex().row(), 0);
    QCOMPARE(m_view->verticalScrollBar()->value(), 0);
}

QTEST_MAIN(tst_StatusView)
#include "tst_statusview.moc"
