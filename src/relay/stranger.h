#pragma once

#include "events.h"
#include "handshake.h"

#include "net/reactor.h"
#include "net/socket.h"

#include <QObject>
#include <chrono>
#include <optional>

namespace acl {
class Logins;
struct LoginResult;
} // namespace acl

namespace relay {

/// A client whose address is not on the allow-list, while it logs in: it holds no slot and no
/// place in the waiting line, only its socket (watched by the reactor) and what it sent. SOCKS5
/// gets the username/password method (RFC 1929), HTTP a 407 until a Proxy-Authorization names a
/// user; anything else is refused. The password is checked by the logins (on their workers).
/// Once logged in (LoggedIn) take() hands the socket on with every byte after the login, to be
/// served like an allowed client; otherwise it closes itself and raises Finished.
class Stranger final : public QObject, private net::Reactor::Watcher
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Stranger)

public:
    /// Bytes kept before the login is done; more is a refusal.
    static constexpr qsizetype KeepLimit = 64 * 1024;
    using Clock = std::chrono::steady_clock;

    Stranger(net::Reactor &reactor, net::Socket socket, ConnectionInfo info, acl::Logins &logins,
        std::chrono::milliseconds timeLimit, QObject *parent = nullptr);
    ~Stranger() override;

    /// Who it is; user and protocol once known.
    const ConnectionInfo &info() const { return m_info; }
    /// How the slot that serves it goes on: at the SOCKS5 request, or at the HTTP head.
    Handshake::Auth auth() const { return m_auth; }
    /// The socket (unwatched) and its bytes after the login, in order; both the caller's now.
    net::Socket take(QByteArray &received);
    /// Ends it (refused, not logged in) if its time to log in ran out before `now`; its owner
    /// looks now and then.
    void expireIfLate(Clock::time_point now);

Q_SIGNALS:
    void LoggedIn();
    /// It is gone: refused, out of time, or it left. Its events have been reported.
    void Finished();
    void Reported(const relay::Event &event);

private:
    void socketReady(bool writable) override;
    void process();
    void processHttp();
    void challenge();
    void check(const QByteArray &name, const QByteArray &password);
    void checked(const acl::LoginResult &result);
    void send(const QByteArray &bytes);
    void report(Event::Kind kind, Refusal refusal = Refusal::None);
    void finish(Refusal refusal);
    void startLimit();

    net::Socket m_socket;
    net::Reactor::Watch m_watch;
    acl::Logins &m_logins;
    ConnectionInfo m_info;
    Handshake m_handshake;
    Handshake::Auth m_auth = Handshake::Auth::LoggedIn;
    QByteArray m_received; ///< HTTP: every byte since the last head answered
    std::chrono::milliseconds m_timeLimit;
    std::optional<Clock::time_point> m_deadline; ///< while it owes its login
    quint64 m_checking = 0; ///< the login being checked
    qsizetype m_headLength = 0; ///< HTTP: the head whose credentials are being checked
    bool m_keepAlive = false; ///< HTTP: the client keeps the connection after a 407
    bool m_done = false;
};

} // namespace relay
