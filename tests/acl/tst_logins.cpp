// Password logins: the users file's format and its store on disk (private, atomic, never over a
// file it could not read); the guessing limit (time given); the checker against a real users
// file: results on the caller's thread, the cache and its drop, a requester gone.

#include "acl/logins.h"
#include "acl/users.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using acl::GuessingLimit;

namespace {
const QByteArray Hash = "$argon2id$v=19$m=8,t=1,p=1$c2FsdHNhbHQ$aGFzaA";
QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}
} // namespace

class tst_Logins final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void format_data();
    void format();
    void edits();
    void guessingLimit_data();
    void guessingLimit();
    void guessingLimitFlood();
    void checks();
};

void tst_Logins::format_data()
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
}

void tst_Logins::format()
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

void tst_Logins::edits()
{
    // Another program's edit is read before the next one, not written over; no leftovers.
    QTemporaryDir dir;
    const QString sub = dir.filePath(u"config"_s); // made by the first save
    acl::Users users(sub), other(sub);
    QCOMPARE(users.setPassword("alice", "one", acl::HashCost::Minimal), QString());
    QCOMPARE(other.setPassword("bob", "two", acl::HashCost::Minimal), QString());
    QCOMPARE(users.remove("alice"), QString());
    QVERIFY(acl::verifyPassword(*users.hashOf("bob"), "two"));
    QCOMPARE(QDir(sub).entryList(QDir::Files), QStringList(u"users.txt"_s));
    // A file that cannot be parsed stays as it is; the list too.
    QFile file(users.filePath());
    QVERIFY(file.open(QIODevice::Append) && file.write("broken\n") && file.flush());
    const QByteArray before = fileBytes(users.filePath());
    QVERIFY(users.remove("bob").contains(u"line 3 is not a user"_s));
    QVERIFY(users.hashOf("bob"));
    QCOMPARE(fileBytes(users.filePath()), before);
}

void tst_Logins::guessingLimit_data()
{
    // Failures from address a or b at the given second ("!": this one starts a refusal); then,
    // at the last number, whether a and b are refused.
    QTest::addColumn<QString>("row");
    QTest::newRow("five in a minute") << u"a0 a1 a2 a3 !a59 | 59 1 0"_s;
    QTest::newRow("until the minute ends") << u"a0 a1 a2 a3 !a4 | 60 0 0"_s;
    QTest::newRow("more while refused: one episode") << u"a0 a0 a0 a0 !a0 a1 a2 | 30 1 0"_s;
    QTest::newRow("spread over two minutes") << u"a0 a20 a40 a59 a60 a61 a62 | 63 0 0"_s;
    QTest::newRow("next episode") << u"a0 a0 a0 a0 !a0 a60 a60 a61 a61 !a62 | 100 1 0"_s;
    QTest::newRow("two addresses") << u"a0 b0 a1 b1 a2 a3 !a4 b4 | 5 1 0"_s;
}

void tst_Logins::guessingLimit()
{
    QFETCH(QString, row);
    const QStringList f = row.split(u' ');
    const GuessingLimit::Clock::time_point start {};
    const auto at = [&start](QStringView s) { return start + std::chrono::seconds(s.toInt()); };
    const QHostAddress a(u"2001:db8:1:2::1"_s), b(u"192.0.2.1"_s);
    GuessingLimit limit;
    for (QStringView failure : f.first(f.indexOf(u"|"_s))) {
        const bool starts = failure.startsWith(u'!');
        failure = failure.sliced(starts);
        QCOMPARE(limit.recordFailure(failure[0] == u'a' ? a : b, at(failure.sliced(1))), starts);
    }
    const auto when = at(f.at(f.size() - 3));
    const bool aBlocked = f.at(f.size() - 2) == u"1", bBlocked = f.last() == u"1";
    QCOMPARE(limit.isBlocked(a, when), aBlocked);
    QCOMPARE(limit.isBlocked(QHostAddress(u"2001:db8:1:2::ffff"_s), when), aBlocked); // same /64
    QCOMPARE(limit.isBlocked(QHostAddress(u"2001:db8:1:3::1"_s), when), false);
    QCOMPARE(limit.isBlocked(QHostAddress(u"::ffff:192.0.2.1"_s), when), bBlocked);
}

void tst_Logins::guessingLimitFlood()
{
    GuessingLimit limit;
    const GuessingLimit::Clock::time_point now {};
    const QHostAddress guesser(u"198.51.100.1"_s);
    for (quint32 i = 0; i < 100000; ++i) // 5 from the guesser, then a flood of others
        limit.recordFailure(i < 5 ? guesser : QHostAddress(0x0a000000 + i), now + 1s * (i > 4));
    QVERIFY(limit.tracked() <= GuessingLimit::MaxTracked);
    QVERIFY(limit.isBlocked(guesser, now + 2s)); // a flood does not set a guesser free
}

/// Runs one check to its end; its result (a default one if none came, or it came too soon).
static acl::LoginResult login(acl::Logins &logins, const QByteArray &name,
    const QByteArray &password, const QHostAddress &client)
{
    std::optional<acl::LoginResult> result;
    QObject receiver;
    const quint64 id = logins.check(
        name, password, client, &receiver, [&result](const acl::LoginResult &r) { result = r; });
    if (result || !QTest::qWaitFor([&result] { return result.has_value(); }, 30000))
        return {}; // came inside check(), or never
    return result->id == id ? *result : acl::LoginResult {};
}

void tst_Logins::checks()
{
    QTemporaryDir dir;
    acl::Users users(dir.path());
    acl::Logins::Clock::time_point now {};
    acl::Logins logins(users, [&now] { return now; });
    QVERIFY(!logins.hasUsers());
    QCOMPARE(users.setPassword("alice", "right", acl::HashCost::Minimal), QString());
    QVERIFY(logins.hasUsers());

    // Outcome (0 accepted, 1 rejected), then c for cached. (The guessing limit: tst_access.)
    const auto outcome = [&logins](const char *name, const char *password) {
        const acl::LoginResult r = login(logins, name, password, QHostAddress(u"10.0.0.1"_s));
        return QString::number(int(r.outcome)) + (r.cached ? u"c"_s : u""_s);
    };
    QCOMPARE(outcome("alice", "right"), u"0"_s);
    QCOMPARE(outcome("alice", "right"), u"0c"_s);
    QCOMPARE(outcome("alice", "wrong"), u"1"_s);
    QCOMPARE(outcome("alice", "right"), u"0c"_s); // a wrong one did not drop it
    QCOMPARE(outcome("nobody", "right"), u"1"_s);
    // A new password drops the cached login; removing the user too.
    QCOMPARE(users.setPassword("alice", "new", acl::HashCost::Minimal), QString());
    QCOMPARE(outcome("alice", "right"), u"1"_s);
    QCOMPARE(outcome("alice", "new"), u"0"_s);
    QCOMPARE(users.remove("alice"), QString());
    QCOMPARE(outcome("alice", "new"), u"1"_s);
    // A cancelled check and one whose requester is gone are never delivered.
    bool called = false;
    const auto call = [&called](auto &) { called = true; };
    auto *gone = new QObject;
    logins.check("bob", "x", QHostAddress(u"10.0.0.3"_s), gone, call);
    delete gone;
    logins.cancel(logins.check("bob", "y", QHostAddress(u"10.0.0.3"_s), this, call));
    QTRY_COMPARE(logins.pending(), 0);
    QVERIFY(!called);
}

QTEST_GUILESS_MAIN(tst_Logins)
#include "tst_logins.moc"
