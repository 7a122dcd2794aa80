#pragma once

#include "events.h"
#include "httpframing.h"
#include "httphead.h"

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <optional>
#include <vector>

/// One client connection of the HTTP proxy, without sockets: fed what the client and the
/// origin send and what the caller found out (a login's verdict, a connect's outcome), it says
/// what to do next. Requests are served one at a time and in order: a pipelined request waits
/// in the session until the response before it is complete, and a request for another host
/// first closes the origin connection, so that no request ever goes down another host's
/// connection. CONNECT turns the connection into a tunnel, which the caller relays itself.
namespace relay::http {

/// How a connect asked for by Action::Connect ended: connected, or why not.
enum class ConnectResult {
    Connected,
    NotFound, ///< the name does not resolve (502)
    Refused, ///< (502)
    Unreachable, ///< (502)
    TimedOut, ///< the connect time limit ran out (504)
    Forbidden, ///< the guard refused the destination (403)
};

struct Action
{
    enum class Kind {
        Login, ///< check credentials, then call loginResult()
        LogRequest, ///< a request is on its way: method, destination, and its path as bytes
        Connect, ///< connect to destination (closed origin first), then call connectResult()
        SendToOrigin, ///< bytes
        SendToClient, ///< bytes: the origin's, or the proxy's own response (status)
        CloseOrigin, ///< close the origin connection now; the next request goes elsewhere
        CloseClient, ///< close the client once what was given to it is sent; the session is over
        BecomeTunnel, ///< relay both ways from now on, bytes first to the origin
    };
    Kind kind = Kind::SendToClient;
    QByteArray bytes;
    Destination destination;
    QByteArray method;
    Credentials credentials;
    int status = 0; ///< SendToClient: the status of the proxy's own response; 0 for relayed bytes
};
using Actions = std::vector<Action>;

/// A complete response with a short text body: "HTTP/1.1 <status> <reason>", Content-Type,
/// Content-Length, Connection: close when close is set, and the extra header lines given.
QByteArray errorResponse(int status, QByteArrayView body, bool close, QByteArrayView extra = {});
/// The answer to a CONNECT once its destination is connected.
inline constexpr char ConnectionEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
/// The realm of the Basic challenge in a 407.
inline constexpr char Realm[] = "Socks4 Proxy Server";

class Session
{
public:
    /// With loginRequired, every request needs Basic credentials that the caller accepts.
    explicit Session(bool loginRequired = false);
    ~Session();

    Actions clientData(QByteArrayView bytes);
    /// The client ended its sending: a request in progress is still answered, then it closes.
    Actions clientEnded();
    Actions originData(QByteArrayView bytes);
    /// The origin connection ended or failed.
    Actions originEnded();
    Actions loginResult(bool accepted);
    Actions connectResult(ConnectResult result);

    bool isTunnel() const { return m_state == State::Tunnel; }
    bool isClosed() const { return m_state == State::Closed; }
    /// Whether the caller should read the client now: always while a head or a body is being
    /// read, otherwise only while little is kept for later requests.
    bool wantsClientData() const;
    /// The destination of the origin connection, open or connecting.
    const std::optional<Destination> &origin() const { return m_origin; }

private:
    enum class State { Head, LoggingIn, Connecting, Forwarding, Discarding, Tunnel, Closed };

    void pump(Actions &actions);
    void readHead(Actions &actions);
    void startRequest(Actions &actions);
    void proceed(Actions &actions);
    void challenge(Actions &actions);
    void forwardBody(Actions &actions);
    void finishExchange(Actions &actions);
    void fail(Actions &actions, int status, QByteArrayView body);
    void closeOrigin(Actions &actions);
    void closeAll(Actions &actions);

    const bool m_loginRequired;
    State m_state = State::Head;
    QByteArray m_in; ///< client bytes not handled yet
    qsizetype m_scanned = 0; ///< of m_in, searched for the end of a head without finding it
    bool m_clientEnded = false;
    Request m_request; ///< the request being served
    std::unique_ptr<MessageReader> m_body; ///< frames its body
    bool m_requestDone = false;
    bool m_responseDone = false;
    bool m_responseStarted = false; ///< bytes of its response were given to the client
    std::optional<Credentials> m_pending; ///< being checked
    std::optional<Credentials> m_accepted; ///< accepted earlier on this connection
    std::optional<Destination> m_origin;
    std::unique_ptr<MessageReader> m_response; ///< frames the origin connection's responses
};

} // namespace relay::http
