// Fuzz target: the IPs.txt reader and writer. Any bytes read as a list must be written back so
// that they read as the same list, every byte other than a line end kept as it was.

#include "acl/allowlist.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList entries = acl::parseFile(bytes);
    const QByteArray written = acl::formatFile(entries);

    // The same list when read again (and so written again byte for byte the same).
    FUZZ_CHECK(acl::parseFile(written) == entries);
    // Together the entries hold every byte but the line ends, in order, and nothing else.
    QByteArray kept;
    for (const QString &entry : entries)
        kept += entry.toLatin1();
    QByteArray expected = bytes;
    expected.removeIf([](char c) { return c == '\r' || c == '\n'; });
    FUZZ_CHECK(kept == expected);
    // Each line written ends with CR LF and nothing else does: as many lines as entries.
    FUZZ_CHECK(written.count("\r\n") == entries.size());
    FUZZ_CHECK(written.count('\r') == entries.size() && written.count('\n') == entries.size());
    // A file already written this way (every line ended by CR LF) is written back unchanged.
    const qsizetype lineEnds = bytes.count("\r\n");
    if (bytes.count('\r') == lineEnds && bytes.count('\n') == lineEnds
        && (bytes.isEmpty() || bytes.endsWith("\r\n")))
        FUZZ_CHECK(written == bytes);
    return 0;
}
