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
    // Valid without "/" or ":" (the range forms): four parts, each numeric by the rule.
    const bool oldForm = !answer.contains(u'/') && !answer.contains(u':');
    for (const QString &part : parts)
        FUZZ_CHECK(!valid || !oldForm || (parts.size() == 4 && numeric.match(part).hasMatch()));
    // Four plain decimal parts: valid exactly when each is at most 255.
    const auto inRange = [](const QString &part) { return part.toInt() <= 255; };
    if (plain.match(answer).hasMatch())
        FUZZ_CHECK(valid == std::all_of(parts.begin(), parts.end(), inRange));
    // Admission by entries of the old form: an exact text match, nothing else.
    if (size >= 4) {
        QStringList old = entries;
        old.removeIf([](const QString &e) { return e.contains(u'/') || e.contains(u':'); });
        acl::AllowList list;
        list.setEntries(old);
        const QHostAddress client(qFromBigEndian<quint32>(data));
        FUZZ_CHECK(list.admits(client) == old.contains(client.toString()));
    }
    return 0;
}
