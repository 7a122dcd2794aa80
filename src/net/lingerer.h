#pragma once

#include "outgoing.h"
#include "reactor.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace net {

/// Connections whose stream has been closed but which still owe their peer something: the bytes
/// queued for it, then an orderly end. One lingerer serves all of a relay's streams, and one
/// coarse timer sweeps all of its connections, so closing one never costs a timer of its own.
///
/// A closed connection delivers what was queued, then sends its end (FIN). It is not read any
/// more: a peer that keeps sending only fills the kernel's buffers, and TCP holds it back. The
/// socket is closed as soon as the peer ends too, or PeerEndMs after our end, once everything
/// sent has been acknowledged (so that the reset a peer gets for sending more can never destroy
/// our last bytes on their way). A peer that takes nothing for LingerTimeoutMs is reset.
class Lingerer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Lingerer)

public:
    static constexpr int PeerEndMs = 1000;
    static constexpr int SweepMs = 250;
    static constexpr int LingerTimeoutMs = 30'000;

    explicit Lingerer(Reactor &reactor, QObject *parent = nullptr);
    ~Lingerer() override;

    /// Takes over a connected socket whose owner is done with it. `peerEnded`: the peer's end
    /// has been read already, so nothing more can arrive.
    void add(int fd, Outgoing outgoing, bool peerEnded);

private:
    struct Closing;
    void onReady(Closing *c, bool writable);
    void flush(Closing *c);
    void sweep();
    bool acknowledged(const Closing *c) const;
    void finish(Closing *c, bool reset);

    Reactor &m_reactor;
    std::vector<std::unique_ptr<Closing>> m_closing;
    QTimer m_sweep;
    QElapsedTimer m_clock;
};

} // namespace net
