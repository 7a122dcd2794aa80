#include "acl/allowlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

class TestAllowList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entryCheck_data();
    void entryCheck();
    void numericPart_data();
    void numericPart();
    void admitsExactly();

    void parse_data();
    void parse();
    void formatRoundTrip_data();
    void formatRoundTrip();
    void everyByteSurvives();

    void loadMissingFile();
    void loadExistingFile();
    void loadDirectoryNamedLikeTheFile();
    void loadUnreadableFile();
    void saveAndLoadAgain();
    void saveIntoMissingDirectory();
    void saveIntoReadOnlyDirectoryKeepsOldFile();
    void saveOverDirectoryNamedLikeTheFile();
};

void TestAllowList::entryCheck_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("valid");

    QTest::newRow("plain") << u"10.0.0.5"_s << true;
    QTest::newRow("all zero") << u"0.0.0.0"_s << true;
    QTest::newRow("all max") << u"255.255.255.255"_s << true;
    QTest::newRow("three parts") << u"10.0.0"_s << false;
    QTest::newRow("five parts") << u"10.0.0.5.6"_s << false;
    QTest::newRow("256") << u"10.0.0.256"_s << false;
    QTest::newRow("-1") << u"10.0.0.-1"_s << false;
    QTest::newRow("empty part") << u"10..0.5"_s << false;
    QTest::newRow("empty last part") << u"10.0.0."_s << false;
    QTest::newRow("letter") << u"10.0.0.x"_s << false;
    QTest::newRow("&H hex") << u"&H0A.0.0.1"_s << false;
    QTest::newRow("0x hex") << u"0x0A.0.0.1"_s << false;
    QTest::newRow("leading blank") << u" 10.0.0.5"_s << true;
    QTest::newRow("blanks around parts") << u"10 . 0\t.0 .5 "_s << true;
    QTest::newRow("blank inside part") << u"1 0.0.0.5"_s << false;
    QTest::newRow("exponent") << u"1e2.0.0.1"_s << true;
    QTest::newRow("exponent too big") << u"3e2.0.0.1"_s << false;
    QTest::newRow("plus sign") << u"+1.0.0.1"_s << true;
    QTest::newRow("minus zero") << u"-0.0.0.1"_s << true;
    QTest::newRow("leading zeros") << u"010.0.0.5"_s << true;
    QTest::newRow("fractional via exponent") << u"1e-1.0.0.1"_s << true;
    QTest::newRow("negative fraction") << u"-1e-1.0.0.1"_s << false;
    QTest::newRow("empty answer") << QString() << false;
    QTest::newRow("three dots only") << u"..."_s << false;
    QTest::newRow("full-width digit") << u"\uff11.0.0.1"_s << false;
    QTest::newRow("IPv6") << u"::1"_s << false;
    QTest::newRow("inf") << u"inf.0.0.1"_s << false;
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

    QTest::newRow("digits") << u"42"_s << true << 42.0;
    QTest::newRow("blanks and tab") << u" \t7\t "_s << true << 7.0;
    QTest::newRow("plus") << u"+5"_s << true << 5.0;
    QTest::newRow("minus") << u"-5"_s << true << -5.0;
    QTest::newRow("exponent") << u"1e2"_s << true << 100.0;
    QTest::newRow("capital exponent") << u"25E1"_s << true << 250.0;
    QTest::newRow("signed exponent") << u"5e+1"_s << true << 50.0;
    QTest::newRow("negative exponent") << u"1e-1"_s << true << 0.1;
    QTest::newRow("huge exponent") << u"1e99999"_s << true << qInf();
    QTest::newRow("zero with huge exponent") << u"0e99999"_s << true << 0.0;
    QTest::newRow("empty") << QString() << false << 0.0;
    QTest::newRow("blanks only") << u"  "_s << false << 0.0;
    QTest::newRow("sign only") << u"-"_s << false << 0.0;
    QTest::newRow("exponent without digits") << u"1e"_s << false << 0.0;
    QTest::newRow("exponent sign only") << u"1e+"_s << false << 0.0;
    QTest::newRow("exponent only") << u"e2"_s << false << 0.0;
    QTest::newRow("&H") << u"&H0A"_s << false << 0.0;
    QTest::newRow("double sign") << u"+-1"_s << false << 0.0;
    QTest::newRow("blank after sign") << u"- 1"_s << false << 0.0;
    QTest::newRow("nan") << u"nan"_s << false << 0.0;
    QTest::newRow("trailing letter") << u"12a"_s << false << 0.0;
    QTest::newRow("newline is no blank") << u"1\n"_s << false << 0.0;
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

void TestAllowList::parse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("CRLF") << "10.0.0.5\r\n127.0.0.1\r\n"_ba
                          << QStringList { u"10.0.0.5"_s, u"127.0.0.1"_s };
    QTest::newRow("LF only") << "10.0.0.5\n127.0.0.1\n"_ba
                             << QStringList { u"10.0.0.5"_s, u"127.0.0.1"_s };
    QTest::newRow("lone CR") << "10.0.0.5\r127.0.0.1\r"_ba
                             << QStringList { u"10.0.0.5"_s, u"127.0.0.1"_s };
    QTest::newRow("mixed ends") << "a\r\nb\nc\rd"_ba
                                << QStringList { u"a"_s, u"b"_s, u"c"_s, u"d"_s };
    QTest::newRow("no final line end")
        << "10.0.0.5\r\n127.0.0.1"_ba << QStringList { u"10.0.0.5"_s, u"127.0.0.1"_s };
    QTest::newRow("empty line inside")
        << "a\r\n\r\nb\r\n"_ba << QStringList { u"a"_s, QString(), u"b"_s };
    QTest::newRow("only a line end") << "\r\n"_ba << QStringList { QString() };
    QTest::newRow("two line ends") << "\r\n\r\n"_ba << QStringList { QString(), QString() };
    QTest::newRow("LF CR is two ends") << "a\n\rb"_ba << QStringList { u"a"_s, QString(), u"b"_s };
    QTest::newRow("duplicates") << "1.2.3.4\r\n1.2.3.4\r\n"_ba
                                << QStringList { u"1.2.3.4"_s, u"1.2.3.4"_s };
    QTest::newRow("blanks kept") << " 10.0.0.5 \t\r\n"_ba << QStringList { u" 10.0.0.5 \t"_s };
    QTest::newRow("NUL kept") << QByteArray("a\0b\r\n", 5) << QStringList { u"a\u0000b"_s };
}

void TestAllowList::parse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, entries);
    QCOMPARE(acl::parseFile(bytes), entries);
}

void TestAllowList::formatRoundTrip_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty list") << QStringList() << QByteArray();
    QTest::newRow("one") << QStringList { u"10.0.0.5"_s } << "10.0.0.5\r\n"_ba;
    QTest::newRow("empty entries")
        << QStringList { QString(), u"a"_s, QString() } << "\r\na\r\n\r\n"_ba;
    QTest::newRow("duplicates and blanks")
        << QStringList { u" 1.2.3.4"_s, u" 1.2.3.4"_s } << " 1.2.3.4\r\n 1.2.3.4\r\n"_ba;
    QTest::newRow("high bytes") << QStringList { u"\u00e9\u00ff\u0080"_s } << "\xe9\xff\x80\r\n"_ba;
}

void TestAllowList::formatRoundTrip()
{
    QFETCH(QStringList, entries);
    QFETCH(QByteArray, bytes);
    QCOMPARE(acl::formatFile(entries), bytes);
    QCOMPARE(acl::parseFile(bytes), entries);
}

void TestAllowList::everyByteSurvives()
{
    // Every byte except the two line-end bytes, in one line, comes back byte for byte.
    QByteArray line;
    for (int b = 0; b < 256; ++b) {
        if (b != '\r' && b != '\n')
            line.append(static_cast<char>(b));
    }
    const QByteArray file = line + "\r\n" + line.right(128) + "\r\n";
    const QStringList entries = acl::parseFile(file);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0).size(), line.size());
    QCOMPARE(acl::formatFile(entries), file);
}

void TestAllowList::loadMissingFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const acl::LoadResult result = acl::load(dir.path());
    QVERIFY(result.ok);
    QVERIFY(!result.exists);
    QVERIFY(result.entries.isEmpty());
    QVERIFY(result.error.isEmpty());
}

void TestAllowList::loadExistingFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(u"IPs.txt"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("127.0.0.1\n\r\n\xe9\r10.0.0.5");
    file.close();

    const acl::LoadResult result = acl::load(dir.path());
    QVERIFY(result.ok);
    QVERIFY(result.exists);
    QCOMPARE(
        result.entries, (QStringList { u"127.0.0.1"_s, QString(), u"\u00e9"_s, u"10.0.0.5"_s }));
}

void TestAllowList::loadDirectoryNamedLikeTheFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(u"IPs.txt"_s));
    const acl::LoadResult result = acl::load(dir.path());
    QVERIFY(!result.ok);
    QVERIFY(result.exists);
    QVERIFY(result.entries.isEmpty());
    QVERIFY2(result.error.contains(u"IPs.txt"_s), qPrintable(result.error));
    QVERIFY2(result.error.contains(u"directory"_s), qPrintable(result.error));
}

void TestAllowList::loadUnreadableFile()
{
    if (::geteuid() == 0)
        QSKIP("root reads files whatever their permissions");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(u"IPs.txt"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("127.0.0.1\r\n");
    file.close();
    QVERIFY(file.setPermissions(QFileDevice::WriteOwner));

    const acl::LoadResult result = acl::load(dir.path());
    QVERIFY(!result.ok);
    QVERIFY(result.exists);
    QVERIFY2(result.error.contains(u"IPs.txt"_s), qPrintable(result.error));
    QVERIFY2(result.error.contains(u"ermission"_s), qPrintable(result.error));
}

void TestAllowList::saveAndLoadAgain()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList entries { u"127.0.0.1"_s, QString(), u" 10.0.0.5"_s, u"127.0.0.1"_s,
        u"\u00ff\u0080"_s };
    QVERIFY(acl::save(dir.path(), entries).ok);

    QFile file(dir.filePath(u"IPs.txt"_s));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), "127.0.0.1\r\n\r\n 10.0.0.5\r\n127.0.0.1\r\n\xff\x80\r\n"_ba);
    file.close();
    QCOMPARE(acl::load(dir.path()).entries, entries);

    // Overwriting with an empty list leaves an empty file, and no temporary file behind.
    QVERIFY(acl::save(dir.path(), {}).ok);
    QCOMPARE(QFileInfo(file).size(), 0);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { u"IPs.txt"_s });
    const acl::LoadResult reloaded = acl::load(dir.path());
    QVERIFY(reloaded.ok);
    QVERIFY(reloaded.exists);
    QVERIFY(reloaded.entries.isEmpty());
}

void TestAllowList::saveIntoMissingDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath(u"gone"_s);
    const acl::SaveResult result = acl::save(missing, { u"127.0.0.1"_s });
    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(u"IPs.txt"_s), qPrintable(result.error));
    QVERIFY2(result.error.contains(u"gone"_s), qPrintable(result.error));
    QVERIFY(!QFileInfo::exists(missing));
}

void TestAllowList::saveIntoReadOnlyDirectoryKeepsOldFile()
{
    if (::geteuid() == 0)
        QSKIP("root writes into directories whatever their permissions");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(acl::save(dir.path(), { u"127.0.0.1"_s }).ok);
    QFile folder(dir.path());
    const auto permissions = folder.permissions();
    QVERIFY(folder.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));

    const acl::SaveResult result = acl::save(dir.path(), { u"10.0.0.5"_s });
    QVERIFY(folder.setPermissions(permissions));
    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(u"IPs.txt"_s), qPrintable(result.error));
    QCOMPARE(acl::load(dir.path()).entries, QStringList { u"127.0.0.1"_s });
}

void TestAllowList::saveOverDirectoryNamedLikeTheFile()
{
    // Works as root too: a directory in the file's place cannot be replaced, and what is in it
    // stays untouched.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(u"IPs.txt/keep"_s));
    const acl::SaveResult result = acl::save(dir.path(), { u"127.0.0.1"_s });
    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(u"IPs.txt"_s), qPrintable(result.error));
    QVERIFY(QFileInfo(dir.filePath(u"IPs.txt/keep"_s)).isDir());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList { u"IPs.txt"_s });
}

QTEST_APPLESS_MAIN(TestAllowList)
#include "tst_allowlist.moc"
