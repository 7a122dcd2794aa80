#pragma once

#include <QHostAddress>
#include <QList>

#include <chrono>
#include <functional>

namespace acl {

enum class GuardVerdict {
    Allowed,
    ThisComputer, ///< a client from elsewhere going to this computer itself
    ProxyItself, ///< anyone going to the proxy's own listening port here (a loop)
};

/// Whether destination, as resolved, is this computer: loopback (127.0.0.0/8, ::1), the
/// unspecified addresses (0.0.0.0, ::), one of local (this computer's interfaces), or the
/// IPv4-mapped form of any of these. Scope ids are ignored.
bool isThisComputer(const QHostAddress &destination, const QList<QHostAddress> &local);

/// The guard's rule, pure. A client that is not on this computer may not reach this computer
/// itself, unless reachLocalServices; nobody may reach the proxy's own port here.
GuardVerdict guardVerdict(const QHostAddress &client, const QHostAddress &destination,
    quint16 destinationPort, quint16 listenPort, const QList<QHostAddress> &local,
    bool reachLocalServices);

/// The guard as the relay asks it, with this computer's addresses (read through a seam, at most
/// RefreshInterval old) and the operator's option "Let clients reach this computer's own
/// services" (off by default).
class Guard final
{
public:
    using Clock = std::chrono::steady_clock;
    using AddressSource = std::function<QList<QHostAddress>()>;
    static constexpr std::chrono::seconds RefreshInterval { 30 };

    /// source: this computer's addresses; QNetworkInterface::allAddresses when left empty.
    explicit Guard(
        AddressSource source = {}, std::function<Clock::time_point()> clock = &Clock::now);

    bool reachLocalServices() const { return m_reachLocalServices; }
    void setReachLocalServices(bool on) { m_reachLocalServices = on; }
    /// Who counts as a client on this computer; by default one from loopback or from one of
    /// this computer's addresses. (Tests let a loopback client play one from elsewhere.)
    void setClientIsHere(std::function<bool(const QHostAddress &)> isHere)
    {
        m_clientIsHere = std::move(isHere);
    }
    /// Reads this computer's addresses again now (an interface came or went).
    void refresh();

    GuardVerdict check(const QHostAddress &client, const QHostAddress &destination,
        quint16 destinationPort, quint16 listenPort);
    bool allows(const QHostAddress &client, const QHostAddress &destination,
        quint16 destinationPort, quint16 listenPort)
    {
        return check(client, destination, destinationPort, listenPort) == GuardVerdict::Allowed;
    }

private:
    AddressSource m_source;
    std::function<bool(const QHostAddress &)> m_clientIsHere;
    std::function<Clock::time_point()> m_clock;
    QList<QHostAddress> m_local;
    Clock::time_point m_readAt;
    bool m_read = false;
    bool m_reachLocalServices = false;
};

} // namespace acl
