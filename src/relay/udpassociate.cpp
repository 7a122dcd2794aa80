#include "udpassociate.h"

#include "socks5.h"

#include "acl/guard.h"
#include "net/stream.h"

#include <memory>

namespace relay {

UdpAssociate::UdpAssociate(
    net::Reactor &reactor, net::Resolver &resolver, const Access &access, QObject *parent)
    : QObject(parent), m_resolver(resolver), m_access(access),
      m_relay(reactor,
          { [this](const QByteArray &name, UdpAssociation::Resolved answer) {
               resolve(name, std::move(answer));
           },
              [this](const QHostAddress &to, quint16 port) { return allowed(to, port); } },
          this)
{
    connect(&m_relay, &UdpRelay::Expired, this, &UdpAssociate::Expired);
}

UdpAssociate::~UdpAssociate()
{
    Close();
}

QByteArray UdpAssociate::Start(const net::Stream &tcp, const Destination &hint)
{
    Close();
    m_client = tcp.RemoteHost();
    m_listenPort = tcp.LocalPort();
    m_seen = 0;
    if (!m_relay.Start(m_client, hint, tcp.LocalHost()))
        return socks5::reply(socks5::Reply::GeneralFailure);
    m_open = true;
    return m_relay.reply();
}

ConnectionInfo UdpAssociate::counted(ConnectionInfo info) const
{
    const UdpAssociation::Counters c = m_relay.counters();
    info.datagramsUp = c.datagramsUp;
    info.datagramsDown = c.datagramsDown;
    info.bytesUp = c.bytesUp;
    info.bytesDown = c.bytesDown;
    info.connectedAddress = LocalHost();
    info.connectedPort = LocalPort();
    return info;
}

bool UdpAssociate::takeActive()
{
    const UdpAssociation::Counters c = m_relay.counters();
    const qint64 now = c.datagramsUp + c.datagramsDown;
    return std::exchange(m_seen, now) != now;
}

void UdpAssociate::Close()
{
    m_open = false;
    m_relay.Close();
    for (const int id : std::exchange(m_lookups, {}))
        m_resolver.abort(id);
}

void UdpAssociate::resolve(const QByteArray &name, UdpAssociation::Resolved answer)
{
    // The resolver never answers within lookup(), so the id is known by the time it answers.
    const auto id = std::make_shared<int>(-1);
    *id = m_resolver.lookup(
        QString::fromLatin1(name), [this, id, answer = std::move(answer)](const QHostInfo &info) {
            std::erase(m_lookups, *id);
            answer(info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress> {});
        });
    m_lookups.push_back(*id);
}

bool UdpAssociate::allowed(const QHostAddress &to, quint16 port) const
{
    return !m_access.guard || m_access.guard->allows(m_client, to, port, m_listenPort);
}

} // namespace relay
