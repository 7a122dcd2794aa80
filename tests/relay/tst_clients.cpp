// Real SOCKS4 and SOCKS4a clients (curl, ncat) through the proxy to servers the test runs on loopback.

#include "harness.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace harness;
using namespace Qt::StringLiterals;

namespace {

/// Just enough HTTP/1.1 for curl: GET answers with `body`, PUT stores what it gets.
struct HttpServer
{
    QTcpServer server;
    QByteArray body;
    QByteArray uploaded;

    HttpServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            QTcpSocket *s = server.nextPendingConnection();
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(
                s, &QTcpSocket::readyRead, s, [this, s, buffer = QByteArray()]() mutable {
                    buffer += s->readAll();
                    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
                    const qsizetype at = buffer.toLower().indexOf("content-length:");
                    const qsizetype length = at < 0
                        ? 0
                        : buffer.mid(at + 15, 20).split('\r').at(0).trimmed().toLongLong();
                    if (headerEnd < 0 || buffer.size() < headerEnd + 4 + length)
                        return;
                    uploaded = buffer.mid(headerEnd + 4);
                    const QByteArray reply = buffer.startsWith("GET ") ? body : QByteArray();
                    s->write("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: "
                        + QByteArray::number(reply.size()) + "\r\n\r\n" + reply);
                    s->disconnectFromHost();
                });
        });
    }
};

/// Runs a client to its end while the proxy, on this thread, keeps serving.
int run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class tst_Clients final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void curlDownloadsAndUploadsUnchanged_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("host"); // as the URL names it and the proxy logs it
        QTest::newRow("socks4") << u"--socks4"_s << u"127.0.0.1"_s;
        QTest::newRow("socks4a, the proxy resolves") << u"--socks4a"_s << u"localhost"_s;
    }
    void curlDownloadsAndUploadsUnchanged()
    {
        QFETCH(QString, mode);
        QFETCH(QString, host);
        const QString curl = QStandardPaths::findExecutable(u"curl"_s);
        if (curl.isEmpty())
            QSKIP("curl is not installed");
        Proxy proxy;
        HttpServer http;
        http.body = pattern(6 * 1024 * 1024, 11);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString proxyArg = u"127.0.0.1:%1"_s.arg(proxy.port);
        const QString target = u"%1:%2"_s.arg(host).arg(http.server.serverPort());
        const QString url = u"http://%1/file"_s.arg(target);

        const QString got = dir.filePath(u"got"_s);
        QCOMPARE(run(curl, { u"-sS"_s, mode, proxyArg, u"-o"_s, got, url }), 0);
        QFile file(got);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == http.body);

        QFile upload(dir.filePath(u"up"_s));
        QVERIFY(upload.open(QIODevice::WriteOnly));
        const QByteArray sent = pattern(5 * 1024 * 1024 + 17, 13);
        upload.write(sent);
        upload.close();
        QCOMPARE(run(curl,
                     { u"-sS"_s, mode, proxyArg, u"-H"_s, u"Expect:"_s, u"-T"_s, upload.fileName(),
                         url }),
            0);
        QVERIFY(http.uploaded == sent);
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
        nc.write("second line\n");
        QTRY_COMPARE_WITH_TIMEOUT(out, "hello through socks4\nsecond line\n"_ba, 15000);
        QCOMPARE(proxy.log.at(2), u"Outbound [0] Connected"_s);
        nc.closeWriteChannel();
        QTRY_COMPARE_WITH_TIMEOUT(nc.state(), QProcess::NotRunning, 15000);
        QCOMPARE(proxy.log.last(), u"Proxy [0] Connection Closed"_s);
    }
};

QTEST_GUILESS_MAIN(tst_Clients)
#include "tst_clients.moc"
