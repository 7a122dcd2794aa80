#include "relay/httpframing.h"
#include "relay/httphead.h"
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
        switch (a.kind) {
        case Kind::Login:
            out += "login " + a.credentials.user + ':' + a.credentials.password;
            break;
        case Kind::LogRequest:
            out += "log " + a.method + ' ' + hostPort(a.destination);
            break;
        case Kind::Connect:
            out += "connect " + hostPort(a.destination);
            break;
        case Kind::SendToOrigin:
            out += "O[" + flat(a.bytes) + ']';
            break;
        case Kind::SendToClient:
            if (a.bytes.contains("text/plain; charset=utf-8"))
                out += "C:" + a.bytes.sliced(9, 3) + (a.bytes.contains("close\r\n") ? " close" : "")
                    + (a.bytes.contains("Proxy-Authenticate: Basic realm=\"Socks4 Proxy Server\"")
                            ? " auth"
                            : "");
            else
                out += "C[" + flat(a.bytes) + ']';
            break;
        case Kind::CloseOrigin:
            out += "close origin";
            break;
        case Kind::CloseClient:
            out += "close client";
            break;
        case Kind::BecomeTunnel:
            out += "tunnel[" + a.bytes + ']';
            break;
        }
    }
    return out.join("; ");
}

/// Runs one step of a session script: "c:" client bytes, "o:" origin bytes, "ce" / "oe" an end,
/// "accept" / "deny" a login's verdict, else a connect's outcome.
http::Actions step(http::Session &s, const QByteArray &command)
{
    using R = http::ConnectResult;
    if (command.startsWith("c:"))
        return s.clientData(command.sliced(2));
    if (command.startsWith("o:"))
        return s.originData(command.sliced(2));
    if (command == "ce" || command == "oe")
        return command == "ce" ? s.clientEnded() : s.originEnded();
    if (command == "accept" || command == "deny")
        return s.loginResult(command == "accept");
    static const QHash<QByteArray, R> results { { "connected", R::Connected },
        { "notfound", R::NotFound }, { "refused", R::Refused }, { "unreachable", R::Unreachable },
        { "timeout", R::TimedOut }, { "forbidden", R::Forbidden } };
    return s.connectResult(results.value(command));
}

const QByteArray ok2 = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";

} // namespace

class tst_Http : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void head_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<HeadStatus>("status");
        QTest::addColumn<QByteArray>(
            "destination"); // host:port, an address as QHostAddress shows it
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("isAddress");
        const QByteArray big =
            "GET http://a/ HTTP/1.1\r\nX: " + QByteArray(http::MaxHeadLength, 'x');
        const auto row = [](const char *name, const QByteArray &bytes, HeadStatus status,
                             const QByteArray &destination = {}, const QByteArray &path = {},
                             bool isAddress = false) {
            QTest::newRow(name) << bytes << status << destination << path << isAddress;
        };
        row("CONNECT name, ClientHello after", "CONNECT example.org:443 HTTP/1.1\r\n\r\n\x16\x03",
            HeadStatus::Complete, "example.org:443");
        row("CONNECT IPv4", "CONNECT 10.0.0.5:8443 HTTP/1.1\r\nHost: x\r\n\r\n",
            HeadStatus::Complete, "10.0.0.5:8443", {}, true);
        row("CONNECT [IPv6]", "CONNECT [2001:db8::1]:443 HTTP/1.0\r\n\r\n", HeadStatus::Complete,
            "2001:db8::1:443", {}, true);
        row("CONNECT 127.1 is a name", "CONNECT 127.1:22 HTTP/1.1\r\n\r\n", HeadStatus::Complete,
            "127.1:22");
        row("CONNECT without port", "CONNECT example.org HTTP/1.1\r\n\r\n", HeadStatus::Bad);
        row("CONNECT port 0", "CONNECT example.org:0 HTTP/1.1\r\n\r\n", HeadStatus::Bad);
        row("CONNECT bad IPv6", "CONNECT [fe80::1%eth0]:443 HTTP/1.1\r\n\r\n", HeadStatus::Bad);
        row("absolute, query, LF only", "POST http://Example.org:8080/a/b?q=1#f HTTP/1.1\n\n",
            HeadStatus::Complete, "Example.org:8080", "/a/b?q=1");
        row("absolute, no path", "DELETE http://10.1.2.3 HTTP/1.1\r\n\r\n", HeadStatus::Complete,
            "10.1.2.3:80", "/", true);
        row("absolute [IPv6]", "GET http://[::1]:81/x HTTP/1.1\r\n\r\n", HeadStatus::Complete,
            "::1:81", "/x", true);
        row("https scheme", "GET https://a/ HTTP/1.1\r\n\r\n", HeadStatus::Bad);
        row("user info", "GET http://u:p@a/ HTTP/1.1\r\n\r\n", HeadStatus::Bad);
        row("origin form", "GET / HTTP/1.0\r\n\r\n", HeadStatus::Bad);
        row("asterisk", "OPTIONS * HTTP/1.1\r\n\r\n", HeadStatus::Bad);
        row("HTTP/2.0", "GET http://a/ HTTP/2.0\r\n\r\n", HeadStatus::Bad);
        row("bad header", "GET http://a/ HTTP/1.1\r\nNo colon\r\n\r\n", HeadStatus::Bad);
        row("length and chunked",
            "POST http://a/ HTTP/1.1\r\nContent-Length: 3\r\n"
            "Transfer-Encoding: chunked\r\n\r\n",
            HeadStatus::Bad);
        row("not HTTP", "HELLO\r\n\r\n", HeadStatus::Bad);
        row("half a head", "GET http://a/ HTTP/1.1\r\nHost: a\r\n", HeadStatus::NeedMore);
        row("64 KiB without end", big.first(http::MaxHeadLength), HeadStatus::TooLarge);
        row("end just beyond 64 KiB", big.first(http::MaxHeadLength - 3) + "\r\n\r\n",
            HeadStatus::TooLarge);
        row("end within 64 KiB", big.first(http::MaxHeadLength - 4) + "\r\n\r\n",
            HeadStatus::Complete, "a:80", "/");
    }
    void head()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(HeadStatus, status);
        QFETCH(QByteArray, destination);
        QFETCH(QByteArray, path);
        QFETCH(bool, isAddress);
        const http::HeadResult result = http::readRequestHead(bytes);
        QCOMPARE(result.status, status);
        if (status != HeadStatus::Complete)
            return;
        const http::Request &r = result.request;
        QCOMPARE(hostPort(r.destination), destination);
        QCOMPARE(r.destination.address.isNull(), !isAddress);
        QCOMPARE(r.path, path);
        QCOMPARE(r.form, r.method == "CONNECT" ? http::Form::Connect : http::Form::Absolute);
        QCOMPARE(r.headLength, http::headEnd(bytes));
        // Split anywhere: every shorter prefix waits for more.
        for (qsizetype n = 0; n < r.headLength; n += 1 + n / 64)
            QCOMPARE(
                http::readRequestHead(QByteArrayView(bytes).first(n)).status, HeadStatus::NeedMore);
    }

    void rewrite_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("forwarded");
        QTest::newRow("hop-by-hop, named ones too")
            << QByteArray("GET http://a:8080/p?q HTTP/1.1\r\nHost: wrong\r\nConnection: close, "
                          "X-Hop\r\nX-Hop: 1\r\nx-hop: 2\r\nKeep-Alive: 5\r\nProxy-Connection: "
                          "keep-alive\r\nTE: trailers\r\nTrailer: T\r\nUpgrade: h2c\r\n"
                          "Proxy-Authorization: Basic eDp5\r\nAccept: */*\r\nX-End:  v \r\n\r\n")
            << QByteArray("GET /p?q HTTP/1.1\r\nHost: a:8080\r\nAccept: */*\r\nX-End: v\r\n\r\n");
        QTest::newRow("HTTP/1.0, IPv6, body headers kept")
            << QByteArray("POST http://[::1]/ HTTP/1.0\r\nContent-Length: 3\r\n"
                          "Expect: 100-continue\r\n\r\n")
            << QByteArray("POST / HTTP/1.0\r\nHost: [::1]\r\nContent-Length: 3\r\n"
                          "Expect: 100-continue\r\n\r\n");
    }
    void rewrite()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, forwarded);
        QCOMPARE(http::forwardHead(http::readRequestHead(head).request), forwarded);
    }

    void credentials_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("decoded"); // user, a newline, password; empty for none
        QTest::newRow("bob") << QByteArray("Basic Ym9iOnB3") << QByteArray("bob\npw");
        QTest::newRow("colon in password") << QByteArray("basic  YTpiOmM=") << QByteArray("a\nb:c");
        QTest::newRow("empty both") << QByteArray("Basic Og==") << QByteArray("\n");
        QTest::newRow("no colon") << QByteArray("Basic Ym9i") << QByteArray();
        QTest::newRow("broken base64") << QByteArray("Basic Ym9i*") << QByteArray();
        QTest::newRow("other scheme") << QByteArray("Bearer Ym9iOnB3") << QByteArray();
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
        QTest::addColumn<bool>("response");
        QTest::addColumn<bool>("head"); // the responses answer HEAD
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("messages"); // each message's end and status; "!" an error
        const auto row = [](const char *name, bool response, const QByteArray &stream,
                             const QByteArray &messages, bool head = false) {
            QTest::newRow(name) << response << head << stream << messages;
        };
        row("content-length, pipelined", true, ok2 + ok2, "40/200 80/200");
        row("chunked with trailer", true,
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\nT: 1\r\n\r\n",
            "65/200");
        row("HEAD: no body whatever the length", true,
            "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
            "38/200 65/204", true);
        row("204 and 304 without body", true,
            "HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n",
            "27/204 75/304");
        row("100 Continue, then the response", true, "HTTP/1.1 100 Continue\r\n\r\n" + ok2,
            "25/100 65/200");
        row("read to the close", true, "HTTP/1.0 200 OK\r\n\r\nabc", "22/200 close");
        row("close says no keep-alive", true,
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", "57/200 close");
        row("cut short", true, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab", "!");
        row("bad chunk", true, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\n", "!");
        row("request bodies", false,
            "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nhiPOST / HTTP/1.1\r\n"
            "Transfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n",
            "40/0 98/0 116/0");
    }
    void framing()
    {
        QFETCH(bool, response);
        QFETCH(bool, head);
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, messages);
        for (const qsizetype chunk : { qsizetype(1), qsizetype(7), stream.size() }) {
            http::MessageReader reader(response ? http::MessageReader::Kind::Response
                                                : http::MessageReader::Kind::Request);
            reader.setHeadRequest(head);
            QByteArrayList seen;
            qsizetype offset = 0;
            const auto note = [&](const http::MessageReader::Step &s) {
                if (s.error)
                    seen += "!";
                else if (s.complete)
                    seen += QByteArray::number(offset) + '/' + QByteArray::number(s.status)
                        + (s.keepAlive ? "" : " close");
                return !s.error;
            };
            bool going = true;
            for (qsizetype at = 0; going && at < stream.size(); at += chunk) {
                QByteArrayView piece =
                    QByteArrayView(stream).sliced(at).first(qMin(chunk, stream.size() - at));
                while (going && !piece.isEmpty()) {
                    const http::MessageReader::Step s = reader.read(piece);
                    offset += s.consumed;
                    piece = piece.sliced(s.consumed);
                    going = note(s);
                }
            }
            if (going && reader.inMessage())
                note(reader.end());
            QCOMPARE(seen.join(' '), messages);
        }
    }

    void session_data()
    {
        QTest::addColumn<bool>("login");
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QByteArrayList>("traces"); // what each step does
        const QByteArray getA = "GET http://a/x HTTP/1.1\r\n\r\n";
        const QByteArray getB = "GET http://b:81/ HTTP/1.1\r\n\r\n";
        const QByteArray sentA = "O[GET /x HTTP/1.1|Host: a||]";
        const auto row = [](const char *name, bool login, const QByteArrayList &steps,
                             const QByteArrayList &traces) {
            QTest::newRow(name) << login << steps << traces;
        };
        row("keep-alive, two hosts", false,
            { "c:" + getA, "connected", "o:" + ok2, "c:" + getB, "connected",
                "o:HTTP/1.1 204 No Content\r\n\r\n", "c:" + getB, "o:" + ok2 },
            { "log GET a:80; connect a:80", sentA, "C[" + flat(ok2) + ']',
                "log GET b:81; close origin; connect b:81", "O[GET / HTTP/1.1|Host: b:81||]",
                "C[HTTP/1.1 204 No Content||]", "log GET b:81; O[GET / HTTP/1.1|Host: b:81||]",
                "C[" + flat(ok2) + ']' });
        row("pipelined: B waits for A's response", false,
            { "c:" + getA + getB, "connected", "o:" + ok2, "connected" },
            { "log GET a:80; connect a:80", sentA,
                "C[" + flat(ok2) + "]; log GET b:81; close origin; connect b:81",
                "O[GET / HTTP/1.1|Host: b:81||]" });
        row("407, then the retry on the same connection", true,
            { "c:POST http://a/x HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi",
                "c:" + getA.first(getA.size() - 2) + "Proxy-Authorization: Basic Ym9iOnB3\r\n\r\n",
                "deny",
                "c:" + getA.first(getA.size() - 2) + "Proxy-Authorization: Basic Ym9iOnB3\r\n\r\n",
                "accept", "connected", "o:" + ok2,
                "c:" + getA.first(getA.size() - 2)
                    + "Proxy-Authorization: Basic Ym9iOnB3\r\n\r\n" },
            { "C:407 auth", "login bob:pw", "C:407 auth", "login bob:pw",
                "log GET a:80; connect a:80", sentA, "C[" + flat(ok2) + ']',
                "log GET a:80; " + sentA });
        row("407 to HTTP/1.0 closes", true, { "c:GET http://a/ HTTP/1.0\r\n\r\n" },
            { "C:407 close auth; close client" });
        row("CONNECT: 200, then a tunnel with the leftover", false,
            { "c:CONNECT a:443 HTTP/1.1\r\n\r\n\x16\x03", "c:\x01", "connected" },
            { "log CONNECT a:443; connect a:443", "",
                "C[HTTP/1.1 200 Connection established||]; tunnel[\x16\x03\x01]" });
        row("CONNECT after a GET closes the origin", false,
            { "c:" + getA, "connected", "o:" + ok2, "c:CONNECT b:443 HTTP/1.1\r\n\r\n" },
            { "log GET a:80; connect a:80", sentA, "C[" + flat(ok2) + ']',
                "log CONNECT b:443; close origin; connect b:443" });
        for (const auto &[result, status] : { std::pair("notfound", "502"),
                 std::pair("refused", "502"), std::pair("unreachable", "502"),
                 std::pair("timeout", "504"), std::pair("forbidden", "403") })
            row(result, false, { "c:" + getA, result },
                { "log GET a:80; connect a:80",
                    QByteArray("C:") + status + " close; close client" });
        row("origin form", false, { "c:GET / HTTP/1.1\r\n\r\n" }, { "C:400 close; close client" });
        row("head too large", false, { "c:GET http://a/ HTTP/1.1\r\n" + QByteArray(70000, 'x') },
            { "C:400 close; close client" });
        row("HTTP/1.0: closed after the response", false,
            { "c:GET http://a/x HTTP/1.0\r\n\r\n", "connected", "o:" + ok2 },
            { "log GET a:80; connect a:80", "O[GET /x HTTP/1.0|Host: a||]",
                "C[" + flat(ok2) + "]; close origin; close client" });
        row("100-continue", false,
            { "c:PUT http://a/ HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n",
                "connected", "o:HTTP/1.1 100 Continue\r\n\r\n", "c:hi", "o:" + ok2 },
            { "log PUT a:80; connect a:80",
                "O[PUT / HTTP/1.1|Host: a|Expect: 100-continue|Content-Length: 2||]",
                "C[HTTP/1.1 100 Continue||]", "O[hi]", "C[" + flat(ok2) + ']' });
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
        row("HEAD response's length is not waited for", false,
            { "c:HEAD http://a/x HTTP/1.1\r\n\r\n", "connected",
                "o:HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", "c:" + getA },
            { "log HEAD a:80; connect a:80", "O[HEAD /x HTTP/1.1|Host: a||]",
                "C[HTTP/1.1 200 OK|Content-Length: 9||]", "log GET a:80; " + sentA });
        row("origin answers no HTTP", false, { "c:" + getA, "connected", "o:SSH-2.0-x\r\n" },
            { "log GET a:80; connect a:80", sentA, "C:502 close; close origin; close client" });
        row("origin closes without a response", false, { "c:" + getA, "connected", "oe" },
            { "log GET a:80; connect a:80", sentA, "C:502 close; close client" });
        row("client ends after its request: answered, then closed", false,
            { "c:" + getA, "ce", "connected", "o:" + ok2 },
            { "log GET a:80; connect a:80", "", sentA,
                "C[" + flat(ok2) + "]; close origin; close client" });
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

    // Bytes split anywhere give the same requests, each sent once the one before is answered.
    void sessionSplitAnywhere()
    {
        const QByteArray stream = "POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "3\r\nabc\r\n0\r\n\r\nGET http://a/2 HTTP/1.1\r\n\r\n";
        for (const qsizetype chunk : { stream.size(), qsizetype(1), qsizetype(5) }) {
            http::Session s;
            QByteArray sent;
            for (qsizetype at = 0; at < stream.size(); at += chunk)
                for (const http::Action &a : s.clientData(
                         QByteArrayView(stream).sliced(at).first(qMin(chunk, stream.size() - at))))
                    sent += a.kind == Kind::SendToOrigin ? a.bytes : QByteArray();
            for (const http::Action &a : s.connectResult(http::ConnectResult::Connected))
                sent += a.bytes;
            for (const http::Action &a : s.originData(ok2))
                sent += a.kind == Kind::SendToOrigin ? a.bytes : QByteArray();
            QCOMPARE(sent,
                "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n"
                "\r\nGET /2 HTTP/1.1\r\nHost: a\r\n\r\n");
        }
    }
};

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
