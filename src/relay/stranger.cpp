#include "stranger.h"

#include "httphead.h"
#include "httpsession.h"
#include "socks4.h"
#include "socks5.h"

#include "acl/logins.h"

#include <cerrno>
#include <sys/socket.h>

namespace relay {

namespace {

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

Stranger::Stranger(net::Reactor &reactor, net::Socket socket, ConnectionInfo info,
    acl::Logins &logins, std::chrono::milliseconds timeLimit, QObject *parent)
    : QObject(parent), m_socket(std::move(socket)), m_watch(reactor, this), m_logins(logins),
      m_info(std::move(info)), m_timeLimit(timeLimit)
{
    m_info.state = ConnectionState::Negotiating;
    m_handshake.reset(Handshake::Auth::Stranger);
    m_watch.watch(m_socket, net::Reactor::Read);
    startLimit();
}

void Stranger::startLimit()
{
    m_deadline = Clock::now() + m_timeLimit;
}

void Stranger::expireIfLate(Clock::time_point now)
{
    if (m_deadline && now >= *m_deadline)
        finish(Refusal::NotLoggedIn);
}

Stranger::~Stranger()
{
    if (m_checking)
        m_logins.cancel(m_checking);
}

net::Socket Stranger::take(QByteArray &received)
{
    received = m_auth == Handshake::Auth::LoggedIn ? m_handshake.takePayload()
                                                   : std::exchange(m_received, {});
    m_watch.unwatch();
    return std::move(m_socket);
}

void Stranger::socketReady(bool)
{
    char buffer[4096];
    const ssize_t n = ::recv(m_socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        // It left (or ended its sending) before it logged in: nothing to answer.
        m_watch.unwatch();
        m_done = true;
        m_deadline.reset();
        Q_EMIT Finished();
        return;
    }
    const QByteArray bytes(buffer, n);
    if (m_info.protocol == Protocol::Unknown && isLetter(bytes.at(0)))
        m_info.protocol = Protocol::Http;
    if (m_info.protocol == Protocol::Http) {
        m_received += bytes;
        if (m_received.size() > KeepLimit)
            return finish(Refusal::BadRequest);
        if (!m_checking)
            processHttp();
        return;
    }
    if (m_info.protocol == Protocol::Unknown
        && static_cast<quint8>(bytes.at(0)) == socks4::Version) {
        // SOCKS4 cannot log in: its failure reply (91), then close.
        m_info.protocol = Protocol::Socks4;
        send(socks4::failure(0, 0));
        return finish(Refusal::NotLoggedIn);
    }
    const Handshake::Step step = m_handshake.feed(bytes);
    m_info.protocol = m_handshake.protocol();
    send(step.reply);
    if (step.refused() || (m_info.protocol == Protocol::Unknown && !step.reply.isEmpty()))
        return finish(step.refused() ? step.refusal : Refusal::BadRequest);
    if (step.login)
        check(m_handshake.loginName(), m_handshake.password());
}

void Stranger::processHttp()
{
    const http::HeadResult head = http::readRequestHead(m_received);
    if (head.status == http::HeadStatus::NeedMore)
        return;
    if (head.status != http::HeadStatus::Complete) {
        send(http::errorResponse(400, "Bad request.\n", true));
        return finish(Refusal::BadRequest);
    }
    m_headLength = head.request.headLength;
    m_keepAlive = head.request.keepAlive();
    const auto credentials = http::basicCredentials(head.request.header("Proxy-Authorization"));
    if (credentials)
        return check(credentials->user, credentials->password);
    challenge();
}

void Stranger::challenge()
{
    // The connection stays open (unless the client closes it) for the request with credentials.
    send(http::errorResponse(407, "Credentials are needed to use this proxy.\n", !m_keepAlive,
        QByteArray("Proxy-Authenticate: Basic realm=\"") + http::Realm + "\"\r\n"));
    if (!m_keepAlive)
        return finish(Refusal::NotLoggedIn);
    m_received.remove(0, m_headLength);
    if (!m_deadline)
        startLimit();
    if (!m_received.isEmpty())
        processHttp();
}

void Stranger::check(const QByteArray &name, const QByteArray &password)
{
    m_info.user = name;
    // It sent its login in time; a slow check (many at once, on a busy computer) is ours.
    m_deadline.reset();
    m_checking = m_logins.check(name, password, m_info.client, this,
        [this](const acl::LoginResult &result) { checked(result); });
}

void Stranger::checked(const acl::LoginResult &result)
{
    m_checking = 0;
    const bool accepted = result.outcome == acl::LoginOutcome::Accepted;
    if (m_info.protocol == Protocol::Socks5)
        send(m_handshake.loggedIn(accepted).reply);
    if (accepted) {
        m_deadline.reset();
        m_auth =
            m_info.protocol == Protocol::Http ? Handshake::Auth::Listed : Handshake::Auth::LoggedIn;
        report(Event::Kind::LoggedIn);
        Q_EMIT LoggedIn();
        return;
    }
    if (result.outcome == acl::LoginOutcome::Rejected)
        report(Event::Kind::LoginFailed, Refusal::LoginFailed);
    if (result.blockStarted)
        report(Event::Kind::LoginsBlocked, Refusal::LoginFailed);
    if (m_info.protocol == Protocol::Http && result.outcome == acl::LoginOutcome::Rejected)
        return challenge(); // it may try again, within its time and the guessing limit
    if (m_info.protocol == Protocol::Http)
        send(http::errorResponse(407, "Too many failed logins.\n", true,
            QByteArray("Proxy-Authenticate: Basic realm=\"") + http::Realm + "\"\r\n"));
    finish(Refusal::LoginFailed);
}

void Stranger::send(const QByteArray &bytes)
{
    // Small answers to a socket that has sent nothing back yet: the kernel takes them whole.
    if (!bytes.isEmpty() && m_socket.isOpen())
        ::send(m_socket.fd(), bytes.constData(), size_t(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void Stranger::report(Event::Kind kind, Refusal refusal)
{
    Event event;
    event.kind = kind;
    event.info = m_info;
    event.refusal = refusal;
    event.reason = EndReason::Refused;
    Q_EMIT Reported(event);
}

void Stranger::finish(Refusal refusal)
{
    if (std::exchange(m_done, true))
        return;
    m_deadline.reset();
    if (m_checking)
        m_logins.cancel(std::exchange(m_checking, 0));
    Event ended { Event::Kind::Ended, -1, m_info, {}, EndReason::Refused, refusal };
    ended.info.state = ConnectionState::Closing;
    // Unread bytes would turn the close into a reset that may overtake the answer.
    char buffer[4096];
    while (::recv(m_socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) { }
    ::shutdown(m_socket.fd(), SHUT_WR);
    m_watch.unwatch();
    m_socket.close();
    Q_EMIT Reported(ended);
    Q_EMIT Finished();
}

} // namespace relay
