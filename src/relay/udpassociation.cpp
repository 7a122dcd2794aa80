#include "udpassociation.h"

#include "net/sockaddr.h"

#include <algorithm>

namespace relay {

quint16 UdpAssociation::clientPortFrom(const Destination &hint, const QHostAddress &client)
{
    const QHostAddress address = net::plain(hint.address);
    const bool namesNoOne = hint.address.isNull()
        ? hint.hostName == "0"
        : address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
    return namesNoOne || (!address.isNull() && address == net::plain(client)) ? hint.port : 0;
}

UdpAssociation::UdpAssociation(const QHostAddress &client, quint16 clientPort, Services services)
    : m_client(net::plain(client)), m_clientPort(clientPort), m_services(std::move(services)),
      m_lastActivity(m_services.now()), m_self(std::make_shared<UdpAssociation *>(this))
{ }

UdpAssociation::~UdpAssociation() = default;

UdpAssociation::Outcome UdpAssociation::fromClient(
    const QHostAddress &from, quint16 port, QByteArrayView datagram)
{
    if (net::plain(from) != m_client || (m_clientPort != 0 && port != m_clientPort))
        return { Verdict::Foreign };
    const socks5udp::Decoded decoded = socks5udp::decode(datagram);
    if (decoded.status != socks5udp::Status::Ok)
        return { Verdict::BadHeader, decoded.status };
    // Only a well-formed datagram pins the port: a stray one must not take the association.
    if (m_clientPort == 0)
        m_clientPort = port;
    m_lastActivity = m_services.now();
    const Destination &to = decoded.destination;
    const QByteArrayView payload = datagram.sliced(decoded.payloadOffset);
    if (!to.address.isNull())
        return sendTo(net::plain(to.address), to.port, payload);

    if (const CachedName *known = cached(to.hostName)) {
        if (known->address.isNull())
            return { Verdict::Unresolved };
        return sendTo(known->address, to.port, payload);
    }
    const bool lookingUp =
        std::find(m_lookups.begin(), m_lookups.end(), to.hostName) != m_lookups.end();
    if ((!lookingUp && int(m_lookups.size()) >= MaxLookups) || int(m_waiting.size()) >= MaxQueued
        || m_waitingBytes + payload.size() > MaxQueuedBytes)
        return { Verdict::Busy };
    m_waiting.push_back({ to.hostName, to.port, payload.toByteArray() });
    m_waitingBytes += payload.size();
    if (!lookingUp) {
        m_lookups.push_back(to.hostName);
        std::weak_ptr<UdpAssociation *> self = m_self;
        m_services.resolve(to.hostName, [self, name = to.hostName](const QList<QHostAddress> &a) {
            if (const auto alive = self.lock())
                (*alive)->lookedUp(name, a);
        });
    }
    return { Verdict::Queued };
}

UdpAssociation::Outcome UdpAssociation::sendTo(
    const QHostAddress &address, quint16 port, QByteArrayView payload)
{
    if (!m_services.allowed(address, port))
        return { Verdict::Refused };
    if (port == 0 || !m_services.sendToDestination(address, port, payload))
        return { Verdict::NotSent };
    ++m_counters.datagramsUp;
    m_counters.bytesUp += payload.size();
    return { Verdict::Sent };
}

void UdpAssociation::lookedUp(const QByteArray &name, const QList<QHostAddress> &addresses)
{
    const auto lookup = std::find(m_lookups.begin(), m_lookups.end(), name);
    if (lookup == m_lookups.end())
        return;
    m_lookups.erase(lookup);
    if (int(m_names.size()) >= NameCacheSize)
        m_names.pop_front();
    m_names.push_back(
        { name, addresses.isEmpty() ? QHostAddress() : net::plain(addresses.first()) });
    const QHostAddress address = m_names.back().address;
    // Sending may call back into the owner; the queue is taken out of the members first.
    std::deque<Waiting> ready;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->name == name) {
            m_waitingBytes -= it->payload.size();
            ready.push_back(std::move(*it));
            it = m_waiting.erase(it);
        } else {
            ++it;
        }
    }
    if (address.isNull())
        return;
    for (const Waiting &w : ready)
        sendTo(address, w.port, w.payload);
}

const UdpAssociation::CachedName *UdpAssociation::cached(const QByteArray &name) const
{
    const auto it = std::find_if(
        m_names.begin(), m_names.end(), [&](const CachedName &c) { return c.name == name; });
    return it == m_names.end() ? nullptr : &*it;
}

bool UdpAssociation::fromDestination(const QHostAddress &from, quint16 port, QByteArrayView payload)
{
    if (m_clientPort == 0)
        return false;
    if (!m_services.sendToClient(m_client, m_clientPort, socks5udp::wrap(from, port, payload)))
        return false;
    m_lastActivity = m_services.now();
    ++m_counters.datagramsDown;
    m_counters.bytesDown += payload.size();
    return true;
}

} // namespace relay
