#include "guard.h"

#include <QNetworkInterface>

#include <algorithm>

namespace acl {

namespace {

/// The address as compared: a mapped IPv6 address as its IPv4 one, without a scope id.
QHostAddress plain(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    QHostAddress result = address;
    result.setScopeId({});
    return result;
}

} // namespace

bool isThisComputer(const QHostAddress &destination, const QList<QHostAddress> &local)
{
    const QHostAddress address = plain(destination);
    if (address.isLoopback() || address == QHostAddress(QHostAddress::AnyIPv4)
        || address == QHostAddress(QHostAddress::AnyIPv6))
        return true;
    return std::any_of(local.begin(), local.end(),
        [&address](const QHostAddress &mine) { return plain(mine) == address; });
}

GuardVerdict guardVerdict(const QHostAddress &client, const QHostAddress &destination,
    quint16 destinationPort, quint16 listenPort, const QList<QHostAddress> &local,
    bool reachLocalServices)
{
    if (!isThisComputer(destination, local))
        return GuardVerdict::Allowed;
    if (destinationPort == listenPort)
        return GuardVerdict::ProxyItself;
    if (reachLocalServices || isThisComputer(client, local))
        return GuardVerdict::Allowed;
    return GuardVerdict::ThisComputer;
}

Guard::Guard(AddressSource source, std::function<Clock::time_point()> clock)
    : m_source(source ? std::move(source) : &QNetworkInterface::allAddresses),
      m_clock(std::move(clock))
{ }

void Guard::refresh()
{
    m_local = m_source();
    m_readAt = m_clock();
    m_read = true;
}

GuardVerdict Guard::check(const QHostAddress &client, const QHostAddress &destination,
    quint16 destinationPort, quint16 listenPort)
{
    if (!m_read || m_clock() - m_readAt >= RefreshInterval)
        refresh();
    // A client that does not count as here is judged as one from nowhere in particular.
    const bool here = m_clientIsHere ? m_clientIsHere(client) : isThisComputer(client, m_local);
    return guardVerdict(here ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(), destination,
        destinationPort, listenPort, m_local, m_reachLocalServices);
}

} // namespace acl
