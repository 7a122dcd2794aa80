// Closed connections that still owe their peer bytes: kept while the peer takes them, reset
// once it takes nothing for the (injected) limit, and never more than the bound at once.

#include "tcppair.h"

#include "net/lingerer.h"

#include <QTest>
#include <QTimer>

#include <cerrno>

using namespace std::chrono_literals;

namespace {

/// What the peer got, to its end (true) or a reset (false).
struct Peer
{
    net::Socket socket;
    QByteArray got;
    bool ended = false, reset = false;
    /// Takes at most `most` bytes now.
    void read(qsizetype most)
    {
        QByteArray buffer(most, Qt::Uninitialized);
        const ssize_t n = ::recv(socket.fd(), buffer.data(), size_t(most), MSG_DONTWAIT);
        const int error = n < 0 ? errno : 0;
        got.append(buffer.constData(), std::max<ssize_t>(n, 0));
        ended = ended || n == 0;
        reset = reset || (error != 0 && error != EAGAIN);
    }
};

/// A lingering connection owing `size` bytes; the peer's receive buffer is kept small.
Peer lingering(net::Lingerer &lingerer, qsizetype size)
{
    auto [ours, peer] = tcpPair();
    const int small = 16 * 1024;
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    net::Outgoing owed;
    owed.append(QByteArray(size, 'x'));
    lingerer.add(std::move(ours), std::move(owed), false);
    Peer p;
    p.socket = std::move(peer);
    return p;
}

} // namespace

class tst_Lingerer final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keptWhileThePeerTakesBytes()
    {
        net::Reactor reactor;
        net::Lingerer lingerer(reactor);
        lingerer.setLimits({ 600ms, 8 });
        Peer peer = lingering(lingerer, 3 << 20);
        QTimer slow; // about 1.6 MB/s: the whole takes three times the limit and more
        slow.callOnTimeout([&] { peer.read(32 * 1024); });
        slow.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(peer.ended || peer.reset, 30'000);
        QVERIFY(!peer.reset);
        QCOMPARE(peer.got.size(), 3 << 20);
        QTRY_COMPARE(lingerer.count(), 0);
    }

    void resetWhenThePeerTakesNothing()
    {
        net::Reactor reactor;
        net::Lingerer lingerer(reactor);
        lingerer.setLimits({ 300ms, 8 });
        Peer peer = lingering(lingerer, 3 << 20);
        QCOMPARE(lingerer.count(), 1);
        QTRY_COMPARE(lingerer.count(), 0);
        while (!peer.ended && !peer.reset)
            peer.read(1 << 20);
        QVERIFY(peer.reset);
    }

    void theOldestGoesBeyondTheBound()
    {
        net::Reactor reactor;
        net::Lingerer lingerer(reactor);
        lingerer.setLimits({ 30s, 2 });
        std::vector<Peer> peers;
        for (int k = 0; k < 3; ++k)
            peers.push_back(lingering(lingerer, 3 << 20));
        QCOMPARE(lingerer.count(), 2);
        while (!peers[0].ended && !peers[0].reset)
            peers[0].read(1 << 20);
        QVERIFY(peers[0].reset);
        peers[1].read(1 << 20);
        QVERIFY(!peers[1].reset);
    }
};

QTEST_GUILESS_MAIN(tst_Lingerer)
#include "tst_lingerer.moc"
