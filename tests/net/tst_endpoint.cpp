#include "net/endpoint.h"
#include "net/poller.h"

#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>

using net::Endpoint;

/// Relaying, flow control and both close orders are covered end to end by the relay's tests.
class tst_Endpoint final : public QObject
{
    Q_OBJECT

    static char at(qint64 i) { return static_cast<char>((i * 7 + i / 4093) & 0xff); }
    static quint16 listen(Endpoint &l) { return l.Listen() ? quint16(l.LocalPort()) : 0; }

private Q_SLOTS:
    void closeDeliversWhatIsQueuedAndCutsOffTheSender()
    {
        for (const bool zeroCopy : { true, false }) { // splice, and the copy it falls back to
            Endpoint listener, from, to;
            const quint16 port = listen(listener);
            connect(&listener, &Endpoint::ConnectionRequest, this,
                [&](qintptr id) { from.Accept(id) || to.Accept(id); });
            // A bare socket that only ever sends, and a reader that reads nothing until told to.
            const int sender = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a { AF_INET, htons(port), { htonl(INADDR_LOOPBACK) }, {} };
            QCOMPARE(::connect(sender, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
            QTRY_COMPARE(from.State(), Endpoint::sckConnected);
            QTcpSocket reader;
            reader.setReadBufferSize(1);
            reader.connectToHost(QHostAddress::LocalHost, port);
            QTRY_COMPARE(to.State(), Endpoint::sckConnected);
            from.setZeroCopy(zeroCopy), to.setZeroCopy(zeroCopy);
            qint64 offered = 0, moved = 0;
            const auto pump = [&] { // false once the connection is cut
                for (QByteArray chunk(65536, Qt::Uninitialized);;) {
                    for (qsizetype i = 0; i < chunk.size(); ++i)
                        chunk[i] = at(offered + i);
                    const ssize_t n =
                        ::send(sender, chunk.data(), 65536, MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n < 0)
                        return errno == EAGAIN;
                    offered += n;
                }
            };
            connect(&from, &Endpoint::DataArrival, this, [&](qint64 total) {
                moved += from.TransferTo(to, total);
                if (to.BytesToSend() > 0) // a caller that stops at the first backlog
                    from.PauseReading();
            });
            QTRY_VERIFY((pump(), to.BytesToSend() > 0));

            from.Close(); // while bytes still wait toward the reader
            to.Close();
            QByteArray got;
            connect(&reader, &QTcpSocket::readyRead, this, [&] { got += reader.readAll(); });
            reader.setReadBufferSize(0);
            QTRY_COMPARE_WITH_TIMEOUT(reader.state(), QAbstractSocket::UnconnectedState, 20000);
            QCOMPARE(got.size(), moved);
            for (qint64 i = 0; i < moved; ++i)
                QCOMPARE(got[i], at(i));
            // The sender, still sending, is cut off long before the 30 s of the old lingering close.
            QTRY_VERIFY_WITH_TIMEOUT(!pump(), 10000);
            ::close(sender);
        }
    }

    void noEventOfAClosedConnectionReachesTheNext()
    {
        Endpoint listener, accepted;
        const quint16 port = listen(listener);
        connect(&listener, &Endpoint::ConnectionRequest, this,
            [&](qintptr id) { accepted.Accept(id); });
        QByteArray received;
        connect(&accepted, &Endpoint::DataArrival, this,
            [&](qint64 n) { received += accepted.GetData(n); });
        QTcpSocket first, second;
        first.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(accepted.State(), Endpoint::sckConnected);
        first.write("stale");
        first.flush();
        accepted.Close(); // while the first client's bytes and end are in flight
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(accepted.RemotePort(), second.localPort());
        first.disconnectFromHost();
        second.write("fresh");
        second.disconnectFromHost();
        QTRY_COMPARE(accepted.State(), Endpoint::sckClosing); // one Closed, after "fresh"
        QCOMPARE(received, QByteArray("fresh"));
    }

    void aSocketNoLongerWatchedHearsNothingMoreFromItsBatch()
    {
        // Two sockets ready in one batch: whichever is told first stops watching the other, as
        // the relay closes both sides of a slot, and may watch a fresh socket with it at once,
        // as a slot is reopened. Nothing of the other's old socket may reach it after that.
        struct Side final : net::Poller::Watcher
        {
            void socketReady(bool) override { ready(); }
            std::function<void()> ready;
            net::Poller::Watch watch { this };
            int fds[2] = { -1, -1 };
        };
        for (const bool reopen : { false, true }) {
            QObject home;
            auto *poller = new net::Poller(&home);
            Side sides[3]; // the third only lends a socket that has nothing to read
            int told = 0;
            for (Side &side : sides)
                QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, side.fds), 0);
            for (int i : { 0, 1 }) {
                Side &self = sides[i], &other = sides[1 - i];
                self.ready = [&, reopen] {
                    ++told;
                    poller->watch(self.watch, self.fds[0], false, false);
                    poller->watch(other.watch, other.fds[0], false, false);
                    if (reopen)
                        poller->watch(other.watch, sides[2].fds[0], true, false);
                };
                QCOMPARE(::write(self.fds[1], "x", 1), 1);
                poller->watch(self.watch, self.fds[0], true, false);
            }
            QTRY_VERIFY(told > 0); // the whole batch is delivered by then
            QCOMPARE(told, 1);
            for (Side &side : sides) {
                poller->watch(side.watch, side.fds[0], false, false);
                ::close(side.fds[0]), ::close(side.fds[1]);
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_Endpoint)
#include "tst_endpoint.moc"
