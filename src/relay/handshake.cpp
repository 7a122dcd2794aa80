#include "handshake.h"

#include "socks4.h"
#include "socks5.h"

#include "net/connector.h"

#include <cerrno>

namespace relay {

void Handshake::reset()
{
    m_phase = Phase::Fresh;
    m_protocol = Protocol::Unknown;
    m_buffer.clear();
    m_user.clear();
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
    switch (greeting.status) {
    case socks5::GreetingStatus::NeedMore:
        return {};
    case socks5::GreetingStatus::NoAcceptableMethod:
        return refuse(socks5::methodReply(false), Refusal::NoAcceptableMethod);
    case socks5::GreetingStatus::Accepted:
        break;
    }
    m_phase = Phase::Greeted;
    m_protocol = Protocol::Socks5;
    m_buffer.remove(0, greeting.consumed);
    // The request may have come with the greeting: answer both at once.
    Step step = feed5();
    step.reply.prepend(socks5::methodReply(true));
    return step;
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
    if (m_protocol == Protocol::Socks5)
        return socks5::reply(
            socks5::replyFor(error == net::Connector::NameNotFound ? EHOSTUNREACH : error));
    // Tell a waiting client that its destination cannot be reached (reply code 91).
    return socks4::failure(m_destination.port, m_requestedIPv4);
}

} // namespace relay
