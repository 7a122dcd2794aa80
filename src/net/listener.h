#pragma once

#include "reactor.h"
#include "state.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace net {

/// A client knocking at the listener: the accepted socket and where it comes from. Move-only;
/// a request that nobody takes the socket from closes it when it goes.
struct Incoming
{
    Socket socket;
    QHostAddress host; ///< plain IPv4 for an IPv4 client, never the ::ffff: form
    quint16 port = 0;
    quint16 localPort = 0; ///< the port it came to
};

/// The listening socket: one dual-stack socket for IPv6 and IPv4 clients on the same port
/// (IPv4 alone where the machine has no IPv6), watched by the reactor. Each connection is
/// accepted (accept4) and offered to the ConnectionRequest handler before anything else is kept.
///
/// When the system has no descriptor to spare, accepting pauses (the socket is not watched) and
/// is tried again every RetryMs; Error is raised once for such a spell, not for every retry.
class Listener final : public QObject, private Reactor::Watcher
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Listener)

public:
    using ConnectionRequest = std::function<void(Incoming request)>;
    static constexpr int RetryMs = 100;

    explicit Listener(Reactor &reactor, QObject *parent = nullptr);
    ~Listener() override;

    /// Who is offered each accepted connection (the relay); without one, each is closed.
    void setConnectionRequest(ConnectionRequest handler) { m_request = std::move(handler); }
    StateValue State() const { return m_socket.isOpen() ? sckListening : sckClosed; }
    /// The port asked for, or while listening the port taken (useful when asked for 0).
    quint16 LocalPort() const;
    void setLocalPort(quint16 port) { m_localPort = port; }
    /// Listens on LocalPort() on every address. Returns false, with ErrorString() set and the
    /// listener still closed, when the port cannot be taken (in use, no permission, ...).
    bool Listen();
    /// Stops listening; harmless when closed.
    void Close();
    QString ErrorString() const { return m_errorString; }
    /// Accepting rests for want of descriptors.
    bool isPaused() const { return m_retry.isActive(); }

Q_SIGNALS:
    /// Accepting failed (out of descriptors, say); accepting goes on once it can.
    void Error(const QString &description);

private:
    void socketReady(bool writable) override;

    Reactor &m_reactor;
    Socket m_socket;
    Reactor::Watch m_watch { m_reactor, this };
    ConnectionRequest m_request;
    quint16 m_localPort = 0;
    quint16 m_boundPort = 0; ///< the port listened on (the one asked for, or the kernel's pick)
    QString m_errorString;
    QTimer m_retry;
    bool m_starved = false; ///< the last accept failed for want of descriptors (Error raised)
};

} // namespace net
