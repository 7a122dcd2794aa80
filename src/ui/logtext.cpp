#include "logtext.h"

#include <algorithm>

namespace ui {

bool isControl(QChar c)
{
    // C0, DEL and C1 controls (NEL, 0x85, ends a line on some terminals), and the Unicode
    // line and paragraph separators.
    return c.category() == QChar::Other_Control || c.unicode() == 0x2028 || c.unicode() == 0x2029;
}

QString escapeControls(const QString &text)
{
    // Most text has nothing to escape: it is shared, not copied.
    const auto first = std::find_if(text.cbegin(), text.cend(), isControl);
    if (first == text.cend())
        return text;
    QString escaped;
    escaped.reserve(text.size() + 8);
    escaped.append(QStringView(text.cbegin(), first));
    for (const QChar c : QStringView(first, text.cend())) {
        const int u = c.unicode();
        if (!isControl(c))
            escaped += c;
        else if (u <= 0xff)
            escaped += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            escaped += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
    }
    return escaped;
}

} // namespace ui
