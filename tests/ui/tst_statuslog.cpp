// The status log's bound: the window keeps the most recent lines and says once that older ones
// go; the mirror still gets every line, and saving writes what the window holds.

#include "ui/statuslog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_StatusLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keepsTheMostRecentLines()
    {
        constexpr int Limit = 1000, Count = 100'000; // lines over several of the store's blocks
        QByteArray mirror;
        ui::StatusLog log([&mirror](const QByteArray &chunk) { mirror += chunk; }, nullptr, Limit);
        const QString notice = u"Status log: older lines are no longer kept (limit 1000 lines)"_s;
        QByteArray all, kept;
        for (int i = 0; i < Count; ++i) {
            const QString line = u"Proxy [%1] Request from bob to 10.0.0.5:%2"_s.arg(i % 16).arg(i);
            log.append(line);
            all += line.toUtf8() + '\n';
            if (i == Limit) // the first line that pushes one out
                all += notice.toUtf8() + '\n';
            if (i >= Count - Limit)
                kept += line.toUtf8() + '\n';
        }
        QTRY_COMPARE(log.rowCount(), Limit);
        QCOMPARE(log.size(), Limit);
        QCOMPARE(
            log.data(log.index(0)).toString().toUtf8() + '\n', kept.first(kept.indexOf('\n') + 1));
        QTRY_COMPARE(mirror.size(), all.size());
        QVERIFY(mirror == all);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"log.txt"_s);
        QVERIFY(log.save(path).isEmpty());
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == kept);
    }
};

QTEST_GUILESS_MAIN(tst_StatusLog)
#include "tst_statuslog.moc"
