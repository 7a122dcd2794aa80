#pragma once

#include "reactor.h"
#include "state.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

namespace net {

/// A client knocking at the listener: the accepted socket, which is closed when the
/// ConnectionRequest handler returns unless somebody took it.
struct Incoming
{
    int fd = -1;
    QHostAddress host; ///< plain IPv4 for an IPv4 client, never the ::ffff: form
    quint16 port = 0;
    /// The socket, now the caller's.
    int take() { return std::exchange(fd, -1); }
};

/// The listening socket: one dual-stack socket for IPv6 and IPv4 clients on the same port
/// (IPv4 alone where the machine has no IPv6), watched by the reactor. Each connection is
/// accepted (accept4) and offered through ConnectionRequest before anything else is kept.
class Listener final : public QObject, private Reactor::Watcher
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Listener)

public:
    explicit Listener(Reactor &reactor, QObject *parent = nullptr);
    ~Listener() override;

    StateValue State() const { return m_fd >= 0 ? sckListening : sckClosed; }
    /// The port asked for, or while listening the port taken (useful when asked for 0).
    quint16 LocalPort() const;
    void setLocalPort(quint16 port) { m_localPort = port; }
    /// Listens on LocalPort() on every address. Returns false, with ErrorString() set and the
    /// listener still closed, when the port cannot be taken (in use, no permission, ...).
    bool Listen();
    /// Stops listening; harmless when closed.
    void Close();
    QString ErrorString() const { return m_errorString; }

Q_SIGNALS:
    void ConnectionRequest(net::Incoming &request);
    /// Accepting failed (out of descriptors, say); accepting goes on shortly after.
    void Error(const QString &description);

private:
    void socketReady(bool writable) override;

    Reactor &m_reactor;
    Reactor::Watch m_watch { this };
    int m_fd = -1;
    quint16 m_localPort = 0;
    QString m_errorString;
    QTimer m_retry;
};

} // namespace net
