// The users file: its format (any name bytes survive, malformed lines are refused), the hash, and
// the store's edits on disk (private, atomic, never over a file it could not read).

#include "acl/users.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QByteArray Hash = "$argon2id$v=19$m=8,t=1,p=1$c2FsdHNhbHQ$aGFzaA";
QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}
} // namespace

class tst_Users final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void names_data();
    void names();
    void malformed_data();
    void malformed();
    void hashes();
    void edits();
};

void tst_Users::names_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("plain") << QByteArray("alice") << QByteArray("alice");
    QTest::newRow("separator and escape") << QByteArray("a:b%c") << QByteArray("a%3Ab%25c");
    QTest::newRow("comment mark first") << QByteArray("#root") << QByteArray("%23root");
    QTest::newRow("line ends, NUL") << QByteArray("x\r\n\0y", 5) << QByteArray("x%0D%0A%00y");
    QTest::newRow("UTF-8 and bytes above 127")
        << u"bürger"_s.toUtf8() + '\xff' << QByteArray("b%C3%BCrger%FF");
    QTest::newRow("longest") << QByteArray(255, ' ') << QByteArray("%20").repeated(255);
}

void tst_Users::names()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, written);
    const acl::UserMap users { { name, Hash }, { "zed", Hash } };
    const QByteArray file = acl::formatUsers(users);
    QVERIFY(file.contains('\n' + written + ':' + Hash + '\n'));
    QCOMPARE(acl::parseUsers(file), users);
    QCOMPARE(acl::parseUsers(QByteArray(file).replace("\n", "\r\n")), users);
}

void tst_Users::malformed_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("badLine");
    QTest::newRow("no separator") << QByteArray("# c\nalice\n") << 2;
    QTest::newRow("empty name") << QByteArray(":" + Hash) << 1;
    QTest::newRow("name too long") << QByteArray("%20").repeated(256) + ':' + Hash << 1;
    QTest::newRow("cut escape") << QByteArray("a%4:" + Hash) << 1;
    QTest::newRow("not hex") << QByteArray("\nok:" + Hash + "\na%zz:" + Hash) << 3;
    QTest::newRow("not argon2id") << QByteArray("bob:$2y$10$abc") << 1;
    QTest::newRow("plain password") << QByteArray("bob:secret") << 1;
}

void tst_Users::malformed()
{
    QFETCH(QByteArray, file);
    QFETCH(int, badLine);
    int line = 0;
    QVERIFY(!acl::parseUsers(file, &line));
    QCOMPARE(line, badLine);
}

void tst_Users::hashes()
{
    const QByteArray hash = acl::hashPassword("pa:ss\n", acl::HashCost::Minimal);
    QVERIFY(hash.startsWith("$argon2id$"));
    QVERIFY(!hash.contains("pa:ss"));
    QVERIFY(acl::verifyPassword(hash, "pa:ss\n"));
    QVERIFY(!acl::verifyPassword(hash, "pa:ss"));
    QVERIFY(acl::hashPassword("pa:ss\n", acl::HashCost::Minimal) != hash); // salted
}

void tst_Users::edits()
{
    QTemporaryDir dir;
    const QString sub = dir.filePath(u"config"_s); // made by the first save
    acl::Users users(sub);
    QSignalSpy changed(&users, &acl::Users::changed);
    QCOMPARE(users.load(), QString());
    QVERIFY(users.isEmpty());
    QCOMPARE(users.setPassword("alice", "one", acl::HashCost::Minimal), QString());
    QCOMPARE(users.setPassword("bob", "two", acl::HashCost::Minimal), QString());
    QCOMPARE(QFile::permissions(users.filePath()),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
            | QFileDevice::WriteUser);
    QVERIFY(!readAll(users.filePath()).contains("one"));
    QVERIFY(acl::verifyPassword(*users.hashOf("alice"), "one"));

    // Another program's edit is read before the next one, not written over.
    acl::Users other(sub);
    QCOMPARE(other.remove("alice"), QString());
    QCOMPARE(users.setPassword("bob", "three", acl::HashCost::Minimal), QString());
    QVERIFY(!users.hashOf("alice"));
    QVERIFY(acl::verifyPassword(*users.hashOf("bob"), "three"));
    QCOMPARE(changed.size(), 4); // alice, bob, alice gone, bob's new password
    QCOMPARE(changed.at(2).at(0).toByteArray(), QByteArray("alice"));
    QCOMPARE(QDir(sub).entryList(QDir::Files), QStringList(u"users.txt"_s)); // no leftovers

    // A file that cannot be parsed stays as it is; the list too.
    QFile file(users.filePath());
    QVERIFY(file.open(QIODevice::Append) && file.write("broken\n") && file.flush());
    const QByteArray before = readAll(users.filePath());
    QVERIFY(users.remove("bob").contains(u"line 3 is not a user"_s));
    QVERIFY(users.hashOf("bob"));
    QCOMPARE(readAll(users.filePath()), before);
}

QTEST_GUILESS_MAIN(tst_Users)
#include "tst_users.moc"
