#pragma once

#include "guessinglimit.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <functional>
#include <sodium.h>

namespace acl {

class Users;

/// Successful logins remembered as keyed hashes (BLAKE2b with a key made at random for this run)
/// of name and password, one per user: a repeated login is checked in microseconds, and the
/// memory holds no password and nothing a slow hash would protect better.
class LoginCache final
{
public:
    LoginCache();
    bool contains(const QByteArray &name, const QByteArray &password) const;
    void insert(const QByteArray &name, const QByteArray &password);
    void drop(const QByteArray &name) { m_digests.remove(name); }

private:
    QByteArray digest(const QByteArray &name, const QByteArray &password) const;

    unsigned char m_key[crypto_generichash_KEYBYTES];
    QHash<QByteArray, QByteArray> m_digests;
};

enum class LoginOutcome {
    Accepted, ///< a user with this password
    Rejected, ///< an unknown name or a wrong password (counted by the guessing limit)
    Blocked, ///< the address is refused for guessing; the password was not checked
};

struct LoginResult
{
    quint64 id = 0; ///< what check() returned
    LoginOutcome outcome = LoginOutcome::Rejected;
    /// This failure made the address refused: the one time to log that it is.
    bool blockStarted = false;
    bool cached = false; ///< accepted from the cache, without the slow hash
};

/// Checks logins against the users: the slow hash runs on worker threads, never on the caller's;
/// the guessing limit and the cache of successful logins are applied first. Lives on the thread
/// that calls it; results come back there, always later (never inside check()).
class Logins final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Logins)

public:
    using Clock = GuessingLimit::Clock;
    using Callback = std::function<void(const LoginResult &)>;

    /// users: the list to check against (a change to a user drops that user's cached login);
    /// clock: the time for the guessing limit.
    explicit Logins(Users &users, std::function<Clock::time_point()> clock = &Clock::now,
        QObject *parent = nullptr);
    /// Waits for the checks still running on workers; their results are not delivered.
    ~Logins() override;

    /// Whether there is anyone to log in as. With no users nobody is asked for a password.
    bool hasUsers() const;
    /// Checks name and password for a client at client's address. done runs once on this
    /// object's thread, unless receiver is gone by then or the check is cancelled. Returns the
    /// check's id (never 0).
    quint64 check(const QByteArray &name, const QByteArray &password, const QHostAddress &client,
        QObject *receiver, Callback done);
    /// Forgets a check: its result is never delivered (a client that went away).
    void cancel(quint64 id) { m_pending.remove(id); }
    /// Checks still waiting for their result.
    qsizetype pending() const { return m_pending.size(); }

private:
    struct Pending
    {
        QByteArray name;
        QByteArray password;
        QHostAddress client;
        QPointer<QObject> receiver;
        Callback done;
    };
    void verify(quint64 id, const QByteArray &hash);
    void verified(quint64 id, const QByteArray &hash, bool matches);
    /// Delivers later, on this thread, so that a caller never sees its callback inside check().
    void deliverLater(LoginResult result);

    Users &m_users;
    std::function<Clock::time_point()> m_clock;
    GuessingLimit m_limit;
    LoginCache m_cache;
    QHash<quint64, Pending> m_pending;
    quint64 m_nextId = 1;
    QThreadPool m_workers;
};

} // namespace acl
