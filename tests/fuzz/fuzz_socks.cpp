// Fuzz target: the SOCKS4 and SOCKS5 decoders, fed as the relay feeds them: in chunks (a length
// byte, then up to that many bytes), the first byte sent picking the protocol (5: greeting, then
// request). A verdict must match the bytes, come on a request's last byte, stand on more bytes.
#include "fuzzcheck.h"
#include "relay/socks4.h"
#include "relay/socks5.h"

namespace s4 = relay::socks4;
namespace s5 = relay::socks5;
namespace {
int at(const QByteArray &bytes, qsizetype i)
{
    return i < bytes.size() ? static_cast<quint8>(bytes.at(i)) : -1;
}
QByteArray bytes(quint16 port, const QHostAddress &address = {}) // port, then 0, 4 or 16 bytes
{
    const Q_IPV6ADDR ip = address.toIPv6Address(); // IPv4 as ::ffff:a.b.c.d
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const int n = address.isNull() ? 0 : v6 ? 16 : 4;
    return QByteArray(1, char(port >> 8)) + char(port)
        + QByteArray(reinterpret_cast<const char *>(ip.c) + 16 - n, n);
}
QByteArray encode(const s4::Request &r)
{
    return QByteArray(1, char(s4::Version)) + char(r.command)
        + bytes(r.port, QHostAddress(r.address)) + r.userId + '\0'
        + (r.hostName.isEmpty() ? QByteArray() : r.hostName + '\0');
}
QByteArray encode(const s5::Request &r)
{
    const QByteArray address = bytes(0, r.address).sliced(2);
    const int type = address.isEmpty() ? s5::DomainName : address.size() == 4 ? s5::IPv4 : s5::IPv6;
    return QByteArray(1, char(s5::Version)) + char(r.command) + '\0' + char(type)
        + (address.isEmpty() ? char(r.hostName.size()) + r.hostName : address) + bytes(r.port);
}
void check(const QByteArray &buffer, const s5::GreetingResult &r)
{
    using G = s5::GreetingStatus;
    const qsizetype length = buffer.size() < 2 ? 258 : 2 + at(buffer, 1);
    const bool whole = buffer.size() >= length;
    FUZZ_CHECK(r.consumed == (whole ? length : 0) && (r.status == G::NeedMore) == !whole);
    FUZZ_CHECK(!whole || (r.status == G::Accepted) == buffer.sliced(2, length - 2).contains('\0'));
}
void check(const QByteArray &buffer, const s4::DecodeResult &r)
{
    using S = s4::DecodeStatus;
    const s4::Request &q = r.request;
    const bool named = at(buffer, 7) > 0 && !at(buffer, 4) && !at(buffer, 5) && !at(buffer, 6);
    const qsizetype limit = named ? s4::MaxNameRequestLength : 9 + s4::MaxUserIdLength;
    FUZZ_CHECK((r.status == S::BadVersion) == (at(buffer, 0) != s4::Version));
    FUZZ_CHECK(r.status != S::NeedMore || buffer.size() < limit);
    FUZZ_CHECK(r.status != S::TooLong || buffer.first(limit).sliced(8).count('\0') < 1 + named);
    if (r.status == S::Complete) {
        FUZZ_CHECK(q.consumed <= limit && encode(q) == buffer.first(q.consumed));
        FUZZ_CHECK(!q.userId.contains('\0') && named == !q.hostName.isEmpty());
    }
}
void check(const QByteArray &buffer, const s5::RequestResult &r)
{
    using S = s5::RequestStatus;
    const int type = at(buffer, 3), nameLength = at(buffer, 4);
    const bool known = type < 0 || type == s5::IPv4 || type == s5::IPv6 || type == s5::DomainName;
    const qsizetype length = type == s5::IPv4 ? 10 : type == s5::IPv6 ? 22 : 7 + nameLength;
    const bool whole = known && type >= 0 && nameLength >= 0 && buffer.size() >= length;
    FUZZ_CHECK((r.status == S::BadVersion) == (at(buffer, 0) != s5::Version));
    if (r.status == S::BadVersion)
        return;
    FUZZ_CHECK((r.status == S::AddressTypeNotSupported) == !known);
    FUZZ_CHECK((r.status == S::NeedMore) == (known && !whole));
    FUZZ_CHECK(r.request.consumed == (whole ? length : 0));
    if (r.request.consumed) {
        QByteArray sent = buffer.first(length);
        sent[2] = '\0'; // RSV is not checked
        const bool served =
            r.request.command == s5::Connect || r.request.command == s5::UdpAssociate;
        FUZZ_CHECK(encode(r.request) == sent && (r.status == S::CommandNotSupported) == !served);
        FUZZ_CHECK((r.status == S::BadHostName) == (served && length == 7));
    }
}
/// What `decode` makes of the stream from `from` on, decoded after each chunk until a verdict.
template<typename Decode>
auto decided(const QByteArray &stream, const QList<qsizetype> &cuts, qsizetype from, Decode decode)
{
    decltype(decode(stream)) result;
    constexpr auto NeedMore = decltype(result.status)::NeedMore;
    for (const qsizetype cut : cuts) {
        const QByteArray buffer = stream.sliced(from, qMax(cut, from) - from);
        result = decode(buffer);
        FUZZ_CHECK(buffer.isEmpty() ? result.status == NeedMore : (check(buffer, result), true));
        if constexpr (requires { result.request; }) // decided on the request's last byte
            if (const qsizetype n = result.request.consumed)
                FUZZ_CHECK(decode(buffer.first(n)).status == result.status
                    && decode(buffer.first(n)).request.consumed == n
                    && decode(buffer.first(n - 1)).status == NeedMore);
        if (result.status != NeedMore) { // it stands whatever follows
            FUZZ_CHECK(decode(stream.sliced(from)).status == result.status);
            break;
        }
    }
    return result;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray stream; // every chunk, as the client sent it
    QList<qsizetype> cuts { 0 }; // where the relay decodes: after each chunk
    for (size_t i = 0; i < size; i += 1 + data[i]) {
        const auto length = qsizetype(qMin<size_t>(data[i], size - i - 1));
        cuts.append(stream.append(reinterpret_cast<const char *>(data) + i + 1, length).size());
    }
    if (at(stream, 0) != s5::Version)
        return decided(stream, cuts, 0, s4::decodeRequest), 0;
    const s5::GreetingResult greeting = decided(stream, cuts, 0, s5::decodeGreeting);
    if (greeting.status == s5::GreetingStatus::Accepted)
        decided(stream, cuts, greeting.consumed, s5::decodeRequest);
    return 0;
}
