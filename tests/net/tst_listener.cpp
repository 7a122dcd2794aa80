// The listener when the process runs out of descriptors: it rests, says so once, and serves
// again as soon as descriptors are free.

#include "tcppair.h"

#include "net/listener.h"

#include <QScopeGuard>
#include <QTest>

#include <sys/resource.h>

class tst_Listener final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pausesOnceWhenDescriptorsRunOut()
    {
        net::Reactor reactor;
        net::Listener listener(reactor);
        listener.setLocalPort(0);
        QVERIFY(listener.Listen());
        std::vector<net::Incoming> accepted;
        listener.setConnectionRequest(
            [&accepted](net::Incoming request) { accepted.push_back(std::move(request)); });
        QStringList errors;
        connect(&listener, &net::Listener::Error, &listener,
            [&errors](const QString &description) { errors << description; });
        std::vector<net::Socket> clients;
        const auto knock = [&] {
            clients.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in to { AF_INET, htons(listener.LocalPort()), { htonl(INADDR_LOOPBACK) }, {} };
            return ::connect(clients.back().fd(), reinterpret_cast<sockaddr *>(&to), sizeof to)
                == 0;
        };
        // One served while descriptors abound (a sanitizer needs some for its first checks).
        QVERIFY(knock());
        QTRY_COMPARE(accepted.size(), size_t(1));
        for (int k = 0; k < 3; ++k)
            QVERIFY(knock());
        // Room for one more descriptor only.
        rlimit was {};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &was) == 0);
        const auto restore = qScopeGuard([&was] { ::setrlimit(RLIMIT_NOFILE, &was); });
        const int lowestFree = ::dup(0); // the number the next accept gets
        ::close(lowestFree);
        rlimit low { rlim_t(lowestFree + 1), was.rlim_max };
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
        QTRY_VERIFY(listener.isPaused());
        QCOMPARE(accepted.size(), size_t(2));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0), QString::fromLocal8Bit(std::strerror(EMFILE)));
        // Retries meanwhile say nothing more.
        QTest::qWait(4 * net::Listener::RetryMs);
        QCOMPARE(errors.size(), 1);
        ::setrlimit(RLIMIT_NOFILE, &was);
        QTRY_COMPARE(accepted.size(), size_t(4));
        QVERIFY(!listener.isPaused());
        QCOMPARE(errors.size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Listener)
#include "tst_listener.moc"
