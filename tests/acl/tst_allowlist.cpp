#include "acl/allowlist.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

/// Every path under dir, hidden ones too, with the bytes of each file: what a failed save must
/// leave exactly as it was.
QStringList snapshot(const QString &dir)
{
    QStringList out;
    QDirIterator it(
        dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const bool isFile = it.fileInfo().isFile() && file.open(QIODevice::ReadOnly);
        out << it.filePath() + u' ' + QString::fromLatin1(isFile ? file.readAll().toHex() : "dir");
    }
    out.sort();
    return out;
}

/// What the directory holds before load() and save() run.
enum Setup { NoFile, File, DirectoryInPlace, Unreadable, ReadOnlyDirectory, MissingDirectory };

} // namespace

class TestAllowList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entryCheck_data();
    void entryCheck();
    void numericPart_data();
    void numericPart();
    void admitsExactly();
    void fileFormat_data();
    void fileFormat();
    void loadThenSave_data();
    void loadThenSave();
};

void TestAllowList::entryCheck_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << u"10.0.0.5"_s << true;
    QTest::newRow("all max") << u"255.255.255.255"_s << true;
    QTest::newRow("three parts") << u"10.0.0"_s << false;
    QTest::newRow("five parts") << u"10.0.0.5.6"_s << false;
    QTest::newRow("256") << u"10.0.0.256"_s << false;
    QTest::newRow("-1") << u"10.0.0.-1"_s << false;
    QTest::newRow("minus zero") << u"-0.0.0.1"_s << true;
    QTest::newRow("negative, rounds to zero") << u"-1e-999.0.0.1"_s << false;
    QTest::newRow("empty part") << u"10..0.5"_s << false;
    QTest::newRow("letter") << u"10.0.0.x"_s << false;
    QTest::newRow("&H hex") << u"&H0A.0.0.1"_s << false;
    QTest::newRow("leading blank") << u" 10.0.0.5"_s << true;
    QTest::newRow("leading zeros") << u"010.0.0.5"_s << true;
    QTest::newRow("exponent") << u"1e2.0.0.1"_s << true;
    QTest::newRow("plus sign") << u"+1.0.0.1"_s << true;
}

void TestAllowList::entryCheck()
{
    QFETCH(QString, answer);
    QFETCH(bool, valid);
    QCOMPARE(acl::isValidEntry(answer), valid);
}

void TestAllowList::numericPart_data()
{
    QTest::addColumn<QString>("part");
    QTest::addColumn<bool>("numeric");
    QTest::addColumn<double>("value");
    QTest::newRow("blanks and tab") << u" \t7\t "_s << true << 7.0;
    QTest::newRow("plus") << u"+5"_s << true << 5.0;
    QTest::newRow("minus") << u"-5"_s << true << -5.0;
    QTest::newRow("capital exponent") << u"25E1"_s << true << 250.0;
    QTest::newRow("signed exponent") << u"5e+1"_s << true << 50.0;
    QTest::newRow("negative exponent") << u"1e-1"_s << true << 0.1;
    QTest::newRow("huge exponent") << u"1e99999"_s << true << qInf();
    QTest::newRow("zero with huge exponent") << u"0e99999"_s << true << 0.0;
    QTest::newRow("empty") << QString() << false << 0.0;
    QTest::newRow("exponent without digits") << u"1e+"_s << false << 0.0;
    QTest::newRow("double sign") << u"+-1"_s << false << 0.0;
    QTest::newRow("blank inside") << u"1 0"_s << false << 0.0;
    QTest::newRow("newline is no blank") << u"1\n"_s << false << 0.0;
    // Notations Qt's own parsers would take.
    QTest::newRow("0x hex") << u"0x0A"_s << false << 0.0;
    QTest::newRow("nan") << u"nan"_s << false << 0.0;
    QTest::newRow("full-width digit") << u"\uff11"_s << false << 0.0;
}

void TestAllowList::numericPart()
{
    QFETCH(QString, part);
    QFETCH(bool, numeric);
    QFETCH(double, value);
    double got = -12345.0;
    QCOMPARE(acl::parseNumericPart(part, &got), numeric);
    if (numeric)
        QCOMPARE(got, value);
}

void TestAllowList::admitsExactly()
{
    const QStringList entries { u" 10.0.0.5"_s, u"010.0.0.6"_s, u"127.0.0.1"_s, u"127.0.0.1"_s };
    QVERIFY(acl::admits(entries, u"127.0.0.1"_s));
    QVERIFY(!acl::admits(entries, u"10.0.0.5"_s)); // stored with its blank
    QVERIFY(!acl::admits(entries, u"10.0.0.6"_s)); // stored with a leading zero
    QVERIFY(!acl::admits(entries, u"127.0.0.1 "_s));
    QVERIFY(!acl::admits(entries, u"127.0.0.2"_s));
    QVERIFY(!acl::admits({}, u"127.0.0.1"_s));
    QVERIFY(!acl::admits({ u""_s }, u"127.0.0.1"_s));
}

void TestAllowList::fileFormat_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("asWritten"); // formatFile(entries) gives the bytes back
    QByteArray all; // every byte but the two line-end bytes
    for (int b = 0; b < 256; ++b) {
        if (b != '\r' && b != '\n')
            all.append(static_cast<char>(b));
    }
    const QStringList aToD = u"a b c d"_s.split(u' ');
    QTest::newRow("empty") << QByteArray() << QStringList() << true;
    QTest::newRow("CRLF, LF, CR, no final end") << "a\r\nb\nc\rd"_ba << aToD << false;
    QTest::newRow("lone CR at the end") << "a\rb\r"_ba << aToD.first(2) << false;
    QTest::newRow("LF CR is two ends")
        << "a\n\rb"_ba << QStringList { u"a"_s, {}, u"b"_s } << false;
    QTest::newRow("empty lines, duplicates, blanks, NUL")
        << QByteArray("\r\n 1.2.3.4\t\r\n 1.2.3.4\t\r\na\0b\r\n\r\n", 31)
        << QStringList { {}, u" 1.2.3.4\t"_s, u" 1.2.3.4\t"_s, u"a\u0000b"_s, {} } << true;
    QTest::newRow("every byte, as Latin-1")
        << all + "\r\n" + all.right(128) + "\r\n"
        << QStringList { QString::fromLatin1(all), QString::fromLatin1(all.right(128)) } << true;
}

void TestAllowList::fileFormat()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, entries);
    QFETCH(bool, asWritten);
    QCOMPARE(acl::parseFile(bytes), entries);
    if (asWritten)
        QCOMPARE(acl::formatFile(entries), bytes);
}

void TestAllowList::loadThenSave_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QStringList>("entries"); // loaded
    QTest::addColumn<QString>("loadError"); // a word of the reason; empty: load is ok
    QTest::addColumn<bool>("saves");
    const QStringList one { u"127.0.0.1"_s };
    QTest::newRow("no file") << int(NoFile) << QStringList() << QString() << true;
    QTest::newRow("mixed line ends")
        << int(File) << QStringList { u"127.0.0.1"_s, {}, u"\u00e9"_s, u"10.0.0.5"_s } << QString()
        << true;
    // Works as root too: a directory in the file's place can neither be read nor replaced.
    QTest::newRow("directory in its place")
        << int(DirectoryInPlace) << QStringList() << u"directory"_s << false;
    QTest::newRow("unreadable") << int(Unreadable) << QStringList() << u"ermission"_s << false;
    QTest::newRow("read-only directory") << int(ReadOnlyDirectory) << one << QString() << false;
    QTest::newRow("missing directory")
        << int(MissingDirectory) << QStringList() << QString() << false;
}

void TestAllowList::loadThenSave()
{
    QFETCH(int, setup);
    QFETCH(QStringList, entries);
    QFETCH(QString, loadError);
    QFETCH(bool, saves);
    if ((setup == Unreadable || setup == ReadOnlyDirectory) && ::geteuid() == 0)
        QSKIP("root reads and writes whatever the permissions");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = setup == MissingDirectory ? dir.filePath(u"gone"_s) : dir.path();
    const QString path = QDir(target).filePath(u"IPs.txt"_s);
    if (setup == DirectoryInPlace)
        QVERIFY(QDir().mkpath(path + u"/keep"_s));
    if (setup == File)
        QVERIFY(writeFile(path, "127.0.0.1\n\r\n\xe9\r10.0.0.5"_ba));
    if (setup == Unreadable || setup == ReadOnlyDirectory)
        QVERIFY(writeFile(path, "127.0.0.1\r\n"_ba));
    if (setup == Unreadable)
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    const auto permissions = QFile::permissions(target);
    if (setup == ReadOnlyDirectory)
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(target, permissions); });

    const acl::LoadResult loaded = acl::load(target);
    QCOMPARE(loaded.ok, loadError.isEmpty());
    QCOMPARE(loaded.exists, setup != NoFile && setup != MissingDirectory);
    QCOMPARE(loaded.entries, entries);
    if (loaded.ok)
        QVERIFY(loaded.error.isEmpty());
    else
        QVERIFY2(loaded.error.contains(u"IPs.txt"_s) && loaded.error.contains(loadError),
            qPrintable(loaded.error));
    if (setup == Unreadable)
        return; // whether to save over it is the window's decision

    // Over an existing file, an empty list must leave an empty file.
    const QStringList list = setup == File
        ? QStringList()
        : QStringList { u"127.0.0.1"_s, {}, u" 10.0.0.5"_s, u"127.0.0.1"_s, u"\u00ff\u0080"_s };
    const QStringList before = snapshot(dir.path());
    const acl::SaveResult saved = acl::save(target, list);
    QCOMPARE(saved.ok, saves);
    if (saves) { // the file holds exactly the list; no temporary file is left behind
        const QByteArray bytes =
            setup == File ? ""_ba : "127.0.0.1\r\n\r\n 10.0.0.5\r\n127.0.0.1\r\n\xff\x80\r\n"_ba;
        QCOMPARE(
            snapshot(dir.path()), QStringList { path + u' ' + QString::fromLatin1(bytes.toHex()) });
        const acl::LoadResult reloaded = acl::load(target);
        QVERIFY(reloaded.ok && reloaded.exists);
        QCOMPARE(reloaded.entries, list);
    } else {
        QVERIFY2(saved.error.contains(QDir::toNativeSeparators(path)), qPrintable(saved.error));
        QCOMPARE(snapshot(dir.path()), before);
    }
}

QTEST_APPLESS_MAIN(TestAllowList)
#include "tst_allowlist.moc"
