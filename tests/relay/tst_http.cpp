#include "relay/httpsession.h"

#include <QTest>

namespace http = relay::http;
using http::HeadStatus;
using Kind = http::Action::Kind;

Q_DECLARE_METATYPE(http::HeadStatus)

namespace {

QByteArray flat(QByteArray bytes)
{
    return bytes.replace("\r\n", "|");
}

QByteArray hostPort(const relay::Destination &d)
{
    const QByteArray host = d.address.isNull() ? d.hostName : d.address.toString().toLatin1();
    return host + ':' + QByteArray::number(d.port);
}

/// One line per call: the actions in order, the proxy's own responses by status only.
QByteArray render(const http::Actions &actions)
{
    QByteArrayList out;
    for (const http::Action &a : actions) {
        const QByteArray &b = a.bytes;
        static const QByteArrayList names { "login ", "log ", "connect ", "O[", "C[",
            "close origin", "close client", "tunnel[" };
        QByteArray line = names[int(a.kind)];
        if (a.kind == Kind::Login)
            line += a.credentials.user + ':' + a.credentials.password;
        else if (a.kind == Kind::LogRequest || a.kind == Kind::Connect)
            line += (a.method.isEmpty() ? "" : a.method + ' ') + hostPort(a.destination);
        else if (b.contains("text/plain; charset=utf-8")) // ours: the status, close, challenge
            line = "C:" + b.sliced(9, 3) + (b.contains("close\r\n") ? " close" : "")
                + (b.contains("Basic realm=\"Socks4 Proxy Server\"") ? " auth" : "");
        else if (line.endsWith('['))
            line += flat(b) + ']';
        out += line;
    }
    return out.join("; ");
}

/// Runs one step of a session script: "c:" client bytes, "o:" origin bytes, "ce" / "oe" an end,
/// "accept" / "deny" a login's verdict, else a connect's outcome (ConnectResult's order).
http::Actions step(http::Session &s, const QByteArray &c)
{
    static const QByteArrayList results { "connected", "notfound", "refused", "unreachable",
        "timeout", "forbidden" };
    const QByteArray rest = c.sliced(qMin<qsizetype>(2, c.size()));
    return c.startsWith("c:")          ? s.clientData(rest)
        : c.startsWith("o:")           ? s.originData(rest)
        : c == "ce"                    ? s.clientEnded()
        : c == "oe"                    ? s.originEnded()
        : c == "accept" || c == "deny" ? s.loginResult(c == "accept")
                                       : s.connectResult(http::ConnectResult(results.indexOf(c)));
}

const QByteArray ok2 = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";

} // namespace

class tst_Http : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void head_data()
    {
        using S = HeadStatus;
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<HeadStatus>("status");
        QTest::addColumn<QByteArray>("request"); // "@" for an address, host:port, origin-form path
        const QByteArray big =
            "GET http://a/ HTTP/1.1\r\nX: " + QByteArray(http::MaxHeadLength, 'x');
        const auto row = [](const char *name, const QByteArray &bytes, S status,
                             const char *request = "") {
            QTest::newRow(name) << bytes << status << QByteArray(request);
        };
        row("CONNECT name, ClientHello after", "CONNECT example.org:443 HTTP/1.1\r\n\r\n\x16\x03",
            S::Complete, "example.org:443 ");
        row("CONNECT [IPv6]", "CONNECT [2001:db8::1]:443 HTTP/1.0\r\n\r\n", S::Complete,
            "@2001:db8::1:443 ");
        row("CONNECT without port", "CONNECT example.org HTTP/1.1\r\n\r\n", S::Bad);
        row("absolute, query, LF only", "POST http://Example.org:8080/a/b?q=1#f HTTP/1.1\n\n",
            S::Complete, "Example.org:8080 /a/b?q=1");
        row("absolute [IPv6]", "GET http://[::1]:81/x HTTP/1.1\r\n\r\n", S::Complete, "@::1:81 /x");
        row("https scheme", "GET https://a/ HTTP/1.1\r\n\r\n", S::Bad);
        row("bad header", "GET http://a/ HTTP/1.1\r\nNo colon\r\n\r\n", S::Bad);
        row("length and chunked",
            "POST http://a/ HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
            S::Bad);
        row("half a head", "GET http://a/ HTTP/1.1\r\nHost: a\r\n", S::NeedMore);
        row("64 KiB without end", big.first(http::MaxHeadLength), S::TooLarge);
        row("end just beyond 64 KiB", big.first(http::MaxHeadLength - 3) + "\r\n\r\n", S::TooLarge);
        row("end within 64 KiB", big.first(http::MaxHeadLength - 4) + "\r\n\r\n", S::Complete,
            "a:80 /");
    }
    void head()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(HeadStatus, status);
        QFETCH(QByteArray, request);
        const http::HeadResult result = http::readRequestHead(bytes);
        QCOMPARE(result.status, status);
        if (status != HeadStatus::Complete)
            return;
        const http::Request &r = result.request;
        QCOMPARE(
            (r.destination.address.isNull() ? "" : "@") + hostPort(r.destination) + ' ' + r.path,
            request);
        QCOMPARE(r.headLength, http::headEnd(bytes));
        for (qsizetype n = 0; n < r.headLength; n += 1 + n / 64) // split anywhere: it waits
            QCOMPARE(http::readRequestHead(bytes.first(n)).status, HeadStatus::NeedMore);
    }

    void rewrite() // hop-by-hop headers go, those named by Connection too; Host is the target's
    {
        QCOMPARE(
            http::forwardHead(http::readRequestHead(
                "GET http://[::1]:8080/p?q HTTP/1.1\r\nHost: wrong\r\nConnection: close, X-Hop\r\n"
                "X-Hop: 1\r\nx-hop: 2\r\nKeep-Alive: 5\r\nProxy-Connection: keep-alive\r\nTE: "
                "trailers\r\nTrailer: T\r\nUpgrade: h2c\r\nProxy-Authorization: Basic eDp5\r\n"
                "Accept: */*\r\nX-End:  v \r\n\r\n")
                                  .request),
            "GET /p?q HTTP/1.1\r\nHost: [::1]:8080\r\nAccept: */*\r\nX-End: v\r\n\r\n");
    }

    void credentials_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("decoded"); // user, a newline, password; empty for none
        for (const auto &[value, decoded] :
            { std::pair("Basic Ym9iOnB3", "bob\npw"), std::pair("basic  YTpiOmM=", "a\nb:c"),
                std::pair("Basic Ym9i", ""), std::pair("Bearer Ym9iOnB3", "") })
            QTest::newRow(value) << QByteArray(value) << QByteArray(decoded);
    }
    void credentials()
    {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, decoded);
        const auto c = http::basicCredentials(value);
        QCOMPARE(c ? c->user + '\n' + c->password : QByteArray(), decoded);
    }

    void framing_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("messages"); // each message's end and status; "!" an error
        const auto row = [](const char *name, const QByteArray &stream, const char *messages) {
            QTest::newRow(name) << stream << QByteArray(messages);
        };
        row("chunked with trailer",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\nT: 1\r\n\r\n",
            "65/200");
        row("204 and 304 without body",
            "HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n",
            "27/204 75/304");
        row("cut short", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab", "!");
        row("bad chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\n", "!");
    }
    void framing() // responses, byte by byte and whole (requests: end to end, tst_httpproxy)
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, messages);
        for (const qsizetype chunk : { qsizetype(1), stream.size() }) {
            http::MessageReader reader(http::MessageReader::Kind::Response);
            QByteArrayList seen;
            qsizetype offset = 0;
            http::MessageReader::Step s;
            const auto note = [&] {
                if (s.complete)
                    seen += QByteArray::number(offset) + '/' + QByteArray::number(s.status)
                        + (s.keepAlive ? "" : " close");
            };
            for (qsizetype at = 0; !s.error && at < stream.size(); at += chunk)
                for (QByteArrayView piece =
                         QByteArrayView(stream).sliced(at).first(qMin(chunk, stream.size() - at));
                     !s.error && !piece.isEmpty(); piece = piece.sliced(s.consumed)) {
                    s = reader.read(piece);
                    offset += s.consumed;
                    note();
                }
            if (!s.error && reader.inMessage())
                s = reader.end(), note();
            QCOMPARE(seen.join(' ') + (s.error ? "!" : ""), messages);
        }
    }

    void session_data()
    {
        QTest::addColumn<bool>("login");
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QByteArrayList>("traces"); // what each step does
        const QByteArray getA = "GET http://a/x HTTP/1.1\r\n\r\n";
        const QByteArray sentA = "O[GET /x HTTP/1.1|Host: a||]";
        const auto row = [](const char *name, bool login, const QByteArrayList &steps,
                             const QByteArrayList &traces) {
            QTest::newRow(name) << login << steps << traces;
        };
        row("407 to HTTP/1.0 closes", true, { "c:GET http://a/ HTTP/1.0\r\n\r\n" },
            { "C:407 close auth; close client" });
        for (const auto &[result, status] :
            { std::pair("notfound", "502"), std::pair("timeout", "504") })
            row(result, false, { "c:" + getA, result },
                { "log GET a:80; connect a:80",
                    QByteArray("C:") + status + " close; close client" });
        row("head too large", false, { "c:GET http://a/ HTTP/1.1\r\n" + QByteArray(70000, 'x') },
            { "C:400 close; close client" });
        row("final response before the body", false,
            { "c:PUT http://a/ HTTP/1.1\r\nContent-Length: 2\r\n\r\n", "connected", "o:" + ok2 },
            { "log PUT a:80; connect a:80", "O[PUT / HTTP/1.1|Host: a|Content-Length: 2||]",
                "C[" + flat(ok2) + "]; close origin; close client" });
        row("chunked request body, read-to-close response", false,
            { "c:POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n",
                "connected", "c:0\r\n\r\n", "o:HTTP/1.1 200 OK\r\n\r\nab", "oe" },
            { "log POST a:80; connect a:80",
                "O[POST / HTTP/1.1|Host: a|Transfer-Encoding: chunked||]; O[1|x|]", "O[0||]",
                "C[HTTP/1.1 200 OK||ab]", "close client" });
        row("origin answers no HTTP", false, { "c:" + getA, "connected", "o:SSH-2.0-x\r\n" },
            { "log GET a:80; connect a:80", sentA, "C:502 close; close origin; close client" });
        row("idle origin closes, the next request reconnects", false,
            { "c:" + getA, "connected", "o:" + ok2, "oe", "c:" + getA },
            { "log GET a:80; connect a:80", sentA, "C[" + flat(ok2) + ']', "",
                "log GET a:80; connect a:80" });
    }
    void session()
    {
        QFETCH(bool, login);
        QFETCH(QByteArrayList, steps);
        QFETCH(QByteArrayList, traces);
        QCOMPARE(steps.size(), traces.size());
        http::Session s(login);
        for (qsizetype i = 0; i < steps.size(); ++i)
            QCOMPARE(render(step(s, steps[i])), traces[i]);
    }
};

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
