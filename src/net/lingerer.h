#pragma once

#include "outgoing.h"
#include "poller.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <vector>

namespace net {

/// Connections whose endpoint has been closed but which still owe their peer something: the
/// bytes queued for it, then an orderly end. One lingerer serves a group of endpoints (the
/// children of one parent, such as one relay's sixteen slots), and one coarse timer sweeps all
/// of its connections, so that closing a connection never costs a timer of its own.
///
/// A closed connection delivers what was queued, then sends its end (FIN). What the peer still
/// sends is read and thrown away for at most DrainMs after the close, which gives the peer time
/// to read our last bytes before a reset could destroy them; after that it is no longer read, and
/// once everything sent has been acknowledged the socket is closed, so a peer that keeps sending
/// is reset promptly. A peer that takes nothing for LingerTimeoutMs is reset.
class Lingerer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Lingerer)

public:
    static constexpr int DrainMs = 1000;
    static constexpr int SweepMs = 250;
    static constexpr int LingerTimeoutMs = 30'000;

    explicit Lingerer(QObject *parent);
    ~Lingerer() override;

    /// The lingerer shared by `endpoint` and its siblings (made on first use, as a child of the
    /// endpoint's parent, or of the endpoint itself when it has none).
    static Lingerer *sharedBy(QObject *endpoint);

    /// Takes over a connected socket whose owner is done with it. `peerClosed`: the peer's end
    /// has been read already, so nothing more can arrive.
    void add(int fd, Outgoing outgoing, bool peerClosed);
    /// Connections still lingering (for tests and benchmarks).
    qsizetype count() const { return static_cast<qsizetype>(m_closing.size()); }

private:
    struct Closing;
    void watch(Closing *c, bool read, bool write);
    void onReadable(Closing *c);
    void onWritable(Closing *c);
    void sweep();
    void finish(Closing *c, bool reset);

    QPointer<Poller> m_poller; ///< shared with the endpoints; may go first when all are destroyed
    std::vector<std::unique_ptr<Closing>> m_closing;
    QTimer m_sweep;
    QElapsedTimer m_clock;
    QByteArray m_scratch;
};

} // namespace net
