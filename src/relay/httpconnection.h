#pragma once

#include "events.h"
#include "httpsession.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace relay {

class Slot;

namespace http {
/// What the session is told of a connector's failure (`error` as net::Connector::Failed gives
/// it): the one place where the connector's codes become statuses.
ConnectResult connectResultFor(int error);
} // namespace http

/// The HTTP proxy's part of a slot. From a request's first byte until the slot ends or a CONNECT
/// turns the connection into a tunnel, the slot hands the events of its streams here: the client
/// (wsProxy) and the client's bytes go to an http::Session, and what the session asks is done
/// with the slot's destination stream (wsOutbound), which is connected anew for each host. A
/// tunnel is the slot's own relaying, as for SOCKS.
class HttpConnection final
{
public:
    explicit HttpConnection(Slot &slot) : m_slot(slot) { }

    /// Serves an HTTP client that sent these bytes so far; with loginRequired, every request
    /// needs Basic credentials that the users accept.
    void start(const QByteArray &received, bool loginRequired);
    /// Forgets the connection (the slot has ended it).
    void reset();
    /// Whether the slot's events are this connection's to handle.
    bool isServing() const { return m_session != nullptr; }
    /// Bytes delivered to origins whose connections are closed (the slot counts the open one).
    qint64 earlierBytesUp() const { return m_earlierBytesUp; }

    void clientReadable(qint64 bytes);
    void clientEnded();
    void originReadable();
    void originConnected();
    void originFailed(int error, const QString &description);
    /// The origin ended its sending, reset, or failed (`error`).
    void originEnded(const QString &error);
    /// Which side is read: the client while the session takes bytes and the origin has room,
    /// the origin while the client has room.
    void updateReading();

private:
    void apply(const http::Actions &actions);
    void log(const http::Action &action);
    void connect(const Destination &to);
    void login(const http::Credentials &credentials);
    void closeOrigin();
    void finish();

    Slot &m_slot;
    std::unique_ptr<http::Session> m_session;
    qint64 m_earlierBytesUp = 0;
    quint64 m_login = 0; ///< the check under way, if any
    EndReason m_reason = EndReason::Finished; ///< why the slot ends when the session closes
    Refusal m_refusal = Refusal::None;
    QString m_error;
};

} // namespace relay
