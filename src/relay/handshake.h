#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

namespace relay {

/// What a client says before its bytes are relayed, on one slot: a SOCKS4 or SOCKS4a request,
/// or a SOCKS5 greeting and request, told apart by the first byte. It turns the client's bytes
/// into steps for the slot (a reply to send, a line to log, a destination to connect to, or an
/// end) and builds the reply once the destination has answered. No sockets: the slot does the
/// sending and connecting.
class Handshake final
{
public:
    enum class Protocol { None, Socks4, Socks5 };

    /// What the slot does next, in this order: send `reply`, log `line`, then close (once the
    /// reply is delivered) or connect to destination().
    struct Step
    {
        QByteArray reply;
        QString line;
        bool close = false;
        bool connect = false;
    };

    struct Destination
    {
        QHostAddress address; ///< null when a name is to be resolved
        QByteArray hostName;
        quint16 port = 0;
        bool ipv4Only = false; ///< a SOCKS4 grant can only name an IPv4 address
    };

    explicit Handshake(int slot) : m_slot(slot) { }

    /// Forgets the last client's handshake.
    void reset();
    /// Takes bytes from the client that arrived before the request was complete.
    Step feed(const QByteArray &bytes);
    const Destination &destination() const { return m_destination; }
    /// The client's bytes that followed its request: its first payload.
    QByteArray takePayload() { return std::exchange(m_buffer, {}); }

    /// The reply once connected: SOCKS4 names the destination, SOCKS5 the proxy's end of it.
    QByteArray granted(const QHostAddress &remote, quint16 remotePort, const QHostAddress &local,
        quint16 localPort) const;
    /// The reply when the destination cannot be reached; `error` as the connector gives it.
    QByteArray failed(int error) const;

private:
    Step feed4();
    Step feedGreeting();
    Step feed5();
    Step refuse(QByteArray reply, const char *reason);

    enum class Phase { Fresh, Greeted, Done };

    int m_slot;
    Phase m_phase = Phase::Fresh;
    Protocol m_protocol = Protocol::None;
    QByteArray m_buffer;
    Destination m_destination;
    quint32 m_requestedIPv4 = 0; ///< for the SOCKS4 failure reply
};

} // namespace relay
