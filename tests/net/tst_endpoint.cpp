#include "net/endpoint.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using net::Endpoint;

namespace {

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

/// Reads from a client socket, with the event loop running, until the peer closes.
QByteArray readToEnd(QTcpSocket &socket)
{
    QByteArray all;
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { all += socket.readAll(); });
    const bool closed =
        QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 20000);
    Q_UNUSED(closed) // the caller compares what arrived
    all += socket.readAll();
    return all;
}

} // namespace

class tst_Endpoint final : public QObject
{
    Q_OBJECT

private:
    /// A listening endpoint plus one accepted connection on `accepted`, with `client` as peer.
    struct Pair
    {
        Endpoint listener;
        Endpoint accepted;
        QTcpSocket client;
    };
    static bool connectPair(Pair &p)
    {
        p.listener.setLocalPort(0);
        if (!p.listener.Listen())
            return false;
        QObject::connect(&p.listener, &Endpoint::ConnectionRequest, &p.accepted,
            [&p](qintptr id) { p.accepted.Accept(id); });
        p.client.connectToHost(
            QHostAddress::LocalHost, static_cast<quint16>(p.listener.LocalPort()));
        return QTest::qWaitFor([&p] { return p.accepted.State() == Endpoint::sckConnected; });
    }

private Q_SLOTS:
    void acceptsAndCarriesBytesBothWays()
    {
        Pair p;
        QSignalSpy requests(&p.listener, &Endpoint::ConnectionRequest);
        QString seenAddress;
        connect(&p.listener, &Endpoint::ConnectionRequest, this,
            [&] { seenAddress = p.listener.RemoteHostIP(); });
        QVERIFY(connectPair(p));
        QCOMPARE(requests.count(), 1);
        // Plain dotted IPv4, never the mapped "::ffff:127.0.0.1".
        QCOMPARE(seenAddress, QStringLiteral("127.0.0.1"));
        QCOMPARE(p.accepted.RemoteHostIP(), QStringLiteral("127.0.0.1"));
        QCOMPARE(p.accepted.RemotePort(), p.client.localPort());

        const QByteArray all = pattern(256);
        p.accepted.SendData(all);
        QTRY_COMPARE(p.client.bytesAvailable(), all.size());
        QCOMPARE(p.client.readAll(), all);

        QByteArray received;
        connect(&p.accepted, &Endpoint::DataArrival, this,
            [&](qint64 total) { received += p.accepted.GetData(total); });
        p.client.write(all);
        QTRY_COMPARE(received.size(), all.size());
        QCOMPARE(received, all);
    }

    void requestNotAcceptedIsClosedAtOnce()
    {
        Endpoint listener;
        listener.setLocalPort(0);
        QVERIFY(listener.Listen());
        QSignalSpy requests(&listener, &Endpoint::ConnectionRequest);
        QTcpSocket client;
        QSignalSpy gone(&client, &QTcpSocket::disconnected);
        client.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(listener.LocalPort()));
        QVERIFY(gone.wait());
        QCOMPARE(requests.count(), 1);
    }

    void listenFailsOnBusyPortAndStaysClosed()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
        Endpoint listener;
        listener.setLocalPort(holder.serverPort());
        QVERIFY(!listener.Listen());
        QVERIFY(!listener.ErrorString().isEmpty());
        QCOMPARE(listener.State(), Endpoint::sckClosed);

        // Stopping really frees the port.
        Endpoint other;
        other.setLocalPort(0);
        QVERIFY(other.Listen());
        const quint32 port = other.LocalPort();
        other.Close();
        QCOMPARE(other.State(), Endpoint::sckClosed);
        QTcpSocket probe;
        QSignalSpy failed(&probe, &QTcpSocket::errorOccurred);
        probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        QVERIFY(failed.wait());
    }

    void connectReportsRefusalAsError()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();

        Endpoint out;
        QSignalSpy errors(&out, &Endpoint::Error);
        QSignalSpy connects(&out, &Endpoint::Connected);
        QVERIFY(out.Connect(QStringLiteral("127.0.0.1"), port));
        QVERIFY(!out.Connect(QStringLiteral("127.0.0.1"), port)); // busy: refused, no effect
        QVERIFY(errors.wait());
        QCOMPARE(connects.count(), 0);
        QVERIFY(!errors.first().at(1).toString().isEmpty());
        QVERIFY(out.State() != Endpoint::sckConnected);
        out.Close();
        QCOMPARE(out.State(), Endpoint::sckClosed);
    }

    void connectReportsPeerAddress()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Endpoint out;
        QSignalSpy connects(&out, &Endpoint::Connected);
        out.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QVERIFY(connects.wait());
        QCOMPARE(out.State(), Endpoint::sckConnected);
        QCOMPARE(out.RemoteHostIP(), QStringLiteral("127.0.0.1"));
        QCOMPARE(out.RemotePort(), server.serverPort());
    }

    void closeDeliversQueuedBytesThenEof()
    {
        Pair p;
        QVERIFY(connectPair(p));
        const QByteArray all = pattern(8 * 1024 * 1024);
        p.accepted.SendData(all);
        p.accepted.Close();
        QCOMPARE(p.accepted.State(), Endpoint::sckClosed);
        const QByteArray got = readToEnd(p.client);
        QCOMPARE(got.size(), all.size());
        QVERIFY(got == all);
    }

    void peerCloseComesAfterItsLastBytes()
    {
        Pair p;
        QVERIFY(connectPair(p));
        QByteArray received;
        int closes = 0;
        bool closedBeforeAllData = false;
        const QByteArray all = pattern(3 * 1024 * 1024);
        connect(&p.accepted, &Endpoint::DataArrival, this,
            [&](qint64 total) { received += p.accepted.GetData(total); });
        connect(&p.accepted, &Endpoint::Closed, this, [&] {
            ++closes;
            closedBeforeAllData = received.size() != all.size();
        });
        p.client.write(all);
        p.client.disconnectFromHost();
        QTRY_COMPARE(closes, 1);
        QVERIFY(!closedBeforeAllData);
        QVERIFY(received == all);
        QCOMPARE(p.accepted.State(), Endpoint::sckClosing);
        p.accepted.Close();
        QCOMPARE(p.accepted.State(), Endpoint::sckClosed);
    }

    void pausedReadingHoldsDataAndCloseBack()
    {
        Pair p;
        QVERIFY(connectPair(p));
        QByteArray received;
        int arrivals = 0;
        int closes = 0;
        connect(&p.accepted, &Endpoint::DataArrival, this, [&](qint64 total) {
            ++arrivals;
            received += p.accepted.GetData(total);
        });
        connect(&p.accepted, &Endpoint::Closed, this, [&] { ++closes; });
        p.accepted.PauseReading();
        const QByteArray all = pattern(2 * 1024 * 1024);
        p.client.write(all);
        p.client.disconnectFromHost();
        // The client gets everything into the kernel, but nothing reaches the owner: the
        // endpoint holds at most one read chunk, TCP holds back the rest.
        QTRY_COMPARE(p.client.bytesToWrite(), 0);
        QCOMPARE(arrivals, 0);
        QCOMPARE(closes, 0);
        QVERIFY(p.accepted.BytesAvailable() <= Endpoint::ReadChunk);

        p.accepted.ResumeReading();
        QTRY_COMPARE(closes, 1);
        QVERIFY(received == all);
    }

    void noStaleEventsAfterClose()
    {
        Pair p;
        QVERIFY(connectPair(p));
        int arrivals = 0;
        int closes = 0;
        QByteArray received;
        connect(&p.accepted, &Endpoint::DataArrival, this, [&](qint64 total) {
            ++arrivals;
            received += p.accepted.GetData(total);
        });
        connect(&p.accepted, &Endpoint::Closed, this, [&] { ++closes; });

        // The first client's bytes and close are in flight when the endpoint is closed and
        // reused for a second client.
        p.client.write("stale");
        p.client.flush();
        p.accepted.Close();
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(p.listener.LocalPort()));
        QTRY_COMPARE(p.accepted.State(), Endpoint::sckConnected);
        QCOMPARE(p.accepted.RemotePort(), second.localPort());
        p.client.disconnectFromHost();
        second.write("fresh");
        QTRY_COMPARE(received, QByteArray("fresh"));
        second.disconnectFromHost();
        QTRY_COMPARE(closes, 1);
        QCOMPARE(arrivals, 1);
    }

    void sendProgressReportsDrain()
    {
        Pair p;
        QVERIFY(connectPair(p));
        QSignalSpy progress(&p.accepted, &Endpoint::SendProgress);
        p.accepted.SendData(pattern(1024 * 1024));
        QVERIFY(p.accepted.BytesToSend() > 0);
        QByteArray got;
        QTRY_VERIFY((got += p.client.readAll(), got.size() == 1024 * 1024));
        QTRY_COMPARE(p.accepted.BytesToSend(), 0);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Endpoint)
#include "tst_endpoint.moc"
