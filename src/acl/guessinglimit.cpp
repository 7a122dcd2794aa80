#include "guessinglimit.h"

namespace acl {

namespace {

QByteArray keyOf(const QHostAddress &client)
{
    bool isV4 = false;
    const quint32 v4 = client.toIPv4Address(&isV4); // also for ::ffff:a.b.c.d
    if (isV4)
        return QByteArray(reinterpret_cast<const char *>(&v4), sizeof v4);
    const Q_IPV6ADDR v6 = client.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8); // the /64
}

} // namespace

bool GuessingLimit::isBlocked(const QHostAddress &client, Clock::time_point now) const
{
    const auto found = m_entries.constFind(keyOf(client));
    return found != m_entries.cend() && found->failures >= MaxFailures
        && now < found->windowStart + Window;
}

bool GuessingLimit::recordFailure(const QHostAddress &client, Clock::time_point now)
{
    const QByteArray key = keyOf(client);
    auto found = m_entries.find(key);
    if (found == m_entries.end()) {
        if (m_entries.size() >= MaxTracked)
            makeRoom(now);
        if (m_entries.size() >= MaxTracked)
            return false; // every one remembered is refused: this one goes uncounted
        found = m_entries.insert(key, Entry { now, 0 });
    } else if (now >= found->windowStart + Window) {
        *found = Entry { now, 0 };
    }
    return ++found->failures == MaxFailures;
}

void GuessingLimit::makeRoom(Clock::time_point now)
{
    m_entries.removeIf([now](const QHash<QByteArray, Entry>::iterator &it) {
        return now >= it->windowStart + Window;
    });
    if (m_entries.size() >= MaxTracked)
        m_entries.removeIf([](const QHash<QByteArray, Entry>::iterator &it) {
            return it->failures < MaxFailures;
        });
}

} // namespace acl
