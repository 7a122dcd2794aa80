// Fuzz target: the allow-list's address check. The input is what an operator types into the Add
// prompt (UTF-8, any text); the first line is the answer checked, every line an entry for the
// admission rule, and the first four bytes also stand for a client's address.
#include "acl/allowlist.h"
#include "fuzzcheck.h"
#include <QHostAddress>
#include <QRegularExpression>
#include <QtEndian>
#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A part the check may take (blanks, a sign, digits, an exponent, blanks); plain decimal.
    static const QRegularExpression numeric(
        QStringLiteral("^[ \\t]*[+-]?[0-9]+([eE][+-]?[0-9]+)?[ \\t]*$"));
    static const QRegularExpression plain(QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,9}){3}$"));
    const QStringList entries =
        QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)).split(u'\n');
    const QString &answer = entries.first();
    const bool valid = acl::isValidEntry(answer);
    const QStringList parts = answer.split(u'.');
    for (const QString &part : parts) // valid: four parts, each numeric by the rule
        FUZZ_CHECK(!valid || (parts.size() == 4 && numeric.match(part).hasMatch()));
    // Four plain decimal parts: valid exactly when each is at most 255.
    const auto inRange = [](const QString &part) { return part.toInt() <= 255; };
    if (plain.match(answer).hasMatch())
        FUZZ_CHECK(valid == std::all_of(parts.begin(), parts.end(), inRange));
    // Admission: an exact match with an entry, nothing else.
    FUZZ_CHECK(acl::admits(entries, answer) && !acl::admits({}, answer));
    if (size >= 4) {
        const QString client = QHostAddress(qFromBigEndian<quint32>(data)).toString();
        FUZZ_CHECK(acl::admits(entries, client) == entries.contains(client));
        FUZZ_CHECK(!acl::admits(entries, client + u' ') || entries.contains(client + u' '));
    }
    return 0;
}
