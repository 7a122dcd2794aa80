#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include "outgoing.h"
#include "poller.h"

QT_BEGIN_NAMESPACE
class QTcpSocket;
QT_END_NAMESPACE

namespace net {

class Lingerer;
class ListenServer;

/// An event-driven TCP endpoint in the style of a Winsock control: a long-lived object that is
/// opened and closed again and again, each time around a fresh socket. Everything runs on the
/// thread that owns it; every event is a signal.
///
/// Guarantees the proxy logic relies on:
/// - Peer and local addresses are always plain dotted IPv4 text ("10.0.0.5").
/// - After Close(), no event of the closed connection ever reaches a later one.
/// - Close() never discards bytes already queued (SendData() or TransferTo()): they are delivered
///   in the background, then the connection ends, while this endpoint reads as closed at once.
///   What the peer sends after Close() is thrown away, for about a second at most; after that a
///   peer that keeps sending is reset (see Lingerer).
/// - Closed() is raised only once every received byte has been taken with GetData() or
///   TransferTo(), so a peer's last bytes are never lost to its close event, however long
///   reading was paused.
///
/// How it works: the endpoint owns a bare descriptor and has it watched by the Poller shared with
/// its siblings, on the owner's event loop. A dotted IPv4 destination is connected to directly;
/// a host name goes through a QTcpSocket (its lookup runs without blocking), whose descriptor the
/// endpoint takes over once it is connected. Received bytes stay in the kernel until they are taken, so a paused
/// endpoint holds nothing and TCP holds the peer back. TransferTo() moves bytes from one socket
/// to the other with splice(2) through a pipe that belongs to the receiving endpoint, so relayed
/// bytes never pass through user space; where the kernel refuses splice it copies instead.
/// Closed connections that still owe their peer something are handed to the Lingerer shared by
/// this endpoint's siblings (the children of its parent), which sweeps them all with one timer.
class Endpoint final : public QObject, private Poller::Watcher
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

    /// Listens on LocalPort() on every IPv4 address. Returns false, with ErrorString() set and
    /// the endpoint still closed, when the port cannot be taken (in use, no permission, ...).
    bool Listen();
    /// Takes over the pending connection of a ConnectionRequest raised by a listening endpoint.
    /// Valid only while that event is being handled; a request nobody accepts is closed when
    /// the handler returns. Returns false if this endpoint is not closed or the id is stale.
    bool Accept(qintptr requestID);
    /// Starts connecting to a dotted IPv4 address or a host name (looked up without blocking,
    /// IPv4 only); Connected() or Error() follows. Returns false (and does nothing) if this
    /// endpoint is not closed.
    bool Connect(const QString &host, quint32 port);
    /// Queues bytes for sending, in call order (after what TransferTo() queued before). Sent
    /// at once as far as the kernel takes them. Dropped when not connected.
    void SendData(const QByteArray &bytes);
    /// Takes up to maxLen received bytes (all of them for a negative maxLen).
    QByteArray GetData(qint64 maxLen = -1);
    /// Moves up to maxLen received bytes (at most ReadChunk), unchanged and in order, onto the
    /// send queue of `to`, as GetData() then to.SendData() would, and returns how many. Once both
    /// are connected the bytes go by splice through the pipe of `to`, whose contents count in
    /// to.BytesToSend(). When `to` can take nothing more, this endpoint stops reading until it
    /// can, so a caller that ignores flow control never spins.
    qint64 TransferTo(Endpoint &to, qint64 maxLen = -1);
    /// Closes the connection or stops listening; the state is Closed at once. Queued outgoing
    /// bytes are still delivered (bounded by Lingerer::LingerTimeoutMs), then the connection ends.
    void Close();

    /// Bytes received and not yet taken, as DataArrival counts them: at most ReadChunk at a
    /// time (beyond that they wait in the kernel, where TCP holds the peer back).
    qint64 BytesAvailable() const;
    /// Bytes queued (SendData(), TransferTo()) and not yet handed to the kernel.
    qint64 BytesToSend() const;
    /// Stops raising DataArrival and stops taking bytes from the kernel, so that TCP flow control
    /// holds the peer back. Resuming raises DataArrival again if bytes are waiting.
    void PauseReading();
    void ResumeReading();
    bool IsReadingPaused() const { return m_paused; }
    /// True while the socket is not watched for input: paused, or its bytes have nowhere to go.
    bool IsReadingHeld() const;
    /// While reading is held, a reset or vanished peer would go unnoticed: this looks once,
    /// without reading, and raises Closed() or Error() as reading would have.
    void ProbePeer();
    /// Splicing is on by default; off, TransferTo() copies, as it does by itself wherever the
    /// kernel refuses splice. For comparisons and tests.
    void setZeroCopy(bool on) { m_zeroCopy = on; }

    QString ErrorString() const { return m_errorString; }

    /// The most one DataArrival announces and one GetData() or TransferTo() call moves.
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
    void attach(int fd, bool peerKnown);
    void connectByName(const QString &host, quint32 port);
    void takeOver(QTcpSocket *socket);
    void finishConnecting();
    void connectFailed(int error);
    void socketReady(bool writable) override;
    void setWatch(bool read, bool write);
    void onReadable();
    void onWritable();
    void flush();
    void peerGone();
    void fail(int error);
    void postWriteFailure(int error);
    void updateReader();
    void releaseLinks();
    qint64 kernelBytes() const;

    qint16 m_state = sckClosed;
    quint32 m_localPort = 0;
    quint32 m_remotePort = 0;
    QString m_remoteHostIP;
    QString m_errorString;
    QTcpSocket *m_connector = nullptr; ///< only while connecting
    ListenServer *m_server = nullptr;
    int m_fd = -1; ///< the socket (connected, or connecting to an address), ours alone
    QPointer<Poller> m_poller; ///< shared with the siblings; may go first when all are destroyed
    Poller::Watch m_watch { this };
    bool m_reading = false; ///< watched for input
    bool m_writing = false; ///< watched for room to send (or for the connection to complete)
    QByteArray m_in; ///< bytes read before the descriptor became ours
    Outgoing m_out;
    Endpoint *m_feeder = nullptr; ///< an endpoint waiting for room in our pipe
    Endpoint *m_waitingOn = nullptr; ///< the endpoint whose pipe we wait for
    Lingerer *m_lingerer = nullptr;
    quint64 m_generation = 0;
    bool m_paused = false;
    bool m_peerClosed = false; ///< the peer's end (or a reset) has been read
    bool m_writeFailed = false;
    bool m_zeroCopy = true;
};

} // namespace net
