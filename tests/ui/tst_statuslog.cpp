#include "ui/statuslog.h"
#include "ui/statusview.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_StatusLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void printsBurstsInSlicesAndKeepsEveryLine();
    void viewScrollsCopiesAndNeverMovesByItself();
};

void tst_StatusLog::printsBurstsInSlicesAndKeepsEveryLine()
{
    QList<QByteArray> chunks;
    QStringList lines { QString(), u"Proxy [0] Request from a\nb\x1b[31m to x"_s };
    for (int i = 2; i < 3 * ui::StatusLog::MirrorLinesPerTurn; ++i) // some beyond a block
        lines.append(i % 9999 == 7 ? QString(i * 100, QChar(u'a' + i % 26))
                : i % 3            ? u"Proxy [%1] Closed"_s.arg(i % 16)
                                   : u"caf\u00e9 \U0001F600 %1"_s.arg(i));
    QTemporaryDir dir;
    const QString saved = dir.filePath(u"log.txt"_s);
    {
        ui::StatusLog log([&](const QByteArray &chunk) {
            if (chunks.isEmpty())
                log.append(u"late"_s); // arrives while the burst is being printed
            chunks.append(chunk);
        });
        for (const QString &line : std::as_const(lines))
            log.append(line);
        QVERIFY(chunks.isEmpty()); // appending never waits for the mirror
        QTRY_VERIFY(chunks.size() >= 3);
        for (const QByteArray &chunk : std::as_const(chunks))
            QVERIFY(chunk.count('\n') <= ui::StatusLog::MirrorLinesPerTurn);
        QCOMPARE(log.lines(), lines + QStringList(u"late"_s));
        QCOMPARE(log.save(saved), QString());
        QVERIFY(log.save(dir.filePath(u"no/such"_s)).contains(u"no/such"_s));
        log.append(u"pending at exit"_s);
    }
    // The mirror escapes what would break a line or drive the terminal, and loses nothing; the
    // saved file holds the lines as they are, one per line.
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), (lines.join(u'\n') + u"\nlate\n"_s).toUtf8());
    lines[1] = u"Proxy [0] Request from a\\x0ab\\x1b[31m to x"_s;
    QCOMPARE(chunks.join(), (lines.join(u'\n') + u"\nlate\npending at exit\n"_s).toUtf8());
}

void tst_StatusLog::viewScrollsCopiesAndNeverMovesByItself()
{
    ui::StatusLog log([](const QByteArray &) {});
    ui::StatusView view;
    view.setModel(&log);
    view.resize(249, 147);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    for (int i = 0; i < 100'000; ++i)
        log.append(QString::number(i));
    const QString wide = u"Proxy [0] Request from 127.0.0.1 to a.very.long.name.example:1862"_s;
    log.append(wide);
    QTRY_COMPARE(log.rowCount(), 100'001);
    const int height = view.rowHeight(), page = view.viewport()->height() / height;
    QScrollBar *bar = view.verticalScrollBar(), *across = view.horizontalScrollBar();
    QCOMPARE(bar->maximum(), 100'001 - page);
    QVERIFY(across->maximum() >= view.fontMetrics().horizontalAdvance(wide) - view.width());
    bar->setValue(500);
    QCOMPARE(view.indexAt(QPoint(5, 2 * height + 1)).row(), 502);
    QCOMPARE(view.indexAt(QPoint(5, 1)).data(Qt::ToolTipRole).toString(), u"500"_s);
    log.append(wide + wide); // appending neither scrolls nor selects
    QTRY_COMPARE(log.rowCount(), 100'002);
    QCOMPARE(bar->value(), 500);
    QCOMPARE(across->value(), 0);
    QVERIFY(!view.currentIndex().isValid());

    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(10, 3 * height + 2));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(10, 1));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), u"500\n501\n502\n503\n"_s);
    QTest::keyClick(&view, Qt::Key_End);
    QCOMPARE(bar->value(), bar->maximum());
    view.copyAction()->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), wide + wide + u'\n');
}

QTEST_MAIN(tst_StatusLog)
#include "tst_statuslog.moc"
