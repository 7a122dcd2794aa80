// Fuzz target: the username/password decoder, fed in chunks (a length byte, then up to that many
// bytes). A verdict must match the bytes, come on its last byte, and stand on more bytes.
#include "fuzzcheck.h"
#include "relay/rfc1929.h"

namespace r = relay::rfc1929;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray stream;
    QList<qsizetype> cuts { 0 };
    for (size_t i = 0; i < size; i += 1 + data[i]) {
        const auto length = qsizetype(qMin<size_t>(data[i], size - i - 1));
        cuts.append(stream.append(reinterpret_cast<const char *>(data) + i + 1, length).size());
    }
    for (const qsizetype cut : cuts) {
        const QByteArray buffer = stream.first(cut);
        const r::Result result = r::decode(buffer);
        FUZZ_CHECK((result.status == r::Status::BadVersion)
            == (!buffer.isEmpty() && buffer.at(0) != char(r::Version)));
        if (result.status == r::Status::NeedMore)
            FUZZ_CHECK(result.consumed == 0 && result.name.isEmpty() && result.password.isEmpty());
        if (result.status != r::Status::Complete)
            continue;
        const QByteArray encoded = QByteArray(1, char(r::Version)) + char(result.name.size())
            + result.name + char(result.password.size()) + result.password;
        FUZZ_CHECK(result.consumed == encoded.size() && buffer.first(result.consumed) == encoded);
        FUZZ_CHECK(r::decode(buffer.first(result.consumed - 1)).status == r::Status::NeedMore);
        FUZZ_CHECK(r::decode(stream).consumed == result.consumed);
        break;
    }
    return 0;
}
