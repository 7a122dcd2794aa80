#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

namespace net {

/// A connection taken from a listener that nobody can serve yet: it stays open and unanswered,
/// what the peer sends meanwhile is kept (up to KeepLimit, then TCP holds the peer back), and
/// Closed() tells when the peer gives up. Endpoint::Accept(descriptor()) later takes it over.
class PendingConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PendingConnection)

public:
    static constexpr qsizetype KeepLimit = 64 * 1024;

    /// Keeps a connection request of a listening Endpoint (its requestID, while the
    /// ConnectionRequest is being handled) beyond that handler. isValid() tells whether it could.
    PendingConnection(qintptr requestID, const QString &address, QObject *parent = nullptr);
    ~PendingConnection() override;

    bool isValid() const { return m_fd >= 0; }
    /// The peer's dotted address, as the listener reported it.
    QString address() const { return m_address; }
    /// For Endpoint::Accept(), which takes its own copy; this one is closed with the object.
    qintptr descriptor() const { return m_fd; }
    /// The bytes the peer sent while it waited, in order; what is left is still in the socket.
    QByteArray takeReceived();

Q_SIGNALS:
    /// The peer closed or reset the connection while waiting.
    void Closed();

private:
    void onReadable();

    int m_fd = -1;
    QString m_address;
    QByteArray m_received;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace net
