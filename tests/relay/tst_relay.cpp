// The relay end to end over loopback with real sockets and clients (curl, ncat). Names not in
// /etc/hosts are looked up only in the private namespaces of tst_relay_names (CMakeLists.txt).

#include "harness.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QUdpSocket>
#include <QtEndian>

using namespace harness;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using relay::Relay;

namespace {

/// A client whose request to the destination is granted and whose connection stands there.
bool relayed(Proxy &proxy, Destination &destination, Client &client)
{
    if (!client.connectTo(proxy.port))
        return false;
    client.socket->write(request(destination.port()));
    const bool up = QTest::qWaitFor(
        [&] { return client.received.size() == 8 && destination.peers.size() == 1; });
    client.received.clear();
    return up;
}

} // namespace

class tst_Relay final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handshakeGrantsAndLogs_data()
    {
        QTest::addColumn<QByteArray>("userId");
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("host"); // empty: a request by address
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("inPieces"); // after a refused SOCKS5 request, a byte at a time
        const auto row = [](const char *name, const QByteArray &user, const QByteArray &host,
                             const QString &shown, int command = 1, bool inPieces = false) {
            QTest::newRow(name) << user << command << host << shown << inPieces;
        };
        row("bob", "bob", {}, u"bob to 127.0.0.1"_s);
        row("CD 2 served as CONNECT, empty user id", {}, {}, u" to 127.0.0.1"_s, 2);
        row("line end cannot forge a line", "x\nProxy [1] Connected", {},
            u"x\\x0aProxy [1] Connected to 127.0.0.1"_s);
        row("by name", "bob", "localhost", u"bob to localhost"_s);
        row("dotted name in pieces", "bob", "127.0.0.1", u"bob to 127.0.0.1"_s, 1, true);
    }
    void handshakeGrantsAndLogs()
    {
        QFETCH(QByteArray, userId);
        QFETCH(int, command);
        QFETCH(QByteArray, host);
        QFETCH(QString, shown);
        QFETCH(bool, inPieces);
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        const quint16 port = destination.port();
        QByteArray req = host.isEmpty() ? request(port, userId, quint8(command))
                                        : nameRequest(port, host, userId);
        if (inPieces) {
            // A refused request leaves the connection open for the next one.
            client.socket->write("\x05" + req.mid(1));
            QTRY_COMPARE(client.received, "\x00\x5b"_ba);
            client.received.clear();
            for (; req.size() > 1; req.remove(0, 1)) {
                client.socket->write(req.first(1));
                client.socket->flush();
                QCoreApplication::processEvents();
            }
        }
        // What follows the request, and what comes before the grant, goes to the destination
        // in order, never taken for a request (it even looks like one).
        const QByteArray payload = request(port, "not a request") + pattern(70000);
        client.socket->write(req + payload.left(10));
        client.socket->write(payload.mid(10));
        // The grant carries the address and port actually connected, also for a name.
        QTRY_COMPARE(client.received, grantFor(port));
        QCOMPARE(proxy.log,
            QStringList({ u"Proxy [0] Connection Request from 127.0.0.1"_s,
                u"Proxy [0] Request from %1:%2"_s.arg(shown).arg(port),
                u"Outbound [0] Connected"_s }));
        QTRY_COMPARE(destination.peers.at(0)->received.size(), payload.size());
        QVERIFY(destination.peers.at(0)->received == payload);
    }

    void slotClosesWithReplyAndLine_data()
    {
        // Port bytes 0 stand for a port that refuses connections, in the request and the reply.
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("requestTimeoutMs"); // 0: the usual
        const auto row = [](const char *name, const QByteArray &bytes, const QByteArray &reply,
                             const char *line, int requestTimeoutMs = 0) {
            QTest::newRow(name) << bytes << reply << QString::fromLatin1(line) << requestTimeoutMs;
        };
        const QByteArray failed = grantFor(0, 0x5b), failedName = grantFor(0, 0x5b, true);
        row("refused destination", request(0), failed, "Outbound [0] Error: Connection refused");
        row("user id without end", request(0, QByteArray(2000, 'u')).left(1500), {},
            "Proxy [0] Error: SOCKS4 user id too long");
        row("256-byte host name", nameRequest(0, QByteArray(256, 'h')), failedName,
            "Proxy [0] Error: Invalid host name");
        row("no whole request in time", "\x04\x01", {}, "Proxy [0] Error: Request timed out", 50);
    }
    void slotClosesWithReplyAndLine()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, reply);
        QFETCH(QString, line);
        QFETCH(int, requestTimeoutMs);
        QTcpSocket refusing; // bound, not listening: refuses, and nobody else can take its port
        QVERIFY(refusing.bind(QHostAddress::LocalHost, 0));
        for (QByteArray *b : { &bytes, &reply }) {
            if (b->size() >= 8)
                qToBigEndian(refusing.localPort(), b->data() + 2);
        }
        Proxy proxy;
        if (requestTimeoutMs > 0)
            proxy.relay.setTimeouts({ std::chrono::milliseconds(requestTimeoutMs), 30s, 10ms });
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(bytes);
        QTRY_VERIFY(client.closed);
        QCOMPARE(client.received, reply);
        QCOMPARE(proxy.log.last(), line);
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckClosed);
    }

    void destinationThatNeverAnswersTimesOut()
    {
        Blackhole blackhole;
        const quint16 port = blackhole.open();
        QVERIFY(port != 0);
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        // Bytes sent before the grant are held within a bound; past it TCP holds the client.
        client.socket->write(request(port) + pattern(1 << 20));
        QTRY_VERIFY(proxy.relay.wsProxy(0).IsReadingPaused());
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckConnecting);
        QVERIFY(proxy.relay.wsProxy(0).BytesAvailable() <= net::Endpoint::ReadChunk);
        proxy.relay.setTimeouts({ 30s, 0ms, 10ms });
        QTRY_VERIFY(client.closed);
        QCOMPARE(client.received, grantFor(port, 0x5b));
        QCOMPARE(proxy.log.last(), u"Outbound [0] Error: Connection timed out"_s);
    }

    void clientsBeyondTheSlotsWaitInLine()
    {
        Proxy proxy;
        proxy.allowed << u"127.0.0.1"_s; // listed twice: still one slot each
        Destination destination;
        std::vector<std::unique_ptr<Client>> clients(Relay::SlotCount + Relay::MaxWaiting + 1);
        for (auto &client : clients)
            QVERIFY((client = std::make_unique<Client>())->connectTo(proxy.port));
        // Sixteen are served, 64 wait unlogged, one more is closed at once.
        QTRY_VERIFY(clients.back()->closed);
        QCOMPARE(proxy.relay.waitingCount(), Relay::MaxWaiting);
        QCOMPARE(proxy.log.size(), Relay::SlotCount);
        QVERIFY(
            std::none_of(clients.begin(), clients.end() - 1, [](auto &c) { return c->closed; }));
        // A waiter that leaves is forgotten; what the others send while waiting is kept.
        Client &leaver = *clients.at(16), &first = *clients.at(17), &second = *clients.at(18);
        // It had sent its request: leaving, it must still never be served or logged.
        leaver.socket->write(request(destination.port(), "leaver"));
        leaver.socket->disconnectFromHost();
        QTRY_COMPARE(proxy.relay.waitingCount(), Relay::MaxWaiting - 1);
        first.socket->write(request(destination.port(), "first") + "1st");
        second.socket->write(request(destination.port(), "second") + "2nd");
        // A client not on the list is still closed at once, without a line.
        Client outsider;
        QVERIFY(outsider.connectTo(proxy.port, QHostAddress(u"127.0.0.2"_s)));
        QTRY_VERIFY(outsider.closed);
        QCOMPARE(proxy.log.size(), Relay::SlotCount);

        // Freed slots go to the waiters in the order they came; slot 5's client leaves while
        // its destination is still connecting.
        Blackhole blackhole;
        const quint16 port = blackhole.open();
        clients.at(5)->socket->write(request(port));
        QTRY_COMPARE(proxy.relay.wsOutbound(5).State(), net::Endpoint::sckConnecting);
        clients.at(5)->socket->disconnectFromHost();
        QTRY_COMPARE(first.received, grantFor(destination.port()));
        clients.at(2)->socket->disconnectFromHost();
        QTRY_COMPARE(second.received, grantFor(destination.port()));
        const QString to = u" to 127.0.0.1:%1"_s.arg(destination.port());
        QCOMPARE(proxy.log.mid(Relay::SlotCount + 1, 3),
            QStringList({ u"Proxy [5] Connection Closed"_s,
                u"Proxy [5] Connection Request from 127.0.0.1"_s,
                u"Proxy [5] Request from first"_s + to }));
        QCOMPARE(proxy.log.mid(Relay::SlotCount + 6, 2),
            QStringList({ u"Proxy [2] Connection Request from 127.0.0.1"_s,
                u"Proxy [2] Request from second"_s + to }));
        QTRY_COMPARE(destination.peers.size(), size_t(2));
        QTRY_COMPARE(destination.peers.at(0)->received, "1st"_ba);
        QTRY_COMPARE(destination.peers.at(1)->received, "2nd"_ba);
    }

    void waiterSendingMoreThanIsKeptLosesNothing()
    {
        Proxy proxy;
        Destination destination;
        std::vector<std::unique_ptr<Client>> clients(Relay::SlotCount);
        for (auto &client : clients)
            QVERIFY((client = std::make_unique<Client>())->connectTo(proxy.port));
        // Past what is kept while waiting, TCP holds the rest back; once served, every byte
        // reaches the destination, in order, after the grant.
        Client waiter;
        QVERIFY(waiter.connectTo(proxy.port));
        const QByteArray payload = pattern(1 << 20, 7);
        waiter.socket->write(request(destination.port()) + payload);
        QTRY_COMPARE(proxy.relay.waitingCount(), 1);
        clients.at(9)->socket->disconnectFromHost();
        QTRY_COMPARE(waiter.received, grantFor(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        QTRY_COMPARE(destination.peers.at(0)->received.size(), payload.size());
        QVERIFY(destination.peers.at(0)->received == payload);
        QVERIFY(proxy.log.contains(u"Proxy [9] Connection Request from 127.0.0.1"_s));
    }

    void destinationResettingWhileHeldBackIsNoticed()
    {
        Proxy proxy;
        proxy.relay.setTimeouts({ 30s, 30s, 10ms });
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(request(destination.port()));
        QTRY_COMPARE(client.received, grantFor(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        // The client reads nothing, so the destination's side is not read either; it resets.
        client.reading = false;
        client.socket->setReadBufferSize(4096);
        QTcpSocket &sender = *destination.peers.front()->socket;
        sender.write(pattern(16 << 20));
        QTRY_VERIFY(proxy.relay.wsOutbound(0).IsReadingHeld());
        const linger hard { 1, 0 };
        ::setsockopt(int(sender.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        sender.abort();
        QTRY_COMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.log.last(), u"Outbound [0] Connection Closed"_s);
        // What was already on its way to the client still reaches it, then its end.
        client.reading = true;
        client.socket->setReadBufferSize(0);
        client.received += client.socket->readAll();
        QTRY_VERIFY(client.closed);
        QVERIFY(client.received.mid(8) == pattern(client.received.size() - 8));
    }

    void idleConnectionMakesRoomForAWaitingClient()
    {
        Proxy proxy;
        proxy.relay.setTimeouts({ 30s, 30s, 10ms, 50ms });
        Destination destination;
        std::vector<std::unique_ptr<Client>> clients(Relay::SlotCount + 1);
        // Slot 0's client stops reading a download: quiet, but with bytes still queued for it.
        Client &reader = *(clients.front() = std::make_unique<Client>());
        QVERIFY(reader.connectTo(proxy.port));
        reader.socket->write(request(destination.port()));
        QTRY_COMPARE(reader.received, grantFor(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        reader.reading = false;
        reader.socket->setReadBufferSize(4096);
        const QByteArray download = pattern(8 << 20, 3);
        destination.peers.front()->socket->write(download);
        QTRY_VERIFY(proxy.relay.wsOutbound(0).IsReadingHeld());
        // The others are granted and then carry nothing, as a browser's kept-alive connections
        // do: one of them (only one) is closed so that the seventeenth gets its slot.
        for (auto &client : clients) {
            if (client)
                continue;
            QVERIFY((client = std::make_unique<Client>())->connectTo(proxy.port));
            client->socket->write(request(destination.port()));
        }
        QTRY_COMPARE(clients.back()->received, grantFor(destination.port()));
        QTRY_COMPARE(
            std::count_if(clients.begin(), clients.end(), [](auto &c) { return c->closed; }), 1);
        const auto evicted =
            std::find_if(proxy.log.begin(), proxy.log.end(), [](const QString &line) {
                return line.endsWith(u"Idle connection closed for a waiting client"_s);
            });
        QVERIFY(evicted != proxy.log.end());
        const QString slot = evicted->section(u' ', 0, 1);
        QVERIFY(slot != u"Proxy [0]"_s);
        QVERIFY(proxy.log.indexOf(
                    slot + u" Connection Request from 127.0.0.1"_s, evicted - proxy.log.begin())
            > 0);
        reader.reading = true;
        reader.socket->setReadBufferSize(0);
        reader.received += reader.socket->readAll();
        QTRY_COMPARE(reader.received.size(), 8 + download.size());
        QVERIFY(reader.received.mid(8) == download);
    }

    void slowSideHoldsTheFastSideBackThenGetsAll_data()
    {
        QTest::addColumn<bool>("slowDestination");
        QTest::newRow("slow client") << false;
        QTest::newRow("slow destination") << true;
    }
    void slowSideHoldsTheFastSideBackThenGetsAll()
    {
        QFETCH(bool, slowDestination);
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(relayed(proxy, destination, client));
        proxy.relay.wsListener().Close(); // stopping the listener leaves open slots relaying
        Client &slow = slowDestination ? *destination.peers.at(0) : client;
        Client &fast = slowDestination ? client : *destination.peers.at(0);
        Relay &r = proxy.relay;
        net::Endpoint &fastSide = slowDestination ? r.wsProxy(0) : r.wsOutbound(0);
        net::Endpoint &slowSide = slowDestination ? r.wsOutbound(0) : r.wsProxy(0);
        slow.reading = false;
        slow.socket->setReadBufferSize(4096);
        qint64 largestQueue = 0;
        connect(&fastSide, &net::Endpoint::DataArrival, this,
            [&] { largestQueue = std::max(largestQueue, slowSide.BytesToSend()); });
        // The fast side writes until the proxy stops reading it, however much the kernel holds,
        // then closes.
        QByteArray sent;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (fast.socket->bytesToWrite() < (1 << 20) && sent.size() < (512 << 20))
                    fast.socket->write(
                        sent.append(pattern(1 << 20, int(sent.size()))).right(1 << 20));
                return fastSide.IsReadingPaused();
            },
            60000));
        fast.socket->disconnectFromHost();
        // Every byte reaches the slow side, then the end; the queue toward it never grew past
        // the bound plus one chunk.
        slow.reading = true;
        slow.socket->setReadBufferSize(0);
        slow.received += slow.socket->readAll();
        QTRY_VERIFY_WITH_TIMEOUT(slow.closed, 60000);
        QVERIFY(slow.received == sent);
        QVERIFY(largestQueue <= Relay::PauseAbove + net::Endpoint::ReadChunk);
        QCOMPARE(proxy.log.last(),
            slowDestination ? u"Proxy [0] Connection Closed"_s
                            : u"Outbound [0] Connection Closed"_s);
        QCOMPARE(r.wsProxy(0).State(), net::Endpoint::sckClosed);
    }

    void curlDownloadsUnchanged_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("host"); // as the URL names it and the proxy logs it
        QTest::newRow("socks4") << u"--socks4"_s << u"127.0.0.1"_s;
        QTest::newRow("socks4a, the proxy resolves") << u"--socks4a"_s << u"localhost"_s;
    }
    void curlDownloadsUnchanged()
    {
        QFETCH(QString, mode);
        QFETCH(QString, host);
        const QString curl = QStandardPaths::findExecutable(u"curl"_s);
        if (curl.isEmpty())
            QSKIP("curl is not installed");
        Proxy proxy;
        QTcpServer http; // answers any request with the body, then closes
        QVERIFY(http.listen(QHostAddress::LocalHost, 0));
        const QByteArray body = pattern(6 * 1024 * 1024, 11);
        connect(&http, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *s = http.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [s, &body] {
                if (s->readAll().contains("\r\n\r\n")) {
                    s->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
                        + "\r\nConnection: close\r\n\r\n" + body);
                    s->disconnectFromHost();
                }
            });
        });
        const QString target = u"%1:%2"_s.arg(host).arg(http.serverPort());
        QProcess process;
        process.start(curl,
            { u"-sS"_s, mode, u"127.0.0.1:%1"_s.arg(proxy.port), u"http://%1/file"_s.arg(target) });
        QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 60000);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput() == body);
        // curl sends an empty user id: "from" and "to" are two blanks apart.
        QVERIFY(proxy.log.contains(u"Proxy [0] Request from  to "_s + target));
    }

    void ncatWorksInteractively()
    {
        const QString ncat = QStandardPaths::findExecutable(u"ncat"_s);
        if (ncat.isEmpty())
            QSKIP("ncat is not installed");
        Proxy proxy;
        Destination echo;
        echo.echo = true;
        QProcess nc;
        nc.start(ncat,
            { u"--proxy"_s, u"127.0.0.1:%1"_s.arg(proxy.port), u"--proxy-type"_s, u"socks4"_s,
                u"127.0.0.1"_s, QString::number(echo.port()) });
        QVERIFY(nc.waitForStarted());
        QByteArray out;
        connect(&nc, &QProcess::readyReadStandardOutput, this,
            [&] { out += nc.readAllStandardOutput(); });
        nc.write("hello through socks4\n");
        QTRY_COMPARE_WITH_TIMEOUT(out, "hello through socks4\n"_ba, 15000);
        nc.closeWriteChannel();
        QTRY_COMPARE_WITH_TIMEOUT(nc.state(), QProcess::NotRunning, 15000);
        QCOMPARE(proxy.log.last(), u"Proxy [0] Connection Closed"_s);
    }
    void namesNotInTheHostsFile()
    {
        const auto all = QNetworkInterface::allInterfaces();
        if (all.size() != 1 || !all.at(0).flags().testFlag(QNetworkInterface::IsLoopBack))
            QSKIP("looks names up only in a private network namespace (tst_relay_names)");
        // The namespace's name server: it keeps the lookup of slow.example waiting, knows
        // v6only.example by its IPv6 address alone (::1) and unroutable.example by 10.1.2.3, and
        // answers every other name at once with "no such name".
        QUdpSocket dns;
        QVERIFY(dns.bind(QHostAddress::LocalHost, 53));
        std::vector<QNetworkDatagram> held;
        const auto answer = [&dns](const QNetworkDatagram &query) {
            QByteArray reply = query.data();
            reply[2] = char(reply[2] | 0x80);
            reply[3] = char((reply[3] & 0xf0) | 3);
            dns.writeDatagram(query.makeReply(reply));
        };
        // Answers a question (its name ends at `at`) with one record if it asks for `type`.
        const auto record = [&dns](const QNetworkDatagram &query, qsizetype at, char type,
                                const QByteArray &data) {
            const bool asked = query.data().at(at + 2) == type;
            QByteArray q = query.data().left(at + 5);
            if (asked)
                q += QByteArray::fromHex("c00c00") + type + QByteArray::fromHex("00010000003c00")
                    + char(data.size()) + data;
            QByteArray header = QByteArray::fromHex("81800001000000000000"); // one question
            header[5] = char(asked); // and one answer, or none
            q.replace(2, 10, header);
            dns.writeDatagram(query.makeReply(q));
        };
        connect(&dns, &QUdpSocket::readyRead, this, [&] {
            while (dns.hasPendingDatagrams()) {
                const QNetworkDatagram query = dns.receiveDatagram();
                QByteArray q = query.data();
                qsizetype at = 12; // the question's name, label by label, then its type
                while (at < q.size() && q.at(at) != 0)
                    at += q.at(at) + 1;
                if (q.contains("\x04slow"))
                    held.push_back(query);
                else if (q.contains("\x06v6only") && at + 5 <= q.size())
                    record(query, at, 28, QByteArray(15, 0) + '\1');
                else if (q.contains("\x0aunroutable") && at + 5 <= q.size())
                    record(query, at, 1, QByteArray::fromHex("0a010203"));
                else
                    answer(query);
            }
        });
        Proxy proxy;
        Destination destination;
        Client slow;
        QVERIFY(slow.connectTo(proxy.port));
        slow.socket->write(nameRequest(80, "slow.example"));
        QTRY_VERIFY(!held.empty());
        // Others are served meanwhile; unknown names (of 255 bytes too), and a name without an
        // IPv4 address, get the 91 reply.
        Client plain;
        QVERIFY(relayed(proxy, destination, plain));
        const QByteArray label(63, 'a');
        for (const QByteArray &name :
            { "no-such-host.invalid"_ba, label + '.' + label + '.' + label + '.' + label }) {
            Client client;
            QVERIFY(client.connectTo(proxy.port));
            client.socket->write(nameRequest(80, name));
            QTRY_VERIFY(client.closed);
            QCOMPARE(client.received, grantFor(80, 0x5b, true));
            QVERIFY(proxy.log.contains(
                u"Proxy [2] Request from bob to %1:80"_s.arg(QLatin1StringView(name))));
            QVERIFY(proxy.log.last().startsWith(u"Outbound [2] Error: "_s));
        }
        QTcpServer dual; // on ::1 too: a connection over IPv6 would be granted
        QVERIFY(dual.listen(QHostAddress::Any, 0));
        Client v6;
        QVERIFY(v6.connectTo(proxy.port));
        v6.socket->write(nameRequest(dual.serverPort(), "v6only.example"));
        QTRY_VERIFY(v6.closed);
        QCOMPARE(v6.received, grantFor(dual.serverPort(), 0x5b, true));
        // Nothing is routed out of here: an address and a name for it fail alike, at once.
        for (const QByteArray &bytes :
            { request(80, "bob", 1, 0x0a010203), nameRequest(80, "unroutable.example") }) {
            Client client;
            QVERIFY(client.connectTo(proxy.port));
            client.socket->write(bytes);
            QTRY_VERIFY(client.closed);
            QCOMPARE(client.received.left(2), QByteArray::fromHex("005b"));
            QCOMPARE(proxy.log.last(), u"Outbound [2] Error: Network unreachable"_s);
        }
        QVERIFY(slow.received.isEmpty());
        proxy.relay.setTimeouts({ 30s, 0ms, 10ms }); // the connect limit covers the lookup
        QTRY_VERIFY(slow.closed);
        QCOMPARE(slow.received, grantFor(80, 0x5b, true));
        QVERIFY(proxy.log.contains(u"Outbound [0] Error: Connection timed out"_s));
        std::for_each(held.begin(), held.end(), answer); // let the lookup end
    }
};

QTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
