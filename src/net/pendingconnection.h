#pragma once

#include "reactor.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

namespace net {

/// A client that nobody can serve yet: its socket stays open and unanswered, watched by the
/// reactor; what it sends meanwhile is kept (up to KeepLimit, then TCP holds it back), and
/// Closed() tells when it gives up. take() later hands the socket to a slot's stream.
class PendingConnection final : public QObject, private Reactor::Watcher
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PendingConnection)

public:
    static constexpr qsizetype KeepLimit = 64 * 1024;

    PendingConnection(
        Reactor &reactor, Socket socket, const QHostAddress &host, QObject *parent = nullptr);
    ~PendingConnection() override;

    QHostAddress host() const { return m_host; }
    /// The socket (handed over with its registration) and the bytes it sent while waiting, in
    /// order; both are the caller's now.
    Socket take(QByteArray &received);

Q_SIGNALS:
    /// The client left while waiting: it reset, or closed before sending anything.
    void Closed();

private:
    void socketReady(bool writable) override;

    Socket m_socket;
    Reactor::Watch m_watch;
    QHostAddress m_host;
    QByteArray m_received;
    bool m_ended = false; ///< its sending is over
};

} // namespace net
