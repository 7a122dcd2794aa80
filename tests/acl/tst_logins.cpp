// Logins: the guessing limit on its own (time given), then the checker against a real users
// file, results on the caller's thread, the cache and its drop, a requester gone; and the cost
// of a login without and with the cache, printed once.

#include "acl/logins.h"
#include "acl/users.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using acl::GuessingLimit;
using acl::LoginOutcome;

class tst_Logins final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void guessingLimit_data();
    void guessingLimit();
    void guessingLimitFlood();
    void checks();
    void cost();

private:
    /// Runs one check to its end; the outcome, or -1 if none came.
    static acl::LoginResult login(acl::Logins &logins, const QByteArray &name,
        const QByteArray &password, const QHostAddress &client = QHostAddress(u"10.0.0.1"_s));
};

void tst_Logins::guessingLimit_data()
{
    // Failures at the given seconds from one address ("a") or another ("b"); then, at `at`,
    // whether each address is refused. "!" marks the failures that must start an episode.
    QTest::addColumn<QStringList>("failures");
    QTest::addColumn<int>("at");
    QTest::addColumn<bool>("aBlocked");
    QTest::addColumn<bool>("bBlocked");
    QTest::newRow("four") << QStringList { u"a0"_s, u"a1"_s, u"a2"_s, u"a3"_s } << 4 << false
                          << false;
    QTest::newRow("five in a minute")
        << QStringList { u"a0"_s, u"a1"_s, u"a2"_s, u"a3"_s, u"!a59"_s } << 59 << true << false;
    QTest::newRow("until the minute ends")
        << QStringList { u"a0"_s, u"a1"_s, u"a2"_s, u"a3"_s, u"!a4"_s } << 60 << false << false;
    QTest::newRow("more while refused: one episode")
        << QStringList { u"a0"_s, u"a0"_s, u"a0"_s, u"a0"_s, u"!a0"_s, u"a1"_s, u"a2"_s } << 30
        << true << false;
    QTest::newRow("spread over two minutes")
        << QStringList { u"a0"_s, u"a20"_s, u"a40"_s, u"a59"_s, u"a60"_s, u"a61"_s, u"a62"_s } << 63
        << false << false;
    QTest::newRow("next episode") << QStringList { u"a0"_s, u"a0"_s, u"a0"_s, u"a0"_s, u"!a0"_s,
        u"a60"_s, u"a60"_s, u"a61"_s, u"a61"_s, u"!a62"_s }
                                  << 100 << true << false;
    QTest::newRow("two addresses")
        << QStringList { u"a0"_s, u"b0"_s, u"a1"_s, u"b1"_s, u"a2"_s, u"a3"_s, u"!a4"_s, u"b4"_s }
        << 5 << true << false;
}

void tst_Logins::guessingLimit()
{
    QFETCH(QStringList, failures);
    QFETCH(int, at);
    QFETCH(bool, aBlocked);
    QFETCH(bool, bBlocked);
    const GuessingLimit::Clock::time_point start {};
    const QHostAddress a(u"2001:db8:1:2::1"_s), b(u"192.0.2.1"_s);
    GuessingLimit limit;
    for (QString failure : failures) {
        const bool starts = failure.startsWith(u'!');
        if (starts)
            failure.remove(0, 1);
        const QHostAddress &who = failure.startsWith(u'a') ? a : b;
        QCOMPARE(
            limit.recordFailure(who, start + std::chrono::seconds(failure.mid(1).toInt())), starts);
    }
    const auto when = start + std::chrono::seconds(at);
    QCOMPARE(limit.isBlocked(a, when), aBlocked);
    QCOMPARE(limit.isBlocked(QHostAddress(u"2001:db8:1:2::ffff"_s), when), aBlocked); // same /64
    QCOMPARE(limit.isBlocked(QHostAddress(u"2001:db8:1:3::1"_s), when), false);
    QCOMPARE(limit.isBlocked(b, when), bBlocked);
    QCOMPARE(limit.isBlocked(QHostAddress(u"::ffff:192.0.2.1"_s), when), bBlocked);
}

void tst_Logins::guessingLimitFlood()
{
    GuessingLimit limit;
    const GuessingLimit::Clock::time_point now {};
    const QHostAddress guesser(u"198.51.100.1"_s);
    for (int i = 0; i < GuessingLimit::MaxFailures; ++i)
        limit.recordFailure(guesser, now);
    for (quint32 i = 0; i < 100000; ++i)
        limit.recordFailure(QHostAddress(0x0a000000 + i), now + 1s);
    QVERIFY(limit.tracked() <= GuessingLimit::MaxTracked);
    QVERIFY(limit.isBlocked(guesser, now + 2s)); // a flood does not set a guesser free
}

acl::LoginResult tst_Logins::login(acl::Logins &logins, const QByteArray &name,
    const QByteArray &password, const QHostAddress &client)
{
    std::optional<acl::LoginResult> result;
    QObject receiver;
    const quint64 id = logins.check(
        name, password, client, &receiver, [&result](const acl::LoginResult &r) { result = r; });
    if (result) // never inside check()
        return { 0, LoginOutcome::Rejected, false, false };
    if (!QTest::qWaitFor([&result] { return result.has_value(); }, 30000))
        return { 0, LoginOutcome::Rejected, false, false };
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

    const auto outcome = [](const acl::LoginResult &r) {
        return QStringList { QString::number(int(r.outcome)), r.cached ? u"cached"_s : u""_s,
            r.blockStarted ? u"blocks"_s : u""_s };
    };
    const QStringList accepted { u"0"_s, {}, {} }, cached { u"0"_s, u"cached"_s, {} },
        rejected { u"1"_s, {}, {} };
    QCOMPARE(outcome(login(logins, "alice", "right")), accepted);
    QCOMPARE(outcome(login(logins, "alice", "right")), cached);
    QCOMPARE(outcome(login(logins, "alice", "wrong")), rejected);
    QCOMPARE(outcome(login(logins, "alice", "right")), cached); // a wrong one did not drop it
    QCOMPARE(outcome(login(logins, "nobody", "right")), rejected);

    // A new password drops the cached login; removing the user too.
    QCOMPARE(users.setPassword("alice", "new", acl::HashCost::Minimal), QString());
    QCOMPARE(outcome(login(logins, "alice", "right")), rejected);
    QCOMPARE(outcome(login(logins, "alice", "new")), accepted);
    QCOMPARE(users.remove("alice"), QString());
    QCOMPARE(outcome(login(logins, "alice", "new")), rejected);

    // The fifth failure from 10.0.0.1 starts a refusal, even of the right password; others go on.
    QCOMPARE(users.setPassword("bob", "pw", acl::HashCost::Minimal), QString());
    QCOMPARE(outcome(login(logins, "bob", "nope")), (QStringList { u"1"_s, {}, u"blocks"_s }));
    QCOMPARE(outcome(login(logins, "bob", "pw")), (QStringList { u"2"_s, {}, {} }));
    QCOMPARE(outcome(login(logins, "bob", "pw", QHostAddress(u"10.0.0.2"_s))), accepted);
    now += GuessingLimit::Window;
    QCOMPARE(outcome(login(logins, "bob", "pw")), cached);

    // A cancelled check and one whose requester is gone are never delivered.
    bool called = false;
    auto *gone = new QObject;
    logins.check(
        "bob", "x", QHostAddress(u"10.0.0.3"_s), gone, [&called](auto &) { called = true; });
    delete gone;
    QObject here;
    const quint64 id = logins.check(
        "bob", "y", QHostAddress(u"10.0.0.3"_s), &here, [&called](auto &) { called = true; });
    logins.cancel(id);
    QTRY_COMPARE(logins.pending(), 0);
    QVERIFY(!called);
}

void tst_Logins::cost()
{
    QTemporaryDir dir;
    acl::Users users(dir.path());
    QCOMPARE(users.setPassword("carol", "correct horse"), QString()); // the real cost
    acl::Logins logins(users);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(int(login(logins, "carol", "correct horse").outcome), int(LoginOutcome::Accepted));
    const qint64 cold = timer.nsecsElapsed();
    constexpr int Warm = 1000;
    timer.restart();
    for (int i = 0; i < Warm; ++i)
        QVERIFY(login(logins, "carol", "correct horse").cached);
    const qint64 warm = timer.nsecsElapsed() / Warm;
    std::printf("login cost: cold %.1f ms, warm %.1f us\n", double(cold) / 1e6, double(warm) / 1e3);
    QVERIFY(warm * 20 < cold);
}

QTEST_GUILESS_MAIN(tst_Logins)
#include "tst_logins.moc"
