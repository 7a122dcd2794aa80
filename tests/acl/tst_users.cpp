// The users file: its format (any name bytes survive, malformed lines are refused), and the
// store's edits on disk (private, atomic, never over a file it could not read).

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
    void format_data();
    void format();
    void edits();
};

void tst_Users::format_data()
{
    // A name and how it is written; or a malformed file (no name) and its bad line's number.
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("written");
    const auto row = [](const char *tag, const QByteArray &name, const QByteArray &written) {
        QTest::newRow(tag) << name << written;
    };
    row("plain", "alice", "alice");
    row("separator and escape", "a:b%c", "a%3Ab%25c");
    row("comment mark first", "#root", "%23root");
    row("line ends, NUL", QByteArray("x\r\n\0y", 5), "x%0D%0A%00y");
    row("UTF-8 and bytes above 127", u"bürger"_s.toUtf8() + '\xff', "b%C3%BCrger%FF");
    row("longest", QByteArray(255, ' '), QByteArray("%20").repeated(255));
    row("no separator", {}, "# c\nalice\n2");
    row("empty name", {}, ":" + Hash + "\n1");
    row("name too long", {}, QByteArray("%20").repeated(256) + ':' + Hash + "\n1");
    row("cut escape", {}, "a%4:" + Hash + "\n1");
    row("not hex", {}, "\nok:" + Hash + "\na%zz:" + Hash + "\n3");
    row("not argon2id", {}, "bob:$2y$10$abc\n1");
    row("plain password", {}, "bob:secret\n1");
}

void tst_Users::format()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, written);
    if (name.isEmpty()) {
        int line = 0;
        QVERIFY(!acl::parseUsers(written.first(written.lastIndexOf('\n')), &line));
        QCOMPARE(line, written.sliced(written.lastIndexOf('\n') + 1).toInt());
        return;
    }
    const acl::UserMap users { { name, Hash }, { "zed", Hash } };
    const QByteArray file = acl::formatUsers(users);
    QVERIFY(file.contains('\n' + written + ':' + Hash + '\n'));
    QCOMPARE(acl::parseUsers(file), users);
    QCOMPARE(acl::parseUsers(QByteArray(file).replace("\n", "\r\n")), users);
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
    QVERIFY(acl::verifyPassword(*users.hashOf("alice"), "one"));
    QVERIFY(!acl::verifyPassword(*users.hashOf("alice"), "one\n"));

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
