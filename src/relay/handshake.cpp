#include "handshake.h"

#include "rfc1929.h"
#include "socks4.h"
#include "socks5.h"

#include "net/connector.h"

#include <cerrno>

namespace relay {

void Handshake::reset(Auth auth)
{
    m_auth = auth;
    m_phase = auth == Auth::LoggedIn ? Phase::Greeted : Phase::Fresh;
    m_protocol = auth == Auth::LoggedIn ? Protocol::Socks5 : Protocol::Unknown;
    m_buffer.clear();
    m_user.clear();
    m_loginName.clear();
    m_password.clear();
    m_destination = {};
    m_requestedIPv4 = 0;
    m_associate = false;
}

Handshake::Step Handshake::refuse(QByteArray reply, Refusal why)
{
    m_phase = Phase::Done;
    m_buffer.clear();
    return { std::move(reply), why, false };
}

Handshake::Step Handshake::feed(const QByteArray &bytes)
{
    m_buffer += bytes;
    if (m_phase == Phase::Greeted)
        return feed5();
    if (m_phase == Phase::Login)
        return feedLogin();
    if (m_phase != Phase::Fresh || m_buffer.isEmpty())
        return {};
    const auto first = static_cast<quint8>(m_buffer.at(0));
    switch (first) {
    case socks4::Version:
        return feed4();
    case socks5::Version:
        return feedGreeting();
    default:
        if ((first | 0x20) >= 'a' && (first | 0x20) <= 'z') { // an HTTP method
            m_phase = Phase::Done;
            m_protocol = Protocol::Http;
            Step step;
            step.http = true;
            return step;
        }
        // Neither protocol: refuse it and take the next bytes as a new request.
        m_buffer.clear();
        return { socks4::rejection(), Refusal::None, false };
    }
}

Handshake::Step Handshake::feed4()
{
    const socks4::DecodeResult decoded = socks4::decodeRequest(m_buffer);
    const socks4::Request &request = decoded.request;
    switch (decoded.status) {
    case socks4::DecodeStatus::NeedMore:
        return {};
    case socks4::DecodeStatus::BadVersion: // the first byte chose this decoder
        Q_UNREACHABLE();
    case socks4::DecodeStatus::BadHostName:
        return refuse(socks4::failure(request.port, request.address), Refusal::BadHostName);
    case socks4::DecodeStatus::TooLong:
        return refuse({}, Refusal::UserIdTooLong);
    case socks4::DecodeStatus::Complete:
        break;
    }
    m_phase = Phase::Done;
    m_protocol = request.hostName.isEmpty() ? Protocol::Socks4 : Protocol::Socks4a;
    m_requestedIPv4 = request.address;
    m_user = request.userId;
    m_destination.port = request.port;
    if (request.hostName.isEmpty())
        m_destination.address = QHostAddress(request.address);
    else
        m_destination.hostName = request.hostName;
    m_buffer.remove(0, request.consumed);
    return { {}, Refusal::None, true };
}

Handshake::Step Handshake::feedGreeting()
{
    const socks5::GreetingResult greeting = socks5::decodeGreeting(m_buffer);
    if (greeting.status == socks5::GreetingStatus::NeedMore)
        return {};
    const bool offersNone = greeting.status == socks5::GreetingStatus::Accepted;
    const bool offersLogin = greeting.consumed > 2
        && QByteArrayView(m_buffer)
               .sliced(2, greeting.consumed - 2)
               .contains(char(rfc1929::Method));
    const bool none = offersNone && (m_auth == Auth::Open || m_auth == Auth::Listed);
    const bool login = offersLogin && (m_auth == Auth::Listed || m_auth == Auth::Stranger);
    m_protocol = Protocol::Socks5;
    if (!none && !login)
        return refuse(socks5::methodReply(false), Refusal::NoAcceptableMethod);
    m_buffer.remove(0, greeting.consumed);
    // The login or the request may have come with the greeting: answer them at once.
    m_phase = none ? Phase::Greeted : Phase::Login;
    Step step = none ? feed5() : feedLogin();
    step.reply.prepend(none ? socks5::methodReply(true)
                            : QByteArray(1, char(socks5::Version)) + char(rfc1929::Method));
    return step;
}

Handshake::Step Handshake::feedLogin()
{
    const rfc1929::Result decoded = rfc1929::decode(m_buffer);
    if (decoded.status == rfc1929::Status::NeedMore)
        return {};
    if (decoded.status == rfc1929::Status::BadVersion)
        return refuse({}, Refusal::BadLogin);
    m_buffer.remove(0, decoded.consumed);
    m_loginName = decoded.name;
    if (m_auth == Auth::Listed) {
        // An allowed client needs no password: whatever it sends will do.
        m_phase = Phase::Greeted;
        Step step = feed5();
        step.reply.prepend(rfc1929::reply(true));
        return step;
    }
    m_password = decoded.password;
    m_phase = Phase::Checking;
    Step step;
    step.login = true;
    return step;
}

Handshake::Step Handshake::loggedIn(bool accepted)
{
    m_password.fill('\0');
    m_password.clear();
    if (!accepted)
        return refuse(rfc1929::reply(false), Refusal::LoginFailed);
    m_phase = Phase::Greeted;
    return { rfc1929::reply(true), Refusal::None, false };
}

Handshake::Step Handshake::feed5()
{
    using socks5::Reply;
    const socks5::RequestResult decoded = socks5::decodeRequest(m_buffer);
    switch (decoded.status) {
    case socks5::RequestStatus::NeedMore:
        return {};
    case socks5::RequestStatus::BadVersion:
        return refuse(socks5::reply(Reply::GeneralFailure), Refusal::BadRequest);
    case socks5::RequestStatus::CommandNotSupported:
        return refuse(socks5::reply(Reply::CommandNotSupported), Refusal::CommandNotSupported);
    case socks5::RequestStatus::AddressTypeNotSupported:
        return refuse(
            socks5::reply(Reply::AddressTypeNotSupported), Refusal::AddressTypeNotSupported);
    case socks5::RequestStatus::BadHostName:
        return refuse(socks5::reply(Reply::GeneralFailure), Refusal::BadHostName);
    case socks5::RequestStatus::Complete:
        break;
    }
    const socks5::Request &request = decoded.request;
    m_phase = Phase::Done;
    m_destination.address = request.address;
    m_destination.hostName = request.hostName;
    m_destination.port = request.port;
    m_associate = request.command == socks5::UdpAssociate;
    m_buffer.remove(0, request.consumed);
    return { {}, Refusal::None, true };
}

QByteArray Handshake::granted(const QHostAddress &remote, quint16 remotePort,
    const QHostAddress &local, quint16 localPort) const
{
    if (m_protocol == Protocol::Socks5)
        return socks5::reply(socks5::Reply::Succeeded, local, localPort);
    return socks4::grant(remotePort, remote.toIPv4Address());
}

QByteArray Handshake::failed(int error) const
{
    if (m_protocol == Protocol::Socks5 && error == net::Connector::Forbidden)
        return socks5::reply(socks5::Reply::NotAllowed);
    if (m_protocol == Protocol::Socks5)
        return socks5::reply(
            socks5::replyFor(error == net::Connector::NameNotFound ? EHOSTUNREACH : error));
    // Tell a waiting client that its destination cannot be reached (reply code 91).
    return socks4::failure(m_destination.port, m_requestedIPv4);
}

} // namespace relay
