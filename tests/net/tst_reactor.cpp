// One epoll set for every socket: what a batch still holds for a socket that closed must reach
// nobody, not even a new socket given the same descriptor number in the same batch; and a watch
// marked last hears its batch after every other socket.

#include "net/reactor.h"

#include <QCoreApplication>
#include <QTest>

#include <functional>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

/// One end of a socket pair, watched for reading; its handler is the test's.
struct End final : net::Reactor::Watcher
{
    End(net::Reactor &reactor, std::function<void(End &)> onReady)
        : ready(std::move(onReady)), watch(reactor, this)
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            socket = net::Socket(fds[0]);
            peer = net::Socket(fds[1]);
        }
        watch.watch(socket, net::Reactor::Read);
    }
    void socketReady(bool) override
    {
        char byte;
        (void)::recv(socket.fd(), &byte, 1, MSG_DONTWAIT);
        ++told;
        ready(*this);
    }
    void close()
    {
        watch.letGo();
        socket.close();
    }
    std::function<void(End &)> ready;
    net::Socket socket, peer;
    net::Reactor::Watch watch;
    int told = 0;
};

} // namespace

class tst_Reactor final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closedInTheBatch()
    {
        net::Reactor reactor;
        std::vector<std::unique_ptr<End>> fresh;
        std::unique_ptr<End> a, b;
        // Whichever is told first closes the other and watches a new socket at once, which
        // takes the freed descriptor number; neither the closed one nor the new one (nothing
        // was sent to it) may be told anything more from this batch.
        const auto closeOther = [&](End &self) {
            End &other = &self == a.get() ? *b : *a;
            if (!other.socket.isOpen())
                return;
            const int number = other.socket.fd();
            other.close();
            fresh.push_back(std::make_unique<End>(reactor, [](End &) {}));
            QVERIFY(fresh.back()->socket.fd() == number || fresh.back()->peer.fd() == number);
        };
        a = std::make_unique<End>(reactor, closeOther);
        b = std::make_unique<End>(reactor, closeOther);
        QCOMPARE(::send(a->peer.fd(), "x", 1, 0), 1);
        QCOMPARE(::send(b->peer.fd(), "x", 1, 0), 1);
        QTRY_COMPARE(a->told + b->told, 1);
        QVERIFY(!fresh.empty());
        for (int turn = 0; turn < 3; ++turn) // had anything been left over
            QCoreApplication::processEvents();
        QCOMPARE(a->told + b->told, 1);
        QCOMPARE(fresh.back()->told, 0);
    }

    void lastOfItsBatch()
    {
        net::Reactor reactor;
        QList<int> order;
        End listener(reactor, [&order](End &) { order << 0; });
        End one(reactor, [&order](End &) { order << 1; });
        End two(reactor, [&order](End &) { order << 2; });
        listener.watch.setLast(true);
        for (End *e : { &listener, &one, &two })
            QCOMPARE(::send(e->peer.fd(), "x", 1, 0), 1);
        QTRY_VERIFY(order.size() >= 3);
        QCOMPARE(order.at(2), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Reactor)
#include "tst_reactor.moc"
