#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <vector>

/// What the relay tells the rest of the program: events as they happen, and a snapshot of every
/// connection on request. Plain values, no text for people: the window words and shows them.
namespace relay {

enum class Protocol : quint8 { Unknown, Socks4, Socks4a, Socks5, Http, Udp };

enum class ConnectionState : quint8 {
    Waiting, ///< in line for a slot
    Negotiating, ///< has a slot (or is logging in); its request is not complete yet
    Connecting, ///< request decoded; the destination is resolving or connecting
    Relaying,
    HalfClosed, ///< one direction has ended, the other goes on
    Closing,
};

/// A destination as a client asked for it: an address, or a name to resolve.
struct Destination
{
    QHostAddress address; ///< null when hostName is to be resolved
    QByteArray hostName; ///< as sent, unchecked bytes
    quint16 port = 0;
};

using WallClock = std::chrono::system_clock;

/// One connection: a client in a slot, or waiting for one.
struct ConnectionInfo
{
    quint64 id = 0; ///< unique for the relay's life, names the connection across snapshots
    int slot = -1; ///< -1 while waiting
    QHostAddress client; ///< plain IPv4 for an IPv4 client
    quint16 clientPort = 0;
    quint16 proxyPort = 0; ///< the proxy's port it came to
    Protocol protocol = Protocol::Unknown;
    QByteArray user; ///< the login name once logged in (or the SOCKS4 user id as sent)
    Destination requested;
    QByteArray method; ///< HTTP: the latest request's method, as sent
    QByteArray path; ///< HTTP: the latest forwarded request's path and query
    /// The destination's address once connected (a UDP association's: its relay address, BND);
    /// else null.
    QHostAddress connectedAddress;
    quint16 connectedPort = 0;
    ConnectionState state = ConnectionState::Waiting;
    WallClock::time_point since; ///< when the client was accepted
    /// Bytes handed to the kernel each way: up towards the destination, down towards the client.
    /// The proxy's own replies are not counted.
    qint64 bytesUp = 0;
    qint64 bytesDown = 0;
    qint64 datagramsUp = 0; ///< UDP associations only
    qint64 datagramsDown = 0;
};

/// Why the handshake turned a client away.
enum class Refusal : quint8 {
    None,
    UserIdTooLong, ///< SOCKS4: no end to the user id within the longest request
    BadHostName, ///< SOCKS4a or SOCKS5: an empty name, or a longer one than allowed
    NoAcceptableMethod, ///< SOCKS5: no method the proxy offers
    BadRequest, ///< SOCKS5: the request's version is not 5
    CommandNotSupported, ///< SOCKS5: a command other than CONNECT
    AddressTypeNotSupported, ///< SOCKS5: an address type other than 1, 3 or 4
    BadLogin, ///< SOCKS5: the login's version is not 1
    NotLoggedIn, ///< a stranger that spoke SOCKS4, or did not log in in time
    LoginFailed, ///< a wrong password, an unknown user, or an address refused for guessing
    ThisComputer, ///< the guard: a client from elsewhere going to this computer
    ProxyItself, ///< the guard: the proxy's own port here
};

/// Why a connection ended, for the list of recent ones.
enum class EndReason : quint8 {
    Finished, ///< both sides ended their sending
    ClientClosed, ///< the client ended or reset first, before the relay was set up
    DestinationClosed,
    ClientError,
    DestinationError,
    Refused, ///< the handshake refused it (bad request, login, the guard)
    ConnectFailed, ///< the destination could not be reached
    RequestTimeout,
    ConnectTimeout,
    IdleForWaiting, ///< closed to make room for a waiting client
    Disconnected, ///< the operator ended it
    Expired, ///< an association's time without datagrams ran out
};

struct EndedConnection
{
    ConnectionInfo info;
    WallClock::time_point ended;
    EndReason reason = EndReason::Finished;
    Refusal refusal = Refusal::None; ///< why, for reason Refused
    QString error; ///< the description of a failure, if any
};

struct Totals
{
    quint64 served = 0; ///< given a slot
    quint64 refused = 0; ///< turned away by the handshake, a login or the guard
    quint64 failed = 0; ///< a destination that could not be reached
    qint64 bytesUp = 0; ///< over every connection since start, ended or not
    qint64 bytesDown = 0;
};

struct Snapshot
{
    std::vector<ConnectionInfo> connections; ///< slots in use by index, then the waiting line
    Totals totals;
    std::vector<EndedConnection> recent; ///< the last RecentCount endings, newest last
    static constexpr int RecentCount = 100;
};

/// One thing that happened. The window turns each into its log line; fields that a kind does not
/// use are left empty.
struct Event
{
    enum class Kind : quint8 {
        ListenerError, ///< error: accepting failed (once per episode of running out)
        ConnectionRequest, ///< a listed client got a slot
        Request, ///< the request is decoded: protocol, user (SOCKS4's id), requested
        HttpRequest, ///< an HTTP request is forwarded to requested: info's method and path
        Refused, ///< the handshake turned the client away: error says why
        OutboundConnected,
        OutboundError, ///< the destination could not be reached: error
        ProxyClosed, ///< the client ended its sending or reset
        OutboundClosed,
        ProxyError, ///< the client's connection failed (error), or the relay ended it (reason)
        OutboundFailed, ///< the destination's connection failed while relaying: error
        /// A UDP association relays: info's client and clientPort (its TCP connection), and
        /// connectedAddress and connectedPort, the relay's address (BND).
        UdpAssociationStarted,
        UdpAssociationEnded, ///< info's datagrams and bytes each way
        Ended, ///< the slot is free again: info, reason (not a log line of its own)
        LoggedIn, ///< a stranger logged in: info.client, info.user
        LoginFailed, ///< a stranger's login failed: info.client, info.user
        LoginsBlocked, ///< too many failed logins from info.client: refused for the minute
        NotAllowed, ///< the guard refused: refusal, info.connectedAddress and connectedPort
    };

    Kind kind = Kind::Ended;
    int slot = -1;
    ConnectionInfo info; ///< the connection as it stands (client, protocol, user, bytes ...)
    QString error; ///< a failure's description as the system gives it
    /// Why it ended (Ended); for ProxyError without an error, which limit or who ended it.
    EndReason reason = EndReason::Finished;
    Refusal refusal = Refusal::None; ///< Refused: why
};

} // namespace relay
