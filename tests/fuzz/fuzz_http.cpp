// Fuzz target: the HTTP request head reader and the session that serves a client's requests, fed
// as a slot feeds them: in chunks (a length byte, then up to that many bytes). A head's verdict
// must match where its blank line is, come on its last byte and stand on more bytes; a complete
// one names a destination. The session, its connects and logins granted at once, may send the
// origin only well-formed heads over a connection it has, and nothing after it closed the client.
#include "fuzzcheck.h"
#include "relay/httpsession.h"

namespace http = relay::http;
using Kind = http::Action::Kind;
namespace {

void check(QByteArrayView buffer, const http::HeadResult &r)
{
    using S = http::HeadStatus;
    const qsizetype end = http::headEnd(buffer.first(qMin(buffer.size(), http::MaxHeadLength)));
    FUZZ_CHECK((r.status == S::NeedMore) == (end == 0 && buffer.size() < http::MaxHeadLength));
    FUZZ_CHECK((r.status == S::TooLarge) == (end == 0 && buffer.size() >= http::MaxHeadLength));
    if (r.status != S::Complete)
        return;
    const http::Request &q = r.request;
    FUZZ_CHECK(q.headLength == end && q.form != http::Form::Origin && q.destination.port != 0);
    FUZZ_CHECK(q.destination.address.isNull() != q.destination.hostName.isEmpty());
    FUZZ_CHECK(http::readRequestHead(buffer.first(end)).request.target == q.target);
    FUZZ_CHECK(http::readRequestHead(buffer.first(end - 1)).status == S::NeedMore);
    if (q.form == http::Form::Absolute) {
        const QByteArray sent = http::forwardHead(q);
        FUZZ_CHECK(http::headEnd(sent) == sent.size() && q.path.startsWith('/'));
        for (const char *hop : { "\nconnection:", "\nproxy-authorization:", "\nupgrade:" })
            FUZZ_CHECK(!sent.toLower().contains(hop));
    }
}

/// Follows the session's actions, answering connects and logins at once.
struct Driver
{
    http::Session session { true };
    bool connected = false;
    bool closed = false;
    bool headNext = false; ///< the next bytes for the origin start a request head

    void run(http::Actions actions)
    {
        while (!actions.empty()) {
            http::Actions next;
            for (const http::Action &a : actions) {
                FUZZ_CHECK(!closed);
                switch (a.kind) {
                case Kind::Login:
                    next = session.loginResult(a.credentials.user.size() % 2 == 0);
                    break;
                case Kind::Connect:
                    FUZZ_CHECK(!connected);
                    connected = true;
                    headNext = true;
                    next = session.connectResult(http::ConnectResult::Connected);
                    break;
                case Kind::LogRequest:
                    headNext = true;
                    break;
                case Kind::SendToOrigin:
                    FUZZ_CHECK(connected);
                    FUZZ_CHECK(!headNext || http::headEnd(a.bytes) == a.bytes.size());
                    headNext = false;
                    break;
                case Kind::CloseOrigin:
                    connected = false;
                    break;
                case Kind::CloseClient:
                    closed = true;
                    break;
                case Kind::BecomeTunnel:
                    FUZZ_CHECK(connected && session.isTunnel());
                    break;
                case Kind::SendToClient:
                    break;
                }
            }
            actions = std::move(next);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray stream; // every chunk, as the client sent it
    QList<qsizetype> cuts;
    for (size_t i = 0; i < size; i += 1 + data[i]) {
        const auto length = qsizetype(qMin<size_t>(data[i], size - i - 1));
        cuts.append(stream.append(reinterpret_cast<const char *>(data) + i + 1, length).size());
    }
    http::HeadStatus verdict = http::HeadStatus::NeedMore;
    Driver driver;
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        const QByteArrayView buffer = QByteArrayView(stream).first(cut);
        const http::HeadResult result = http::readRequestHead(buffer);
        check(buffer, result);
        if (verdict != http::HeadStatus::NeedMore) // it stands whatever follows
            FUZZ_CHECK(result.status == verdict);
        verdict = result.status;
        driver.run(driver.session.clientData(buffer.sliced(from)));
        from = cut;
    }
    // Whatever was asked, an origin answers once and the client ends.
    driver.run(driver.session.originData("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"));
    driver.run(driver.session.clientEnded());
    return 0;
}
