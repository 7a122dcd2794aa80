#include "udprelay.h"

#include "socks5.h"

namespace relay {

UdpRelay::UdpRelay(net::Reactor &reactor, Services services, QObject *parent)
    : QObject(parent), m_services(std::move(services)), m_toClient(reactor), m_toIPv4(reactor),
      m_toIPv6(reactor)
{
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, &UdpRelay::checkIdle);
    connect(&m_toClient, &net::DatagramSocket::DataArrival, this,
        [this](const QByteArray &d, const QHostAddress &from, quint16 port) {
            m_rules->fromClient(from, port, d);
        });
    for (net::DatagramSocket *s : { &m_toIPv4, &m_toIPv6 })
        connect(s, &net::DatagramSocket::DataArrival, this,
            [this](const QByteArray &d, const QHostAddress &from, quint16 port) {
                m_rules->fromDestination(from, port, d);
            });
}

UdpRelay::~UdpRelay() = default;

bool UdpRelay::Start(const QHostAddress &client, const Destination &hint, const QHostAddress &local)
{
    Close();
    if (!m_toClient.Bind(local))
        return false;
    UdpAssociation::Services rules {
        [this](const QHostAddress &to, quint16 port, QByteArrayView payload) {
            return toDestination(to, port, payload);
        },
        [this](const QHostAddress &to, quint16 port, QByteArrayView datagram) {
            return m_toClient.SendData(to, port, datagram);
        },
        m_services.resolve,
        m_services.allowed,
        [] { return UdpAssociation::Clock::now(); },
        m_idleLimit,
    };
    m_rules = std::make_unique<UdpAssociation>(
        client, UdpAssociation::clientPortFrom(hint, client), std::move(rules));
    checkIdle();
    return true;
}

bool UdpRelay::toDestination(const QHostAddress &to, quint16 port, QByteArrayView payload)
{
    const bool v6 = to.protocol() == QAbstractSocket::IPv6Protocol;
    net::DatagramSocket &socket = v6 ? m_toIPv6 : m_toIPv4;
    if (!socket.isOpen() && !socket.Bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4))
        return false;
    return socket.SendData(to, port, payload);
}

void UdpRelay::checkIdle()
{
    if (!m_rules)
        return;
    const auto left = m_rules->deadline() - UdpAssociation::Clock::now();
    if (left <= UdpAssociation::Clock::duration::zero()) {
        Q_EMIT Expired();
        return;
    }
    // A timer per datagram would cost more than a wake-up per idle limit's remainder.
    m_idle.start(std::chrono::ceil<std::chrono::milliseconds>(left));
}

QByteArray UdpRelay::reply() const
{
    return socks5::reply(socks5::Reply::Succeeded, LocalHost(), LocalPort());
}

UdpAssociation::Counters UdpRelay::counters() const
{
    return m_rules ? m_rules->counters() : UdpAssociation::Counters {};
}

void UdpRelay::Close()
{
    m_idle.stop();
    m_toClient.Close();
    m_toIPv4.Close();
    m_toIPv6.Close();
    m_rules.reset();
}

} // namespace relay
