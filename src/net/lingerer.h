#pragma once

#include "outgoing.h"
#include "reactor.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>

namespace net {

/// Connections whose stream has been closed but which still owe their peer something: the bytes
/// queued for it, then an orderly end. One lingerer serves all of a relay's streams, and one
/// coarse timer sweeps all of its connections, so closing one never costs a timer of its own.
///
/// A closed connection delivers what was queued, then sends its end (FIN). It is not read any
/// more: a peer that keeps sending only fills the kernel's buffers, and TCP holds it back. The
/// socket is closed as soon as the peer ends too, or PeerEndMs after our end, once everything
/// sent has been acknowledged (so that the reset a peer gets for sending more can never destroy
/// our last bytes on their way). A connection lingers as long as its peer keeps acknowledging
/// bytes; one whose peer takes nothing for `Limits::idle` is reset. At most `Limits::most`
/// linger at once (each may hold a socket and a pipe): beyond that, the oldest is reset.
class Lingerer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Lingerer)

public:
    static constexpr int PeerEndMs = 1000;
    static constexpr int SweepMs = 250;
    struct Limits
    {
        std::chrono::milliseconds idle { 30'000 }; ///< nothing acknowledged for this long: reset
        int most = 256; ///< by default lingerBound() of the limit in force when made
    };

    explicit Lingerer(Reactor &reactor, QObject *parent = nullptr);
    ~Lingerer() override;

    void setLimits(const Limits &limits) { m_limits = limits; }
    const Limits &limits() const { return m_limits; }
    /// Connections still lingering.
    qsizetype count() const { return static_cast<qsizetype>(m_closing.size()); }

    /// Takes over a connected socket whose owner is done with it (it may still be in the
    /// reactor's set, handed over). `peerEnded`: the peer's end has been read already, so
    /// nothing more can arrive.
    void add(Socket socket, Outgoing outgoing, bool peerEnded);

private:
    struct Closing;
    void onReady(Closing *c, bool writable);
    void flush(Closing *c);
    void sweep();
    void finish(Closing *c, bool reset);

    Reactor &m_reactor;
    Limits m_limits;
    std::deque<std::unique_ptr<Closing>> m_closing; ///< oldest first
    QTimer m_sweep;
    QElapsedTimer m_clock;
};

} // namespace net
