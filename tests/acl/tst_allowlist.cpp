// The allow-list: the Add check, which clients each form of entry admits (also after edits),
// the IPs.txt format, and load and atomic save against real files.

#include "acl/allowlist.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_AllowList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void addCheck();
    void admits_data();
    void admits();
    void fileFormat();
    void loadAndSave();
};

void tst_AllowList::addCheck()
{
    // Without "/" or ":" the old rule: four parts, each a number from 0 to 255 with an optional
    // sign, an optional exponent and blanks around it. With them, the range forms only.
    const QStringList valid { u"10.0.0.5"_s, u" 10.\t0\t .0.5 "_s, u"010.0.0.5"_s,
        u"0000000000000000000000000000000000000255.0.0.1"_s, u"1e2.25E1.5e+1.1e-1"_s,
        u"+1.-0.+0.0e99999"_s, u"10.0.0.0/8"_s, u"0.0.0.0/0"_s, u"192.168.1.5/24"_s, u"::1"_s,
        u"fd00::/8"_s, u"::ffff:1.2.3.4/128"_s, u"::/0"_s };
    const QStringList invalid { u"10.0.0"_s, u"10.0.0.5.6"_s, u"10.0.0.256"_s, u"-1e-999.0.0.1"_s,
        u"10..0.5"_s, u"&H0A.0.0.1"_s, u"1 0.0.0.5"_s, u"26e1.0.0.1"_s, u"1e99999.0.0.1"_s,
        u"1e+.0.0.1"_s, u"0x0A.0.0.1"_s, u"nan.0.0.1"_s, u"inf.0.0.1"_s, u"\uff11.0.0.1"_s,
        u"1,5.0.0.1"_s, u"10.0.0.0/33"_s, u"10.0.0.0/"_s, u"10.0.0/8"_s, u"10.0.0.01/8"_s,
        u" 10.0.0.0/8"_s, u"10.0.0.0/08"_s, u"::g"_s, u"fe80::1%eth0"_s, u"::1/129"_s, u" ::1"_s,
        u"[::1]"_s, u"1.2.3.4:80"_s, u"::1/"_s, u"/8"_s };
    for (const QString &answer : valid)
        QVERIFY2(acl::isValidEntry(answer), qPrintable(answer));
    for (const QString &answer : invalid)
        QVERIFY2(!acl::isValidEntry(answer), qPrintable(answer));
}

void tst_AllowList::admits_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("admitted"); // clients, blank-separated
    QTest::addColumn<QString>("refused");
    const char *rows[][3] = { { "10.0.0.5", "10.0.0.5 ::ffff:10.0.0.5", "10.0.0.6 ::a00:5" },
        { " 10.0.0.5", "", "10.0.0.5" }, { "010.0.0.5", "", "10.0.0.5 8.0.0.5" },
        { "192.168.1.5/24", "192.168.1.0 192.168.1.255", "192.168.0.255 192.168.2.0" },
        { "10.0.0.5/32", "10.0.0.5", "10.0.0.4 10.0.0.6" },
        { "0.0.0.0/0", "0.0.0.0 255.255.255.255 ::ffff:1.2.3.4", ":: ::1" },
        { "::1", "::1", "127.0.0.1 ::2 ::" }, { "2001:db8::5/128", "2001:db8:0::5", "2001:db8::4" },
        { "fd00::/8", "fd00:: fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "fc00:: fe00::" },
        { "::/0", ":: ffff:: fe80::1%eth0", "0.0.0.0 10.0.0.5" },
        { "::ffff:10.0.0.0/104", "10.1.2.3", "11.0.0.0 ::a00:0" }, // mapped IPv4 is IPv4
        { "10.0.0.0/33", "", "10.0.0.0" }, { "fe80::1%eth0", "", "fe80::1" } };
    for (const auto &[entry, admitted, refused] : rows)
        QTest::newRow(entry) << QString::fromLatin1(entry) << QString::fromLatin1(admitted)
                             << QString::fromLatin1(refused);
}

void tst_AllowList::admits()
{
    QFETCH(QString, entry);
    QFETCH(QString, admitted);
    QFETCH(QString, refused);
    // Reached through every edit, since each must work the ranges out again: a twin removed
    // leaves the other, and the last one removed admits nobody.
    acl::AllowList list;
    list.setEntries({ u"10.9.9.9"_s, entry });
    list.append(entry);
    list.removeAt(0);
    list.append(u"garbage"_s);
    list.removeAt(1); // the list: entry, "garbage"
    for (const QString &client : admitted.split(u' ', Qt::SkipEmptyParts))
        QVERIFY2(list.admits(QHostAddress(client)), qPrintable(client));
    for (const QString &client : refused.split(u' ', Qt::SkipEmptyParts) + QStringList { {} })
        QVERIFY2(!list.admits(QHostAddress(client)), qPrintable(client));
    list.removeAt(0);
    QVERIFY(admitted.isEmpty() || !list.admits(QHostAddress(admitted.section(u' ', 0, 0))));
    QVERIFY(!list.admits(QHostAddress(u"10.9.9.9"_s)));
}

void tst_AllowList::fileFormat()
{
    // Lines end at CR LF, LF or a lone CR; the last may have none; an empty line is an entry.
    QCOMPARE(acl::parseFile("a\r\nb\nc\rd\n\re"_ba), u"a b c d  e"_s.split(u' '));
    QCOMPARE(acl::parseFile("a\rb\r"_ba), u"a b"_s.split(u' '));
    // Written back byte for byte: empty lines, blanks, a NUL and bytes beyond 7-bit text.
    const QByteArray bytes = "\r\n 1.2\t\r\n\0\x7f\xff\r\n\r\n"_ba;
    const QStringList entries { {}, u" 1.2\t"_s, QString::fromLatin1("\0\x7f\xff", 3), {} };
    QCOMPARE(acl::parseFile(bytes), entries);
    QCOMPARE(acl::formatFile(entries), bytes);
}

void tst_AllowList::loadAndSave()
{
    const auto names = [](const QString &dir) {
        return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    };
    // What is written, and read back, the window's edits check; here: a save through a temporary
    // file leaves nothing else behind.
    QTemporaryDir dir;
    const QStringList list { u"127.0.0.1"_s };
    QVERIFY(acl::save(dir.path(), list).ok);
    const QString path = dir.filePath(u"IPs.txt"_s);
    QCOMPARE(names(dir.path()), QStringList(u"IPs.txt"_s));

    // Even root cannot replace a directory in the file's place (the window shows a file it
    // cannot read): a failed save leaves everything as it was.
    QVERIFY(QFile::remove(path) && QDir().mkpath(path + u"/keep"_s));
    for (const QString &target : { dir.path(), dir.filePath(u"gone"_s) }) {
        const acl::SaveResult saved = acl::save(target, list);
        QVERIFY2(
            !saved.ok && saved.error.contains(target + u"/IPs.txt"_s), qPrintable(saved.error));
        QCOMPARE(names(dir.path()) + names(path), (QStringList { u"IPs.txt"_s, u"keep"_s }));
    }
}

QTEST_APPLESS_MAIN(tst_AllowList)
#include "tst_allowlist.moc"
