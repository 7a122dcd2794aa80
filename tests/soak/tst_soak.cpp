// The relay under thousands of connections drawn from a fixed seed, more at a time than it has
// slots, ending every way; then every slot is free. SOAK_CONNECTIONS asks for a longer run.

#include "harness.h"

#include <QScopeGuard>
#include <QTestEventLoop>

#include <filesystem>
#include <random>

using namespace harness;
using namespace Qt::StringLiterals;

namespace {

// The normal endings first: only they are checked byte for byte; the others must just end.
enum class Ending { ClientFirst, DestFirst, ClientResets, DestResets, Refused, Leaves };
enum class Protocol { Socks4, Socks4a, Socks5 };

struct Job
{
    int id = 0;
    Protocol protocol = Protocol::Socks4;
    Ending ending = Ending::ClientFirst;
    qsizetype up = 0, down = 0, cut = 0; ///< bytes from each side; where an early end cuts
    bool eager = false; ///< the client's first bytes go with its request, before the grant
    QByteArray bytes(bool client) const { return pattern(client ? up : down, 2 * id + !client); }
};

/// One end's part once the connection stands; false when a normal ending went wrong.
bool play(int fd, const Job &job, bool client, qsizetype sentEarly)
{
    const QByteArray out = job.bytes(client).sliced(sentEarly);
    if (job.ending == (client ? Ending::ClientResets : Ending::DestResets)) {
        // What the kernel takes at once of the first bytes; the close that follows resets.
        ::send(fd, out.constData(), size_t(std::min(job.cut, out.size())), MSG_DONTWAIT);
        const linger hard { 1, 0 };
        return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard) == 0;
    }
    // A thread takes what arrives to the peer's end (not a reset, nor a stall) while this one
    // sends; our end follows our last byte, or else the peer's end.
    const bool first = job.ending == (client ? Ending::ClientFirst : Ending::DestFirst);
    QByteArray in;
    bool peerEnded = false;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            in.append(buffer, n);
        peerEnded = n == 0;
    });
    const bool sent = writeAll(fd, out);
    if (first)
        ::shutdown(fd, SHUT_WR);
    reader.join();
    const bool ended = first || ::shutdown(fd, SHUT_WR) == 0;
    return job.ending > Ending::DestFirst
        || (sent && peerEnded && ended && in == job.bytes(!client));
}

/// A client's connection through the proxy, as its job has it. False when it went wrong.
bool runClient(const Job &job, quint16 proxy, quint16 destination, quint16 closed)
{
    const int fd = connectTo(proxy);
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    const bool refused = job.ending == Ending::Refused;
    const bool socks4 = job.protocol <= Protocol::Socks4a;
    const quint16 port = refused ? closed : destination;
    const QByteArray requests[] = { request(port), nameRequest(port, "localhost"),
        socks5(port, "localhost") };
    const QByteArray &request = requests[int(job.protocol)];
    if (job.ending == Ending::Leaves)
        return writeAll(fd, request.first(job.cut % request.size()));
    const qsizetype early = job.eager && !refused ? std::min<qsizetype>(job.up, 128 << 10) : 0;
    writeAll(fd, request + job.bytes(true).first(early));
    if (early == job.up && job.eager && job.ending == Ending::ClientFirst)
        ::shutdown(fd, SHUT_WR); // all sent, and ended, before the reply
    // SOCKS4's reply, or SOCKS5's method and reply, which names an IPv4 address (the destination).
    const QByteArray reply = readAll(fd, socks4 ? 8 : 12);
    if (refused) // by name too: each of its addresses is tried (and refused)
        return reply.startsWith(socks4 ? "\0\x5b"_ba : "\5\0\5\5"_ba) && readAll(fd).isEmpty();
    // A destination that resets may do so before the proxy has seen it connected.
    const bool granted = reply.startsWith(socks4 ? "\0\x5a"_ba : "\5\0\5\0\0\1"_ba);
    return granted ? play(fd, job, true, early) : job.ending == Ending::DestResets;
}

/// Open descriptors but the splice pipes streams keep and the wake-ups of Qt's lookup threads.
int openDescriptors()
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error);
        count += target.starts_with("pipe:") || target.starts_with("anon_inode:") ? 0 : 1;
    }
    return count;
}

} // namespace

class tst_Soak final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void manyConnectionsEndingEveryWay()
    {
        const int count = std::max(qEnvironmentVariableIntValue("SOAK_CONNECTIONS"), 3000);
        auto proxy = std::make_unique<Proxy>();
        QVERIFY(proxy->port != 0);
        QTcpSocket closed; // bound, never listening: connections to it are refused
        QVERIFY(closed.bind(QHostAddress::LocalHost, 0));
        std::atomic<int> remaining = 0, failed = -1; // ends still to come; a job that failed
        QTestEventLoop loop;
        const auto finished = [&](const Job &job, bool ok) {
            if (!ok)
                failed = job.id;
            if (--remaining == 0)
                QMetaObject::invokeMethod(&loop, &QTestEventLoop::exitLoop, Qt::QueuedConnection);
        };
        // Lanes: a client thread each, with a destination of its own; half of them wait in line.
        std::vector<std::vector<Job>> lanes(2 * relay::Relay::SlotCount);
        std::mt19937 rng(20261207);
        // Up to 2 MiB, about as many of each order of magnitude, from one draw.
        const auto size = [](unsigned r) { return qsizetype((r >> 11) >> (r % 22)); };
        for (int id = 0; id < count; ++id) {
            // Three in ten for each normal ending, one for each other; braced lists run in order.
            const unsigned ending = rng() % 10;
            const Job job { id, Protocol(rng() % 3), Ending(ending < 6 ? ending / 3 : ending - 4),
                size(rng()), size(rng()), qsizetype(rng() % 65536), rng() % 2 == 0 };
            lanes[size_t(id) % lanes.size()].push_back(job);
            remaining += job.ending < Ending::Refused ? 2 : 1;
        }
        const quint16 to = proxy->port, refusing = closed.localPort(); // for the threads
        const int descriptors = openDescriptors();
        std::vector<std::unique_ptr<ThreadServer>> destinations;
        std::vector<std::thread> clients;
        for (const std::vector<Job> &lane : lanes) {
            destinations.push_back(
                std::make_unique<ThreadServer>([&, jobs = &lane, next = size_t(0)](int fd) mutable {
                    while (jobs->at(next).ending >= Ending::Refused) // connections come in order
                        ++next;
                    const Job &job = jobs->at(next++);
                    finished(job, play(fd, job, false, 0));
                }));
            clients.emplace_back([&, jobs = &lane, port = destinations.back()->port] {
                for (const Job &job : *jobs)
                    finished(job, runClient(job, to, port, refusing));
            });
        }
        loop.enterLoop(240 + count / 100);
        if (loop.timeout())
            proxy.reset(); // every connection ends with it, and every thread with them
        for (std::thread &client : clients)
            client.join();
        QVERIFY2(!loop.timeout() && failed < 0,
            qPrintable(QStringLiteral("%1 ends missing, #%2 failed").arg(remaining).arg(failed)));
        QTRY_COMPARE_WITH_TIMEOUT(proxy->relay.busySlots(), 0, 10'000);
        QCOMPARE(proxy->relay.waitingCount(), 0);
        destinations.clear();
        // The lingering close keeps a socket for up to a second after both ends.
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptors, 10'000);
    }
};

QTEST_GUILESS_MAIN(tst_Soak)
#include "tst_soak.moc"
