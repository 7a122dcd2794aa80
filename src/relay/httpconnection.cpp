#include "httpconnection.h"

#include "slot.h"

#include "acl/logins.h"

#include <cerrno>

namespace relay {

using Kind = http::Action::Kind;

http::ConnectResult http::connectResultFor(int error)
{
    switch (error) {
    case net::Connector::NameNotFound:
        return ConnectResult::NotFound;
    case ECONNREFUSED:
        return ConnectResult::Refused;
    case ETIMEDOUT:
        return ConnectResult::TimedOut;
    case net::Connector::Forbidden: // the guard's refusal
        return ConnectResult::Forbidden;
    default:
        return ConnectResult::Unreachable;
    }
}

void HttpConnection::start(const QByteArray &received, bool loginRequired)
{
    m_session = std::make_unique<http::Session>(loginRequired);
    apply(m_session->clientData(received));
    if (isServing())
        updateReading();
}

void HttpConnection::reset()
{
    if (m_login != 0 && m_slot.m_access.logins)
        m_slot.m_access.logins->cancel(m_login);
    m_login = 0;
    m_session.reset();
    m_earlierBytesUp = 0;
    m_reason = EndReason::Finished;
    m_refusal = Refusal::None;
    m_error.clear();
}

// --- The slot's events ----------------------------------------------------------------------

void HttpConnection::clientReadable(qint64 bytes)
{
    m_slot.m_active = true;
    apply(m_session->clientData(m_slot.m_client.GetData(bytes)));
    if (isServing())
        updateReading();
}

void HttpConnection::clientEnded()
{
    Slot &s = m_slot;
    if (!std::exchange(s.m_up.logged, true))
        s.report(Event::Kind::ProxyClosed);
    s.m_up.ended = true;
    if (s.m_client.isGone())
        return s.closeSlot(EndReason::ClientClosed);
    m_reason = s.m_phase == Slot::Phase::Requesting ? EndReason::ClientClosed : EndReason::Finished;
    apply(m_session->clientEnded());
    if (isServing())
        updateReading();
}

void HttpConnection::originReadable()
{
    m_slot.m_active = true;
    apply(m_session->originData(m_slot.m_destination.GetData()));
    if (isServing())
        updateReading();
}

void HttpConnection::originConnected()
{
    Slot &s = m_slot;
    if (s.m_phase != Slot::Phase::Connecting
        || !s.m_destination.Accept(s.m_connector.takeSocket(), s.m_connector.attempt()))
        return;
    s.m_info.connectedAddress = s.m_destination.RemoteHost();
    s.m_info.connectedPort = s.m_destination.RemotePort();
    s.enter(Slot::Phase::Relaying);
    s.report(Event::Kind::OutboundConnected);
    apply(m_session->connectResult(http::ConnectResult::Connected));
    if (isServing())
        updateReading();
}

void HttpConnection::originFailed(int error, const QString &description)
{
    Slot &s = m_slot;
    if (s.m_phase != Slot::Phase::Connecting)
        return;
    m_reason = error == ETIMEDOUT ? EndReason::ConnectTimeout : EndReason::ConnectFailed;
    m_error = description;
    if (error == net::Connector::Forbidden) {
        m_reason = EndReason::Refused;
        m_error.clear();
        s.reportForbidden();
    } else {
        s.report(Event::Kind::OutboundError, description, m_reason);
    }
    apply(m_session->connectResult(http::connectResultFor(error)));
}

void HttpConnection::originEnded(const QString &error)
{
    Slot &s = m_slot;
    if (error.isEmpty())
        s.report(Event::Kind::OutboundClosed);
    else
        s.report(Event::Kind::OutboundFailed, error, EndReason::DestinationError);
    closeOrigin();
    // Should the session end here, the origin is why.
    m_reason = error.isEmpty() ? EndReason::DestinationClosed : EndReason::DestinationError;
    m_error = error;
    apply(m_session->originEnded());
    if (!isServing())
        return;
    m_reason = EndReason::Finished;
    m_error.clear();
    updateReading();
}

void HttpConnection::updateReading()
{
    Slot &s = m_slot;
    const bool originFull =
        s.m_destination.State() == net::sckConnected && s.m_destination.isFull();
    s.m_client.setReading(!s.m_up.ended && m_session->wantsClientData() && !originFull);
    s.m_destination.setReading(!s.m_client.isFull());
}

// --- What the session asks ------------------------------------------------------------------

void HttpConnection::apply(const http::Actions &actions)
{
    Slot &s = m_slot;
    for (const http::Action &a : actions) {
        switch (a.kind) {
        case Kind::Login:
            return login(a.credentials); // the session waits for the verdict
        case Kind::LogRequest:
            log(a);
            break;
        case Kind::Connect:
            connect(a.destination);
            break;
        case Kind::SendToOrigin:
            s.m_destination.SendData(a.bytes);
            break;
        case Kind::SendToClient:
            if (a.status == 0) {
                s.m_client.SendData(a.bytes);
                break;
            }
            s.sendReply(a.bytes); // the proxy's own: not counted as payload
            if (a.status == 400) {
                m_reason = EndReason::Refused;
                m_refusal = Refusal::BadRequest;
                s.report(Event::Kind::Refused, {}, m_reason, m_refusal);
            }
            break;
        case Kind::CloseOrigin:
            closeOrigin();
            break;
        case Kind::CloseClient:
            return finish();
        case Kind::BecomeTunnel:
            // From here on the slot relays as it does for SOCKS, these bytes first.
            m_session.reset();
            s.m_destination.SendData(a.bytes);
            if (s.m_up.ended)
                s.m_destination.shutdownSend();
            s.updateReading();
            return;
        }
    }
}

void HttpConnection::log(const http::Action &action)
{
    Slot &s = m_slot;
    s.m_info.requested = action.destination;
    s.m_info.method = action.method;
    s.m_info.path = action.bytes;
    s.report(action.method == "CONNECT" ? Event::Kind::Request : Event::Kind::HttpRequest);
}

void HttpConnection::connect(const Destination &to)
{
    Slot &s = m_slot;
    s.m_info.connectedAddress.clear();
    s.m_info.connectedPort = 0;
    s.enter(Slot::Phase::Connecting);
    if (!to.address.isNull())
        s.m_connector.connectTo(to.address, to.port);
    else
        s.m_connector.connectTo(
            QString::fromLatin1(to.hostName), to.port, net::Connector::Families::Any);
}

void HttpConnection::login(const http::Credentials &credentials)
{
    acl::Logins *logins = m_slot.m_access.logins;
    if (!logins) {
        apply(m_session->loginResult(false));
        return;
    }
    m_login = logins->check(credentials.user, credentials.password, m_slot.m_info.client, &m_slot,
        [this, user = credentials.user](const acl::LoginResult &result) {
            if (result.id != m_login || !isServing())
                return;
            m_login = 0;
            const bool accepted = result.outcome == acl::LoginOutcome::Accepted;
            if (accepted)
                m_slot.m_info.user = user;
            apply(m_session->loginResult(accepted));
            if (isServing())
                updateReading();
        });
}

void HttpConnection::closeOrigin()
{
    Slot &s = m_slot;
    s.m_connector.abort();
    if (s.m_destination.State() == net::sckClosed)
        return;
    m_earlierBytesUp += s.m_destination.bytesDelivered();
    s.m_destination.Close();
}

void HttpConnection::finish()
{
    // Whatever was given to the client is still delivered (the lingering close).
    m_slot.closeSlot(m_reason, m_error, m_refusal);
}

} // namespace relay
