#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QTcpSocket;
QT_END_NAMESPACE

namespace net {

class ListenServer;

/// An event-driven TCP endpoint in the style of a Winsock control: a long-lived object that is
/// opened and closed again and again, each time around a fresh socket. Everything runs on the
/// thread that owns it; every event is a signal.
///
/// Guarantees the proxy logic relies on:
/// - Peer and local addresses are always plain dotted IPv4 text ("10.0.0.5").
/// - After Close(), no event of the closed connection ever reaches a later one.
/// - Close() never discards bytes already queued with SendData(): they are delivered in the
///   background, then the connection is closed, while this endpoint reads as closed at once.
/// - Closed() is raised only once every received byte has been taken with GetData(), so a peer's
///   last bytes are never lost to its close event, however long reading was paused.
class Endpoint final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Endpoint)

public:
    /// Winsock's state numbers and names; the proxy tests only sckClosed and sckConnected.
    enum StateValue : qint16 {
        sckClosed = 0,
        sckListening = 2,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    explicit Endpoint(QObject *parent = nullptr);
    ~Endpoint() override;

    qint16 State() const { return m_state; }
    quint32 LocalPort() const;
    void setLocalPort(quint32 port) { m_localPort = port; }
    quint32 RemotePort() const { return m_remotePort; }
    QString RemoteHostIP() const { return m_remoteHostIP; }
    QString LocalIP() const;

    /// Listens on LocalPort() on every IPv4 address. Returns false, with ErrorString() set and
    /// the endpoint still closed, when the port cannot be taken (in use, no permission, ...).
    bool Listen();
    /// Takes over the pending connection of a ConnectionRequest raised by a listening endpoint.
    /// Valid only while that event is being handled; a request nobody accepts is closed when
    /// the handler returns. Returns false if this endpoint is not closed or the id is stale.
    bool Accept(qintptr requestID);
    /// Starts connecting to a dotted IPv4 address; Connected() or Error() follows. Returns false
    /// (and does nothing) if this endpoint is not closed.
    bool Connect(const QString &host, quint32 port);
    /// Queues bytes for sending, in call order. Dropped when not connected.
    void SendData(const QByteArray &bytes);
    /// Takes up to maxLen received bytes (all of them for a negative maxLen).
    QByteArray GetData(qint64 maxLen = -1);
    /// Moves up to maxLen received bytes, unchanged and in order, onto the send queue of `to`
    /// (GetData then SendData), and returns how many. This is the relay's one data path, so a
    /// zero-copy implementation (splice through a pipe) can replace it without the relay
    /// noticing; what such a pipe holds counts in to.BytesToSend().
    qint64 TransferTo(Endpoint &to, qint64 maxLen = -1);
    /// Closes the connection or stops listening; the state is Closed at once. Queued outgoing
    /// bytes are still delivered (bounded by LingerTimeoutMs), then the connection is closed.
    void Close();

    /// Bytes received and not yet taken.
    qint64 BytesAvailable() const;
    /// Bytes queued with SendData() and not yet handed to the kernel.
    qint64 BytesToSend() const;
    /// Stops raising DataArrival and stops taking bytes from the kernel (beyond a small buffer),
    /// so that TCP flow control holds the peer back. Resuming raises DataArrival again if bytes
    /// are waiting.
    void PauseReading();
    void ResumeReading();
    bool IsReadingPaused() const { return m_paused; }

    QString ErrorString() const { return m_errorString; }

    /// How long a closed connection may take to deliver what was queued before it is dropped.
    static constexpr int LingerTimeoutMs = 30'000;
    /// What one socket buffers from the kernel before reading waits for the owner.
    static constexpr qint64 ReadChunk = 128 * 1024;

Q_SIGNALS:
    /// A client knocks at a listening endpoint; during the handler RemoteHostIP() is its address.
    void ConnectionRequest(qintptr requestID);
    /// An outgoing connection is established (the Winsock "Connect" event).
    void Connected();
    /// bytesTotal bytes can be taken with GetData().
    void DataArrival(qint64 bytesTotal);
    /// The peer closed the connection (the Winsock "Close" event). Call Close() to finish.
    void Closed();
    /// The connection or the listener failed; only the description is meant for people.
    void Error(int number, const QString &description);
    /// Queued bytes went out; bytesToSend is what is still queued.
    void SendProgress(qint64 bytesToSend);

private:
    friend class ListenServer;
    void onIncoming(qintptr descriptor);
    void attach(QTcpSocket *socket);
    void detachAndLinger(QTcpSocket *socket);
    void onReadyRead();
    void onPeerClosed();
    void maybeRaiseClosed();
    void postDataArrival();

    qint16 m_state = sckClosed;
    quint32 m_localPort = 0;
    quint32 m_remotePort = 0;
    QString m_remoteHostIP;
    QString m_errorString;
    QTcpSocket *m_socket = nullptr;
    ListenServer *m_server = nullptr;
    quint64 m_generation = 0;
    bool m_paused = false;
    bool m_peerClosed = false;
    bool m_arrivalPosted = false;
};

} // namespace net
