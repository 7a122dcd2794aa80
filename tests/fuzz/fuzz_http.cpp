// Fuzz target: the HTTP request head reader and the session that serves a client's requests, fed
// as a slot feeds them: in chunks (a length byte, then up to that many bytes). A head's verdict
// must match where its blank line is, come on its last byte and stand on more bytes; a complete
// one names a destination and is forwarded as one head.
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
    FUZZ_CHECK(http::readRequestHead(buffer.first(end - 1)).status == S::NeedMore);
    if (q.form == http::Form::Absolute) {
        const QByteArray sent = http::forwardHead(q);
        FUZZ_CHECK(http::headEnd(sent) == sent.size() && q.path.startsWith('/'));
    }
}

/// Feeds the session's answers back (connects succeed, even-length users log in) and checks
/// that it sends the origin only over a connection it has, nothing after closing the client.
void run(http::Session &session, http::Actions actions, bool &connected, bool &closed)
{
    while (!actions.empty()) {
        http::Actions next;
        for (const http::Action &a : actions) {
            FUZZ_CHECK(!closed && (a.kind != Kind::SendToOrigin || connected));
            closed = a.kind == Kind::CloseClient;
            if (a.kind == Kind::Login)
                next = session.loginResult(a.credentials.user.size() % 2 == 0);
            if (a.kind == Kind::CloseOrigin || a.kind == Kind::Connect)
                FUZZ_CHECK(connected == (a.kind == Kind::CloseOrigin)), connected = false;
            if (a.kind == Kind::Connect)
                next = session.connectResult(http::ConnectResult::Connected), connected = true;
            FUZZ_CHECK(a.kind != Kind::BecomeTunnel || session.isTunnel());
        }
        actions = std::move(next);
    }
}

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
    http::Session session(true);
    bool connected = false, closed = false;
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        const QByteArrayView buffer = QByteArrayView(stream).first(cut);
        const http::HeadResult result = http::readRequestHead(buffer);
        check(buffer, result);
        if (verdict != http::HeadStatus::NeedMore) // it stands whatever follows
            FUZZ_CHECK(result.status == verdict);
        verdict = result.status;
        run(session, session.clientData(buffer.sliced(from)), connected, closed);
        from = cut;
    }
    const QByteArray answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"; // to anything
    run(session, session.originData(answer), connected, closed);
    run(session, session.clientEnded(), connected, closed);
    return 0;
}
