// Fuzz target: the IPs.txt reader and writer. Any bytes read as a list are written back so that
// they read as the same list, every byte other than a line end kept as it was.
#include "acl/allowlist.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList entries = acl::parseFile(bytes);
    const QByteArray written = acl::formatFile(entries);
    QByteArray kept = bytes;
    kept.removeIf([](char c) { return c == '\r' || c == '\n'; });
    FUZZ_CHECK(acl::parseFile(written) == entries && entries.join(QString()).toLatin1() == kept);
    // Each line written, and nothing else, ends with CR LF; a file so written is written back.
    const qsizetype lines = entries.size(), ends = bytes.count("\r\n");
    FUZZ_CHECK(
        written.count("\r\n") == lines && written.count('\r') + written.count('\n') == 2 * lines);
    if (bytes.count('\r') == ends && bytes.count('\n') == ends && (!size || bytes.endsWith("\r\n")))
        FUZZ_CHECK(written == bytes);
    return 0;
}
