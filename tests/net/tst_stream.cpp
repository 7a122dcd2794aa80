// A stream over a real loopback connection whose other end the test plays: its ends, its
// failures, and the copy that keeps order behind bytes queued by copy.

#include "tcppair.h"

#include "net/lingerer.h"
#include "net/stream.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_Stream final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void endsAndFailures_data()
    {
        QTest::addColumn<bool>("reset"); // the peer resets instead of ending in order
        QTest::addColumn<bool>("readingOff"); // reading is off when the peer goes
        QTest::newRow("end") << false << false;
        QTest::newRow("end while not reading") << false << true;
        QTest::newRow("reset") << true << false;
        QTest::newRow("reset while not reading") << true << true;
    }
    void endsAndFailures()
    {
        QFETCH(bool, reset);
        QFETCH(bool, readingOff);
        net::Reactor reactor;
        net::Lingerer lingerer(reactor);
        net::Stream stream(reactor, lingerer);
        auto [ours, peer] = tcpPair();
        QVERIFY(stream.Accept(std::move(ours)));
        QVERIFY(!stream.Accept(net::Socket())); // one connection at a time
        QByteArray got;
        connect(&stream, &net::Stream::DataArrival, &stream,
            [&](qint64 n) { got += stream.GetData(n); });
        QSignalSpy closed(&stream, &net::Stream::Closed);
        QSignalSpy failed(&stream, &net::Stream::Error);
        stream.setReading(!readingOff);
        ::send(peer.fd(), "last words", 10, 0);
        const linger hard { 1, 0 }; // a reset, when closed
        if (reset && ::setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard) == 0)
            peer.close();
        else
            ::shutdown(peer.fd(), SHUT_WR);
        if (readingOff && !reset) {
            // The end waits behind the bytes before it, however long reading stays off.
            for (int k = 0; k < 10; ++k)
                QCoreApplication::processEvents();
            QCOMPARE(closed.size(), 0);
            stream.setReading(true);
        }
        QTRY_COMPARE(closed.size(), 1);
        QCOMPARE(failed.size(), 0);
        QCOMPARE(stream.isGone(), reset);
        QCOMPARE(stream.State(), reset ? net::sckError : net::sckClosing);
        if (!reset)
            QCOMPARE(got, "last words"_ba);
        stream.Close();
        QCOMPARE(stream.State(), net::sckClosed);
        QCOMPARE(lingerer.count(), 0);
    }

    void copiesInOrderBehindCopiedBytes()
    {
        // Bytes queued by copy must go out before any relayed behind them, so a transfer then
        // copies too, whatever the kernel would splice.
        net::Reactor reactor;
        net::Lingerer lingerer(reactor);
        net::Stream from(reactor, lingerer), to(reactor, lingerer);
        auto [fromOurs, fromPeer] = tcpPair();
        auto [toOurs, toPeer] = tcpPair();
        const int small = 16 * 1024;
        ::setsockopt(toOurs.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(toPeer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        QVERIFY(from.Accept(std::move(fromOurs)) && to.Accept(std::move(toOurs)));
        const QByteArray reply(512 * 1024, 'r'); // more than the kernel takes at once
        to.SendData(reply);
        QVERIFY(to.bytesToSend() > 0);
        ::send(fromPeer.fd(), "relayed", 7, 0);
        qint64 moved = 0;
        QTRY_VERIFY((moved += from.transferTo(to)) == 7);
        to.shutdownSend();
        QByteArray got;
        QTRY_VERIFY([&] {
            char buffer[1 << 16];
            const ssize_t n = ::recv(toPeer.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            got.append(buffer, std::max<ssize_t>(n, 0));
            return n == 0;
        }());
        QCOMPARE(got.size(), reply.size() + 7);
        QVERIFY(got.endsWith("rrrrelayed"));
    }
};

QTEST_GUILESS_MAIN(tst_Stream)
#include "tst_stream.moc"
