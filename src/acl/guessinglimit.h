#pragma once

#include <QHash>
#include <QHostAddress>

#include <chrono>

namespace acl {

/// Stops password guessing: after MaxFailures failed logins from one address within Window, that
/// address is refused until the Window that began with its first failure ends, even with the
/// right password. Other addresses are not affected. An IPv6 client counts by its /64 (what one
/// host or site gets), an IPv4 one by its address. Pure: the time is passed in.
class GuessingLimit final
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int MaxFailures = 5;
    static constexpr std::chrono::seconds Window { 60 };
    /// The most addresses remembered; a flood of addresses beyond it evicts those not refused.
    static constexpr qsizetype MaxTracked = 4096;

    /// Whether logins from client are refused now.
    bool isBlocked(const QHostAddress &client, Clock::time_point now) const;
    /// Counts a failed login; true when this failure starts a refusal (once per episode).
    bool recordFailure(const QHostAddress &client, Clock::time_point now);
    qsizetype tracked() const { return m_entries.size(); }

private:
    struct Entry
    {
        Clock::time_point windowStart;
        int failures = 0;
    };
    /// Frees room for one more: drops the windows that have ended, then those not refusing.
    void makeRoom(Clock::time_point now);

    QHash<QByteArray, Entry> m_entries;
};

} // namespace acl
