#include "ui/statuslog.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

// The log keeps every line exactly, shows a burst in one row insertion and prints it completely,
// in slices, whatever number of event-loop turns that takes.
class tst_StatusLog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void showsBurstsAtOnceAndPrintsThemInSlices();
    void keepsEveryLineExactly();
};

void tst_StatusLog::showsBurstsAtOnceAndPrintsThemInSlices()
{
    constexpr qsizetype Slice = ui::StatusLog::MirrorLinesPerTurn;
    QList<QByteArray> chunks;
    ui::StatusLog log([&](const QByteArray &chunk) {
        if (chunks.isEmpty())
            log.append(u"late"_s); // arrives while the burst is being printed
        chunks.append(chunk);
    });
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    const int total = 3 * Slice + 5;
    QByteArray expected;
    for (int i = 0; i < total; ++i) {
        log.append(QString::number(i));
        expected += QByteArray::number(i) + '\n';
    }
    QCOMPARE(log.rowCount(), 0); // appending never waits for the view or the mirror
    QVERIFY(chunks.isEmpty());

    QTRY_COMPARE(chunks.join(), expected + "late\n"); // complete and in order
    for (const QByteArray &chunk : std::as_const(chunks))
        QVERIFY(chunk.count('\n') <= Slice);
    QCOMPARE(log.rowCount(), total + 1);
    QCOMPARE(inserted.size(), 2); // the burst at once, then the late line
    QCOMPARE(inserted.at(0).mid(1), QVariantList({ 0, total - 1 }));
    QCOMPARE(inserted.at(1).mid(1), QVariantList({ total, total }));
}

void tst_StatusLog::keepsEveryLineExactly()
{
    QStringList lines;
    for (int i = 0; i < 3000; ++i) {
        if (i % 1000 == 7)
            lines.append(QString(i * 1500, QChar(u'a' + i % 26))); // beyond any storage block
        else if (i % 3 == 0)
            lines.append(QString::fromUtf16(u"caf\u00e9 \u2713 \U0001F600 ") + QString::number(i));
        else
            lines.append(i % 5 == 0 ? QString() : u"Proxy [%1] Closed"_s.arg(i % 16));
    }
    const QString controls = QString::fromUtf16(u"Proxy [0] Request from a\nb\x1b[31m to x");
    lines.append(controls);

    QByteArray out;
    {
        ui::StatusLog log([&out](const QByteArray &chunk) { out += chunk; });
        for (const QString &line : std::as_const(lines))
            log.append(line);
        log.flush();
        QCOMPARE(log.lines(), lines);
        for (int i = 0; i < lines.size(); i += 7)
            QCOMPARE(log.data(log.index(i)).toString(), lines.at(i));
        QCOMPARE(log.data(log.index(lines.size() - 1)).toString(), controls); // shown as it is
        log.append(u"pending at exit"_s);
    }
    // The mirror escapes what would break a line or drive the terminal, and loses nothing.
    lines.last() = u"Proxy [0] Request from a\\x0ab\\x1b[31m to x"_s;
    QCOMPARE(out, (lines.join(u'\n') + u"\npending at exit\n"_s).toUtf8());
}

QTEST_GUILESS_MAIN(tst_StatusLog)
#include "tst_statuslog.moc"
