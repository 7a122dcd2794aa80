// Fuzz target: the allow-list's address check. The input is what an operator types into the
// Add prompt (UTF-8, any text); the first line is the answer checked, every line an entry for
// the admission rule, and the first four bytes also stand for a client's address.

#include "acl/allowlist.h"
#include "fuzzcheck.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <algorithm>

namespace {

// A part the check may take: blanks, an optional sign, digits, an optional exponent, blanks.
const QRegularExpression Numeric(QStringLiteral("^[ \\t]*[+-]?[0-9]+([eE][+-]?[0-9]+)?[ \\t]*$"));
// The form in which the endpoint writes a client's address.
const QRegularExpression Dotted(QStringLiteral("^(0|[1-9][0-9]{0,2})(\\.(0|[1-9][0-9]{0,2})){3}$"));

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList entries = text.split(u'\n');
    const QString &answer = entries.first();
    const bool valid = acl::isValidEntry(answer);

    // Valid without "/" or ":" (the range forms): four parts, each numeric by the rule.
    const QStringList parts = answer.split(u'.');
    if (valid && !answer.contains(u'/') && !answer.contains(u':')) {
        FUZZ_CHECK(parts.size() == 4);
        for (const QString &part : parts)
            FUZZ_CHECK(Numeric.match(part).hasMatch());
    }
    // Written as an address is written, the check agrees with the address parser exactly.
    if (Dotted.match(answer).hasMatch())
        FUZZ_CHECK(valid == (QHostAddress(answer).toString() == answer));
    // Plain decimal parts: valid exactly when each is at most 255.
    bool plain = parts.size() == 4;
    bool inRange = true;
    for (const QString &part : parts) {
        const QString digits = part.trimmed();
        plain = plain && !digits.isEmpty() && digits.size() <= 9 && part == digits
            && std::all_of(digits.begin(), digits.end(),
                [](QChar c) { return c.isDigit() && c.unicode() < 0x80; });
        inRange = inRange && digits.toInt() <= 255;
    }
    if (plain)
        FUZZ_CHECK(valid == inRange);

    // Admission by entries of the old form (no "/" nor ":"): an exact text match, nothing else.
    if (size >= 4) {
        QStringList oldForm = entries;
        oldForm.removeIf([](const QString &e) { return e.contains(u'/') || e.contains(u':'); });
        acl::AllowList list;
        list.setEntries(oldForm);
        const QHostAddress client { quint32(data[0]) << 24 | quint32(data[1]) << 16
            | quint32(data[2]) << 8 | data[3] };
        FUZZ_CHECK(list.admits(client) == oldForm.contains(client.toString()));
    }
    return 0;
}
