// The HTTP proxy end to end: real clients (curl, wget) through the relay to origins on loopback.

#include "harness.h"

using namespace harness;
using namespace Qt::StringLiterals;

namespace {

/// An HTTP/1.1 origin on loopback that keeps its connections: each request is answered with
/// "<name> <method> <target> <body>;" (no body to HEAD; a chunked one as it came), a 100 Continue
/// first when asked for one. It counts the bytes it takes and sends, and the requests on each of
/// its connections.
struct Origin
{
    QTcpServer server;
    QByteArray name;
    qint64 received = 0;
    qint64 sent = 0;
    QList<int> requests; ///< per connection

    explicit Origin(const QByteArray &n) : name(n)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                const auto in = std::make_shared<QByteArray>();
                const auto continued = std::make_shared<bool>(false);
                const qsizetype index = requests.size();
                requests.append(0);
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                QObject::connect(s, &QTcpSocket::readyRead, s, [=, this] {
                    const QByteArray bytes = s->readAll();
                    received += bytes.size();
                    *in += bytes;
                    for (qsizetype end; (end = in->indexOf("\r\n\r\n")) >= 0;) {
                        const QByteArray head = in->first(end);
                        const qsizetype at = head.toLower().indexOf("content-length:");
                        const qsizetype last = in->indexOf("\r\n0\r\n\r\n", end + 2);
                        const qsizetype length = !head.toLower().contains("chunked")
                            ? (at < 0 ? 0
                                      : head.sliced(at + 15).split('\r').at(0).trimmed().toLong())
                            : last < 0 ? in->size()
                                       : last + 7 - end - 4; // the chunks as they came
                        if (in->size() < end + 4 + length) {
                            if (head.contains("100-continue") && !std::exchange(*continued, true))
                                send(s, "HTTP/1.1 100 Continue\r\n\r\n");
                            return;
                        }
                        const QList<QByteArray> line = head.split('\r').at(0).split(' ');
                        const QByteArray body = name + ' ' + line.value(0) + ' ' + line.value(1)
                            + ' ' + in->sliced(end + 4, length) + ';';
                        send(s,
                            "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
                                + "\r\n\r\n" + (line.value(0) == "HEAD" ? "" : body));
                        in->remove(0, end + 4 + length);
                        *continued = false;
                        ++requests[index];
                    }
                });
            }
        });
    }
    void send(QTcpSocket *s, const QByteArray &bytes)
    {
        sent += bytes.size();
        s->write(bytes);
    }
    QString port() const { return QString::number(server.serverPort()); }
};

} // namespace

class tst_HttpProxy final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void clients_data()
    {
        QTest::addColumn<QString>("command"); // %1 the proxy, %2 and %3 origins A and B, %4 shut
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QStringList>("lines"); // among the log's lines
        QTest::addColumn<QList<int>>("requests"); // on each of A's connections, then B's
        const QString proxy = u"-sS -x http://127.0.0.1:%1 "_s;
        const QString curl = u"curl "_s + proxy;
        QTest::newRow("curl GET") << curl + u"'http://127.0.0.1:%2/a?secret=1'"_s
                                  << "A GET /a?secret=1 ;"_ba
                                  << QStringList { u"Proxy [0] GET http://127.0.0.1:%2/a"_s }
                                  << QList { 1 };
        QTest::newRow("curl POST, 100-continue")
            << curl + u"-d hello -H 'Expect: 100-continue' http://127.0.0.1:%2/p"_s
            << "A POST /p hello;"_ba << QStringList { u"Proxy [0] POST http://127.0.0.1:%2/p"_s }
            << QList { 1 };
        QTest::newRow("curl chunked POST, then GET")
            << curl + u"-H 'Transfer-Encoding: chunked' -d hello http://127.0.0.1:%2/c "_s
                + u"--next "_s + proxy + u"http://127.0.0.1:%2/g"_s
            << "A POST /c 5\r\nhello\r\n0\r\n\r\n;A GET /g ;"_ba << QStringList {} << QList { 2 };
        // The length a response to HEAD names is not waited for: the next request goes on.
        QTest::newRow("curl HEAD, then GET")
            << curl + u"-I http://127.0.0.1:%2/h --next "_s + proxy + u"http://127.0.0.1:%2/g"_s
            << "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nA GET /g ;"_ba << QStringList {}
            << QList { 2 };
        // Not listed: a 407 challenge, then the request again with the login.
        QTest::newRow("curl login after 407")
            << curl + u"--proxy-anyauth -U alice:right http://127.0.0.1:%2/l"_s << "A GET /l ;"_ba
            << QStringList { u"Login by alice from 127.0.0.1"_s } << QList { 1 };
        QTest::newRow("CONNECT to the proxy itself: 403")
            << curl + u"-p -w '%{http_connect}' http://127.0.0.1:%1/ 2>/dev/null"_s << "403"_ba
            << QStringList { u"Proxy [0] Error: Connection not allowed: "
                             "127.0.0.1:%1 is this proxy"_s }
            << QList<int> {};
        QTest::newRow("curl HTTP/1.0") << curl + u"-0 http://127.0.0.1:%2/z"_s << "A GET /z ;"_ba
                                       << QStringList {} << QList { 1 };
        QTest::newRow("curl CONNECT")
            << curl + u"-p http://127.0.0.1:%2/t"_s << "A GET /t ;"_ba
            << QStringList { u"Proxy [0] Request to 127.0.0.1:%2"_s, u"Outbound [0] Connected"_s }
            << QList { 1 };
        // One client connection: A, B, A again, each request to its own host's connection.
        QTest::newRow("curl --next, two hosts")
            << curl + u"http://127.0.0.1:%2/1 http://127.0.0.1:%2/2 --next "_s + proxy
                + u"http://127.0.0.1:%3/3 --next "_s + proxy + u"http://127.0.0.1:%2/4"_s
            << "A GET /1 ;A GET /2 ;B GET /3 ;A GET /4 ;"_ba
            << QStringList { u"Proxy [0] GET http://127.0.0.1:%3/3"_s } << QList { 2, 1, 1 };
        QTest::newRow("wget") << u"wget -q -O - -e use_proxy=on -e http_proxy=127.0.0.1:%1 "
                                 "http://127.0.0.1:%2/w"_s
                              << "A GET /w ;"_ba << QStringList {} << QList { 1 };
        QTest::newRow("origin form: 400")
            << u"curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:%1/"_s << "400"_ba
            << QStringList { u"Proxy [0] Error: Invalid request"_s } << QList<int> {};
        QTest::newRow("refused: 502")
            << curl + u"-o /dev/null -w '%{http_code}' http://127.0.0.1:%4/"_s << "502"_ba
            << QStringList { u"Outbound [0] Error: Connection refused"_s } << QList<int> {};
        QTest::newRow("refused CONNECT: 502")
            << curl + u"-p -w '%{http_connect}' http://127.0.0.1:%4/ 2>/dev/null"_s << "502"_ba
            << QStringList { u"Proxy [0] Request to 127.0.0.1:%4"_s } << QList<int> {};
    }
    void clients()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, output);
        QFETCH(QStringList, lines);
        QFETCH(QList<int>, requests);
        Users users;
        acl::Guard guard; // clients here: only the proxy's own port is refused
        Proxy proxy;
        proxy.relay.setAccess({ &users.logins, &guard });
        if (command.contains(u"alice"_s))
            proxy.allowed.removeAt(0);
        Origin a("A"), b("B");
        quint16 shut = 0;
        {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            shut = closed.serverPort();
        }
        const auto fill = [&](QString text) {
            return text.replace(u"%1"_s, QString::number(proxy.port))
                .replace(u"%2"_s, a.port())
                .replace(u"%3"_s, b.port())
                .replace(u"%4"_s, QString::number(shut));
        };
        QByteArray out;
        const QString tool = command.section(u' ', 0, 0);
        if (!runPipeline(tool, fill(command), out))
            QSKIP("the client is not installed");
        QCOMPARE(out, output);
        for (const QString &line : lines)
            QVERIFY2(proxy.log.contains(fill(line)), qPrintable(proxy.log.join(u'\n')));
        QCOMPARE(a.requests + b.requests, requests);
        QCOMPARE(proxy.log.count(u"Proxy [0] Connection Request from 127.0.0.1"_s), 1);
        // Payload only, each way: what the origins took and sent, not the proxy's own answers.
        QTRY_COMPARE(proxy.relay.busySlots(), 0);
        const relay::Totals totals = proxy.relay.snapshot().totals;
        QCOMPARE(totals.bytesUp, a.received + b.received);
        QCOMPARE(totals.bytesDown, a.sent + b.sent);
        QCOMPARE(proxy.relay.snapshot().recent.back().info.protocol, relay::Protocol::Http);
    }
};

QTEST_GUILESS_MAIN(tst_HttpProxy)
#include "tst_httpproxy.moc"
