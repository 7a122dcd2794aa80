#pragma once

#include "events.h"

#include <QByteArray>
#include <QHostAddress>

namespace relay {

/// What a client says before its bytes are relayed: a SOCKS4 or SOCKS4a request, or a SOCKS5
/// greeting and request, told apart by the first byte (a letter starts an HTTP request, which
/// the slot's HttpConnection serves). It turns the client's bytes into steps
/// (a reply to send, then an end or a destination to connect to), says what was asked (the
/// protocol, SOCKS4's user id, the destination) and builds the reply once the destination has
/// answered. No sockets and no words for people: the slot sends, connects and reports.
class Handshake final
{
public:
    /// What the slot does next, in this order: send `reply`, then close (once the reply is
    /// delivered) when the client was refused, or connect to destination() (start a UDP
    /// association, for associate()).
    struct Step
    {
        QByteArray reply;
        Refusal refusal = Refusal::None;
        bool connect = false;
        bool http = false; ///< an HTTP request begins: its bytes are takePayload()'s
        /// A stranger sent its name and password (loginName(), password()): the caller checks
        /// them and calls loggedIn() before feeding more.
        bool login = false;
        bool refused() const { return refusal != Refusal::None; }
    };

    /// Which SOCKS5 methods a client gets, by who it is.
    enum class Auth {
        Open, ///< nobody logs in: method 00 only (no users)
        Listed, ///< an allowed client: 00 when offered, else 02 with any credentials accepted
        Stranger, ///< method 02 only; the caller checks the credentials (Step::login)
        LoggedIn, ///< a stranger that has logged in elsewhere: the request comes next
    };

    /// Forgets the last client's handshake; the next one negotiates as auth says.
    void reset(Auth auth = Auth::Open);
    /// The stranger's login was checked: 01 00 and go on, or 01 01 and close.
    Step loggedIn(bool accepted);
    /// The name sent in the login (RFC 1929), or set by the login done elsewhere.
    const QByteArray &loginName() const { return m_loginName; }
    void setLoginName(const QByteArray &name) { m_loginName = name; }
    /// The password, until loggedIn() forgets it.
    const QByteArray &password() const { return m_password; }
    /// Takes bytes from the client that arrived before the request was complete.
    Step feed(const QByteArray &bytes);
    /// Unknown until the request (SOCKS4, SOCKS4a) or the greeting (SOCKS5) is decoded.
    Protocol protocol() const { return m_protocol; }
    /// SOCKS4's user id, as sent.
    const QByteArray &user() const { return m_user; }
    const Destination &destination() const { return m_destination; }
    /// SOCKS5 UDP ASSOCIATE: destination() is the client's hint for its own UDP address.
    bool associate() const { return m_associate; }
    /// A SOCKS4 grant can only name an IPv4 address.
    bool ipv4Only() const
    {
        return m_protocol == Protocol::Socks4 || m_protocol == Protocol::Socks4a;
    }
    /// The client's bytes that followed its request: its first payload.
    QByteArray takePayload() { return std::exchange(m_buffer, {}); }

    /// The reply once connected: SOCKS4 names the destination, SOCKS5 the proxy's end of it.
    /// Whether granted() uses the local end's address (asked of the kernel only then).
    bool repliesWithBoundAddress() const { return m_protocol == Protocol::Socks5; }
    QByteArray granted(const QHostAddress &remote, quint16 remotePort, const QHostAddress &local,
        quint16 localPort) const;
    /// The reply when the destination cannot be reached; `error` as the connector gives it.
    QByteArray failed(int error) const;

private:
    Step feed4();
    Step feedGreeting();
    Step feed5();
    Step feedLogin();
    Step refuse(QByteArray reply, Refusal why);

    enum class Phase { Fresh, Login, Checking, Greeted, Done };

    Phase m_phase = Phase::Fresh;
    Protocol m_protocol = Protocol::Unknown;
    QByteArray m_buffer;
    QByteArray m_user;
    QByteArray m_loginName;
    QByteArray m_password;
    Auth m_auth = Auth::Open;
    Destination m_destination;
    quint32 m_requestedIPv4 = 0; ///< for the SOCKS4 failure reply
    bool m_associate = false;
};

} // namespace relay
