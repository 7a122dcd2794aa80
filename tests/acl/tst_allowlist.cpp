// The allow-list: the Add check, the admission rule, the IPs.txt format, and load and save
// against real files, including failures that must leave what is on disk as it was.

#include "acl/allowlist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

/// Each name in dir with the bytes of the file of that name ("dir" for a directory).
QStringList contents(const QString &dir)
{
    QStringList out;
    for (const QFileInfo &info :
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        QFile file(info.filePath());
        out << info.fileName() + u' '
                + QString::fromLatin1(file.open(QIODevice::ReadOnly) ? file.readAll() : "dir");
    }
    return out;
}

} // namespace

class tst_AllowList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entryCheckAndMatch();
    void fileFormat();
    void loadAndSave();
};

void tst_AllowList::entryCheckAndMatch()
{
    // Four parts, each a decimal number from 0 to 255 with an optional sign, an optional
    // exponent and blanks around it.
    const QStringList valid { u"10.0.0.5"_s, u"255.255.255.255"_s, u" 10.\t0\t .0.5 "_s,
        u"010.0.0.5"_s, u"1e2.25E1.5e+1.1e-1"_s, u"+1.-0.+0.0e99999"_s };
    const QStringList invalid { u"10.0.0"_s, u"10.0.0.5.6"_s, u"10.0.0.256"_s, u"10.0.0.-1"_s,
        u"-1e-999.0.0.1"_s, u"10..0.5"_s, u"10.0.0.x"_s, u"&H0A.0.0.1"_s, u"1 0.0.0.5"_s,
        u"10\n.0.0.5"_s, u"26e1.0.0.1"_s, u"1e99999.0.0.1"_s, u"1e+.0.0.1"_s, u"+-1.0.0.1"_s,
        // Notations Qt's own parsers would take.
        u"0x0A.0.0.1"_s, u"nan.0.0.1"_s, u"inf.0.0.1"_s, u"\uff11.0.0.1"_s, u"1,5.0.0.1"_s };
    for (const QString &answer : valid)
        QVERIFY2(acl::isValidEntry(answer), qPrintable(answer));
    for (const QString &answer : invalid)
        QVERIFY2(!acl::isValidEntry(answer), qPrintable(answer));

    // Admission is by exact match: an entry with a blank or a leading zero matches no client.
    const QStringList entries { u" 10.0.0.5"_s, u"010.0.0.6"_s, u"127.0.0.1"_s };
    QVERIFY(acl::admits(entries, u"127.0.0.1"_s));
    for (const QString &address : { u"10.0.0.5"_s, u"10.0.0.6"_s, u"127.0.0.1 "_s, u"127.0.0.2"_s })
        QVERIFY2(!acl::admits(entries, address), qPrintable(address));
}

void tst_AllowList::fileFormat()
{
    // Lines end at CR LF, LF or a lone CR; the last may have none; an empty line is an entry.
    QCOMPARE(acl::parseFile("a\r\nb\nc\rd\n\re"_ba), u"a b c d  e"_s.split(u' '));
    QCOMPARE(acl::parseFile("a\rb\r"_ba), u"a b"_s.split(u' '));
    QCOMPARE(acl::parseFile({}), QStringList());
    // Written back byte for byte: empty lines, duplicates, blanks and every other byte.
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all += b == '\r' || b == '\n' ? QByteArray() : QByteArray(1, static_cast<char>(b));
    const QByteArray bytes = "\r\n 1.2\t\r\n 1.2\t\r\n"_ba + all + "\r\n\r\n";
    const QStringList entries { {}, u" 1.2\t"_s, u" 1.2\t"_s, QString::fromLatin1(all), {} };
    QCOMPARE(acl::parseFile(bytes), entries);
    QCOMPARE(acl::formatFile(entries), bytes);
}

void tst_AllowList::loadAndSave()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const acl::LoadResult none = acl::load(dir.path());
    QVERIFY(none.ok && !none.exists && none.entries.isEmpty());
    const QStringList list { u"127.0.0.1"_s, {}, u" 10.0.0.5"_s, u"127.0.0.1"_s, u"\u00ff"_s };
    QVERIFY(acl::save(dir.path(), list).ok);
    // Exactly the list, and no temporary file left behind.
    QCOMPARE(contents(dir.path()),
        QStringList { u"IPs.txt 127.0.0.1\r\n\r\n 10.0.0.5\r\n127.0.0.1\r\n\u00ff\r\n"_s });
    const acl::LoadResult loaded = acl::load(dir.path());
    QVERIFY(loaded.ok && loaded.exists);
    QCOMPARE(loaded.entries, list);
    QVERIFY(acl::save(dir.path(), {}).ok); // an empty list over a file leaves an empty file
    QCOMPARE(contents(dir.path()), QStringList { u"IPs.txt "_s });

    // Even root can neither read nor replace a directory in the file's place. A failed save
    // leaves everything as it was.
    const QString path = dir.filePath(u"IPs.txt"_s);
    QVERIFY(QFile::remove(path) && QDir().mkpath(path + u"/keep"_s));
    const acl::LoadResult failed = acl::load(dir.path());
    QVERIFY(!failed.ok && failed.exists && failed.entries.isEmpty());
    QVERIFY2(failed.error.contains(path + u": it is a directory"_s), qPrintable(failed.error));
    for (const QString &target : { dir.path(), dir.filePath(u"gone"_s) }) {
        const acl::SaveResult saved = acl::save(target, list);
        QVERIFY2(
            !saved.ok && saved.error.contains(target + u"/IPs.txt"_s), qPrintable(saved.error));
        QCOMPARE(contents(dir.path()) + contents(path),
            (QStringList { u"IPs.txt dir"_s, u"keep dir"_s }));
    }
}

QTEST_APPLESS_MAIN(tst_AllowList)
#include "tst_allowlist.moc"
