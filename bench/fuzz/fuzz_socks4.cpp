// Fuzz target: the SOCKS4 request decoder, fed the way the relay feeds it, requests by host name
// (SOCKS4a) included. TCP may split a request anywhere, so the input is a series of chunks, each
// a length byte and then up to that many bytes; the buffer grows chunk by chunk and is decoded
// after each, until the decoder has an answer other than NeedMore. Every answer is checked
// against the bytes it came from, and must not depend on where the chunks were cut.

#include "fuzzcheck.h"
#include "relay/socks4.h"

#include <QByteArrayView>

using namespace relay::socks4;

namespace {

int byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<quint8>(bytes.at(i));
}

/// Address 0.0.0.x, x not 0: a user id, its NUL, then the host name and its NUL.
bool named(const QByteArray &buffer)
{
    return buffer.size() >= FixedLength && byteAt(buffer, 4) == 0 && byteAt(buffer, 5) == 0
        && byteAt(buffer, 6) == 0 && byteAt(buffer, 7) != 0;
}

/// The longest request: the longest user id and its NUL, or a whole request by name.
qsizetype limitOf(const QByteArray &buffer)
{
    return named(buffer) ? MaxNameRequestLength : FixedLength + MaxUserIdLength + 1;
}

/// Where a NUL must be found from `from` on: within the longest request, and (for a host name)
/// within `most` bytes.
qsizetype nulFrom(const QByteArray &buffer, qsizetype from, qsizetype most)
{
    if (buffer.size() <= from)
        return -1;
    const qsizetype window = qMin(qMin(buffer.size(), limitOf(buffer)), from + most);
    return from >= window ? -1 : QByteArrayView(buffer).first(window).indexOf('\0', from);
}

void checkAnswer(const QByteArray &buffer, const DecodeResult &result)
{
    const bool badVersion = !buffer.isEmpty() && byteAt(buffer, 0) != Version;
    FUZZ_CHECK((result.status == DecodeStatus::BadVersion) == badVersion);
    if (badVersion)
        return;
    const qsizetype limit = limitOf(buffer);
    const qsizetype nul = nulFrom(buffer, FixedLength, limit);
    const qsizetype host = nul + 1;
    const qsizetype hostEnd =
        named(buffer) && nul >= 0 ? nulFrom(buffer, host, MaxHostNameLength + 1) : nul;
    const bool badHost = named(buffer) && nul >= 0
        && (hostEnd == host
            || (hostEnd < 0 && qMin(buffer.size(), limit) > host + MaxHostNameLength));
    switch (result.status) {
    case DecodeStatus::NeedMore:
        FUZZ_CHECK(hostEnd < 0 && !badHost && buffer.size() < limit);
        break;
    case DecodeStatus::TooLong:
        FUZZ_CHECK(hostEnd < 0 && !badHost && buffer.size() >= limit);
        break;
    case DecodeStatus::BadHostName:
        FUZZ_CHECK(badHost);
        break;
    case DecodeStatus::Complete: {
        const Request &request = result.request;
        FUZZ_CHECK(nul >= FixedLength && !badHost);
        FUZZ_CHECK(request.consumed == hostEnd + 1 && request.consumed <= buffer.size());
        FUZZ_CHECK(byteAt(buffer, request.consumed - 1) == 0);
        FUZZ_CHECK(
            request.hostName == (named(buffer) ? buffer.mid(host, hostEnd - host) : QByteArray()));
        FUZZ_CHECK(request.port == (byteAt(buffer, 2) << 8 | byteAt(buffer, 3)));
        FUZZ_CHECK(request.userId == buffer.mid(FixedLength, nul - FixedLength));
        const QString dotted = QStringLiteral("%1.%2.%3.%4")
                                   .arg(byteAt(buffer, 4))
                                   .arg(byteAt(buffer, 5))
                                   .arg(byteAt(buffer, 6))
                                   .arg(byteAt(buffer, 7));
        FUZZ_CHECK(request.address == dotted);
        // The status line shows the user id and host name with control characters escaped.
        for (const QChar c : requestLine(15, request))
            FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7f);
        break;
    }
    case DecodeStatus::BadVersion:
        break;
    }
}

/// The answers agree on the status and on what it promises: the whole request when Complete,
/// the port and the address when BadHostName.
bool sameAnswer(const DecodeResult &a, const DecodeResult &b)
{
    if (a.status != b.status)
        return false;
    const Request &x = a.request, &y = b.request;
    switch (a.status) {
    case DecodeStatus::Complete:
        return x.port == y.port && x.address == y.address && x.userId == y.userId
            && x.hostName == y.hostName && x.consumed == y.consumed;
    case DecodeStatus::BadHostName:
        return x.port == y.port && x.address == y.address;
    default:
        return true;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray stream; // every chunk, as the client sent it
    QByteArray buffer; // what the relay has collected when it decodes
    DecodeResult answer;
    bool answered = false;
    for (size_t i = 0; i < size;) {
        const size_t length = qMin<size_t>(data[i], size - i - 1);
        const QByteArray chunk(reinterpret_cast<const char *>(data + i + 1), qsizetype(length));
        i += 1 + length;
        stream += chunk;
        if (answered)
            continue; // the rest is payload, or the connection is gone
        buffer += chunk;
        answer = decodeRequest(buffer);
        checkAnswer(buffer, answer);
        answered = answer.status != DecodeStatus::NeedMore;
    }
    // Decoding the same bytes in one piece gives the same answer: the cuts do not matter.
    if (answered)
        FUZZ_CHECK(sameAnswer(answer, decodeRequest(stream)));
    else
        FUZZ_CHECK(decodeRequest(stream).status == DecodeStatus::NeedMore);
    return 0;
}
