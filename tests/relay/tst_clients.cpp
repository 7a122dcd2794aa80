// Real SOCKS4 clients (curl, ncat) through the proxy to servers the test runs on loopback.

#include "harness.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace harness;

namespace {

/// Just enough HTTP/1.1 for curl: GET /file answers with `body`; PUT stores what it gets.
struct HttpServer
{
    QTcpServer server;
    QByteArray body;
    QByteArray uploaded;

    HttpServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                    *buffer += s->readAll();
                    serve(s, *buffer);
                });
            }
        });
    }

    void serve(QTcpSocket *s, QByteArray &buffer)
    {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QByteArray head = buffer.left(headerEnd);
        const QByteArray payload = buffer.mid(headerEnd + 4);
        if (head.startsWith("GET ")) {
            s->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
                + "\r\nConnection: close\r\n\r\n" + body);
            s->disconnectFromHost();
            buffer.clear();
            return;
        }
        qsizetype length = 0;
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (payload.size() < length)
            return;
        uploaded = payload;
        s->write("HTTP/1.1 201 Created\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        s->disconnectFromHost();
        buffer.clear();
    }
    quint16 port() const { return server.serverPort(); }
};

QString tool(const char *name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

} // namespace

class tst_Clients final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void curlDownloadsAndUploadsUnchanged()
    {
        const QString curl = tool("curl");
        if (curl.isEmpty())
            QSKIP("curl is not installed");
        Proxy proxy;
        HttpServer http;
        http.body = pattern(6 * 1024 * 1024, 11);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString proxyArg = QStringLiteral("127.0.0.1:") + QString::number(proxy.port);
        const QString base = QStringLiteral("http://127.0.0.1:") + QString::number(http.port());

        QProcess download;
        download.start(curl,
            { QStringLiteral("-sS"), QStringLiteral("--socks4"), proxyArg, QStringLiteral("-o"),
                dir.filePath(QStringLiteral("got")), base + QStringLiteral("/file") });
        QTRY_COMPARE_WITH_TIMEOUT(download.state(), QProcess::NotRunning, 30000);
        QCOMPARE(download.exitCode(), 0);
        QFile got(dir.filePath(QStringLiteral("got")));
        QVERIFY(got.open(QIODevice::ReadOnly));
        QVERIFY(got.readAll() == http.body);

        QFile upload(dir.filePath(QStringLiteral("up")));
        QVERIFY(upload.open(QIODevice::WriteOnly));
        const QByteArray sent = pattern(5 * 1024 * 1024 + 17, 13);
        upload.write(sent);
        upload.close();
        QProcess put;
        put.start(curl,
            { QStringLiteral("-sS"), QStringLiteral("--socks4"), proxyArg, QStringLiteral("-H"),
                QStringLiteral("Expect:"), QStringLiteral("-T"), upload.fileName(),
                base + QStringLiteral("/up") });
        QTRY_COMPARE_WITH_TIMEOUT(put.state(), QProcess::NotRunning, 30000);
        QCOMPARE(put.exitCode(), 0);
        QCOMPARE(http.uploaded.size(), sent.size());
        QVERIFY(http.uploaded == sent);

        // curl sends an empty user id: "from" and "to" are two blanks apart.
        const QString target = QStringLiteral("127.0.0.1:") + QString::number(http.port());
        QVERIFY(proxy.log.contains(QStringLiteral("Proxy [0] Request from  to ") + target));
    }

    void ncatWorksInteractively()
    {
        const QString ncat = tool("ncat");
        if (ncat.isEmpty())
            QSKIP("ncat is not installed");
        Proxy proxy;
        Destination echo;
        echo.echo = true;
        QProcess nc;
        nc.start(ncat,
            { QStringLiteral("--proxy"), QStringLiteral("127.0.0.1:") + QString::number(proxy.port),
                QStringLiteral("--proxy-type"), QStringLiteral("socks4"),
                QStringLiteral("127.0.0.1"), QString::number(echo.port()) });
        QVERIFY(nc.waitForStarted());
        QByteArray out;
        connect(&nc, &QProcess::readyReadStandardOutput, this,
            [&] { out += nc.readAllStandardOutput(); });
        nc.write("hello through socks4\n");
        QTRY_COMPARE_WITH_TIMEOUT(out, QByteArray("hello through socks4\n"), 15000);
        nc.write("second line\n");
        QTRY_COMPARE_WITH_TIMEOUT(out, QByteArray("hello through socks4\nsecond line\n"), 15000);
        QTRY_COMPARE(proxy.log.size(), 3);
        QCOMPARE(proxy.log.at(2), QStringLiteral("Outbound [0] Connected"));
        nc.closeWriteChannel();
        QTRY_COMPARE_WITH_TIMEOUT(nc.state(), QProcess::NotRunning, 15000);
        QCOMPARE(proxy.log.last(), QStringLiteral("Proxy [0] Connection Closed"));
    }
};

QTEST_GUILESS_MAIN(tst_Clients)
#include "tst_clients.moc"
