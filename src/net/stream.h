#pragma once

#include "outgoing.h"
#include "reactor.h"
#include "sockaddr.h"
#include "state.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <optional>

namespace net {

class Lingerer;

/// One connected TCP socket of a slot, in the style of a Winsock control: a long-lived object
/// that is given a fresh socket again and again. It reads, sends, moves bytes to another stream
/// by splice, ends its sending (FIN) and closes into the lingering close. Everything runs on the
/// owner's thread; every event is a signal.
///
/// Guarantees the relay relies on:
/// - After Close(), no event of the closed connection ever reaches a later one.
/// - Close() never discards bytes queued for a peer that is still there: they are delivered in
///   the background (Lingerer) while this stream reads as closed at once.
/// - Closed() is raised only once every received byte has been taken, so a peer's last bytes
///   are never lost to its end, however long reading was switched off.
/// - A reset is noticed even while reading is off.
///
/// Received bytes stay in the kernel until they are taken, so a stream that is not reading holds
/// nothing and TCP holds the peer back. transferTo() splices from this socket into a pipe of the
/// receiving stream and from there into its socket, so relayed bytes never pass through user
/// space; where the kernel refuses splice it copies instead.
class Stream final : public QObject, private Reactor::Watcher
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Stream)

public:
    /// The most one DataArrival announces and one GetData() copies.
    static constexpr qint64 ReadChunk = 128 * 1024;
    /// Past this much queued for sending, the stream counts as full (flow control).
    static constexpr qint64 QueueLimit = 1024 * 1024;

    Stream(Reactor &reactor, Lingerer &lingerer, QObject *parent = nullptr);
    ~Stream() override;

    StateValue State() const { return m_state; }
    /// Reset, failed, or refused what was sent to it: nothing more can be delivered.
    bool isGone() const { return m_gone; }
    QHostAddress RemoteHost() const { return peer().host; }
    quint16 RemotePort() const { return peer().port; }
    /// This end's address and port (plain IPv4 where the socket is dual-stack).
    QHostAddress LocalHost() const { return local().host; }
    quint16 LocalPort() const { return local().port; }

    /// Takes a connected non-blocking socket (accepted or connected; it may be in the reactor's
    /// set, handed over by its last watch), and its peer's address where the caller knows it
    /// already. Returns false, and closes the socket, if this stream is not closed.
    bool Accept(Socket socket, std::optional<SocketAddress> peer = std::nullopt);
    /// Queues bytes for sending, in call order; sent at once as far as the kernel takes them.
    /// Dropped when not connected or gone.
    void SendData(const QByteArray &bytes);
    /// Takes up to maxLen received bytes (up to ReadChunk for a negative maxLen).
    QByteArray GetData(qint64 maxLen = -1);
    /// Moves received bytes, unchanged and in order, onto the send queue of `to` (as GetData()
    /// then to.SendData() would), as much as `to` takes, and returns how many.
    qint64 transferTo(Stream &to);
    /// Bytes queued and not yet handed to the kernel.
    qint64 bytesToSend() const { return m_out.size(); }
    /// Bytes of this connection handed to the kernel so far (counted from Accept).
    qint64 bytesDelivered() const { return m_delivered; }
    /// Whether this stream should be given nothing more for now (flow control).
    bool isFull() const { return m_out.size() >= QueueLimit || m_out.pipeFull(); }
    /// Reading on: DataArrival and Closed() are raised. Off: bytes wait in the kernel.
    void setReading(bool on);
    /// Ends the sending side (FIN) once everything queued is out; receiving goes on.
    void shutdownSend();
    /// Closes; the state is closed at once (see the guarantees above).
    void Close();

Q_SIGNALS:
    /// Bytes can be taken: bytesTotal of them, or up to that many (ReadChunk) when the count
    /// was not asked of the kernel.
    void DataArrival(qint64 bytesTotal);
    /// The peer ended its sending, or reset (then isGone()).
    void Closed();
    /// The connection failed; the description is for people.
    void Error(const QString &description);
    /// Queued bytes went out; bytesToSend is what is still queued.
    void SendProgress(qint64 bytesToSend);

private:
    void socketReady(bool writable) override;
    void onReadable();
    void onTrouble();
    void flush();
    bool acceptsSplice() const;
    void peerEnded();
    void goneNow(int error);
    void failed(int error);
    void updateWatch();
    void tookBytes(qint64 got, qint64 wanted);
    /// The ends' addresses, asked of the kernel when first wanted, once per connection.
    const SocketAddress &peer() const;
    const SocketAddress &local() const;

    Reactor &m_reactor;
    Lingerer &m_lingerer;
    Socket m_socket;
    Reactor::Watch m_watch { m_reactor, this };
    StateValue m_state = sckClosed;
    mutable std::optional<SocketAddress> m_peer, m_local;
    Outgoing m_out;
    qint64 m_delivered = 0;
    qint64 m_taken = 0; ///< bytes taken since the last readiness
    bool m_drained = false; ///< a read got less than it asked for: empty until the next readiness
    quint64 m_generation = 0;
    bool m_reading = true; ///< flow control lets it read
    bool m_blocked = false; ///< the kernel took not all: waiting for room
    bool m_hungUp = false; ///< both ends are done: not watched until reading is on again
    bool m_shutdownWanted = false;
    bool m_shutdownDone = false;
    bool m_gone = false;
    bool m_zeroCopy = true; ///< false once the kernel refused to splice from this socket
};

} // namespace net
