#include "logins.h"

#include "users.h"

#include <algorithm>

namespace acl {

LoginCache::LoginCache()
{
    if (sodium_init() < 0)
        qFatal("libsodium cannot be initialised");
    crypto_generichash_keygen(m_key);
}

QByteArray LoginCache::digest(const QByteArray &name, const QByteArray &password) const
{
    // The name's length first, so that no other split of the same bytes gives the same input.
    const unsigned char length = static_cast<unsigned char>(name.size());
    QByteArray out(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash_state state;
    crypto_generichash_init(&state, m_key, sizeof m_key, size_t(out.size()));
    crypto_generichash_update(&state, &length, 1);
    crypto_generichash_update(
        &state, reinterpret_cast<const unsigned char *>(name.constData()), quint64(name.size()));
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(password.constData()),
        quint64(password.size()));
    crypto_generichash_final(
        &state, reinterpret_cast<unsigned char *>(out.data()), size_t(out.size()));
    return out;
}

bool LoginCache::contains(const QByteArray &name, const QByteArray &password) const
{
    const auto found = m_digests.constFind(name);
    if (found == m_digests.cend())
        return false;
    const QByteArray wanted = digest(name, password);
    return sodium_memcmp(found->constData(), wanted.constData(), size_t(wanted.size())) == 0;
}

void LoginCache::insert(const QByteArray &name, const QByteArray &password)
{
    m_digests.insert(name, digest(name, password));
}

Logins::Logins(Users &users, std::function<Clock::time_point()> clock, QObject *parent)
    : QObject(parent), m_users(users), m_clock(std::move(clock))
{
    // Each check holds 64 MiB for tens of milliseconds: two at a time at most.
    m_workers.setMaxThreadCount(std::clamp(QThread::idealThreadCount(), 1, 2));
    connect(
        &m_users, &Users::changed, this, [this](const QByteArray &name) { m_cache.drop(name); });
}

Logins::~Logins()
{
    m_workers.clear();
    m_workers.waitForDone();
}

bool Logins::hasUsers() const
{
    return !m_users.isEmpty();
}

quint64 Logins::check(const QByteArray &name, const QByteArray &password,
    const QHostAddress &client, QObject *receiver, Callback done)
{
    const quint64 id = m_nextId++;
    m_pending.insert(id, Pending { name, password, client, receiver, std::move(done) });
    if (m_limit.isBlocked(client, m_clock())) {
        deliverLater(LoginResult { id, LoginOutcome::Blocked, false, false });
    } else if (m_cache.contains(name, password)) {
        deliverLater(LoginResult { id, LoginOutcome::Accepted, false, true });
    } else if (const std::optional<QByteArray> hash = m_users.hashOf(name)) {
        verify(id, *hash);
    } else {
        QMetaObject::invokeMethod(
            this, [this, id] { verified(id, {}, false); }, Qt::QueuedConnection);
    }
    return id;
}

void Logins::verify(quint64 id, const QByteArray &hash)
{
    const QByteArray password = m_pending.value(id).password;
    m_workers.start([this, id, hash, password] {
        const bool matches = verifyPassword(hash, password);
        QMetaObject::invokeMethod(
            this, [this, id, hash, matches] { verified(id, hash, matches); }, Qt::QueuedConnection);
    });
}

void Logins::verified(quint64 id, const QByteArray &hash, bool matches)
{
    const auto found = m_pending.constFind(id);
    if (found == m_pending.cend())
        return; // cancelled
    const std::optional<QByteArray> now = m_users.hashOf(found->name);
    if (!hash.isEmpty() && now && *now != hash) {
        verify(id, *now); // the password changed meanwhile: the new one decides
        return;
    }
    LoginResult result { id, LoginOutcome::Rejected, false, false };
    const Clock::time_point time = m_clock();
    if (m_limit.isBlocked(found->client, time))
        result.outcome = LoginOutcome::Blocked; // refused meanwhile, by other tries
    else if (matches && now)
        result.outcome = LoginOutcome::Accepted;
    else
        result.blockStarted = m_limit.recordFailure(found->client, time);
    if (result.outcome == LoginOutcome::Accepted)
        m_cache.insert(found->name, found->password);
    const Pending pending = m_pending.take(id);
    if (pending.receiver && pending.done)
        pending.done(result);
}

void Logins::deliverLater(LoginResult result)
{
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            const Pending pending = m_pending.take(result.id);
            if (pending.receiver && pending.done)
                pending.done(result);
        },
        Qt::QueuedConnection);
}

} // namespace acl
