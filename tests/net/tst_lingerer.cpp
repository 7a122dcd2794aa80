// Closed connections that still owe their peer bytes: reset once the peer takes nothing for the
// (injected) limit, and never more than the bound at once. (Kept while the peer takes bytes: the
// relay's slow piped reader, end to end.)

#include "tcppair.h"

#include "net/lingerer.h"

#include <QTest>

#include <cerrno>

using namespace std::chrono_literals;

namespace {

/// How the peer's connection ended: in order, or with a reset.
struct Peer
{
    net::Socket socket;
    bool ended = false, reset = false;
    /// Takes at most `most` bytes now.
    void read(qsizetype most)
    {
        QByteArray buffer(most, Qt::Uninitialized);
        const ssize_t n = ::recv(socket.fd(), buffer.data(), size_t(most), MSG_DONTWAIT);
        const int error = n < 0 ? errno : 0;
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
    void resetWithoutProgressAndBeyondTheBound_data()
    {
        QTest::addColumn<int>("most");
        QTest::newRow("nothing taken for the limit") << 8;
        QTest::newRow("the oldest beyond the bound") << 1;
    }
    void resetWithoutProgressAndBeyondTheBound()
    {
        QFETCH(int, most);
        net::Reactor reactor;
        net::Lingerer lingerer(reactor);
        lingerer.setLimits({ most > 1 ? 300ms : 30s, most });
        Peer first = lingering(lingerer, 3 << 20);
        Peer second = lingering(lingerer, 3 << 20);
        QTRY_COMPARE(lingerer.count(), most > 1 ? 0 : 1);
        while (!first.ended && !first.reset)
            first.read(1 << 20);
        QVERIFY(first.reset);
        do
            second.read(1 << 20);
        while (most > 1 && !second.reset);
        QCOMPARE(second.reset, most > 1);
    }
};

QTEST_GUILESS_MAIN(tst_Lingerer)
#include "tst_lingerer.moc"
