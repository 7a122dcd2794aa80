#include "portnumber.h"

namespace ui {

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

PortNumber readPortNumber(const QString &text)
{
    PortNumber result;
    if (text.isEmpty()) {
        result.error = PortNumber::Empty;
        result.reason = QStringLiteral("no port number given");
        return result;
    }

    const QString quoted = u'"' + text + u'"';
    const qsizetype dot = text.indexOf(u'.');
    const QStringView whole = QStringView(text).left(dot < 0 ? text.size() : dot);
    const QStringView fraction = dot < 0 ? QStringView() : QStringView(text).mid(dot + 1);
    const auto allDigits = [](QStringView s) {
        for (const QChar c : s) {
            if (!isAsciiDigit(c))
                return false;
        }
        return true;
    };
    if (!allDigits(whole) || !allDigits(fraction) || (whole.isEmpty() && fraction.isEmpty())) {
        result.error = PortNumber::NotANumber;
        result.reason = quoted + QStringLiteral(" is not a port number");
        return result;
    }

    // Exact decimal rounding on the digits themselves: no floating point, so a long fraction
    // such as "1080.50000000000000001" still rounds up and "1080.5" stays a true half.
    const auto outOfRange = [&result, &quoted] {
        result.error = PortNumber::OutOfRange;
        result.reason = quoted + QStringLiteral(" is not a port from 1 to 65535");
        return result;
    };
    qint64 value = 0;
    for (const QChar c : whole) {
        value = value * 10 + (c.unicode() - u'0');
        if (value > 65536) // already too large even before rounding; stops any overflow
            return outOfRange();
    }
    if (!fraction.isEmpty()) {
        const int first = fraction.at(0).unicode() - u'0';
        bool restZero = true;
        for (const QChar c : fraction.mid(1))
            restZero = restZero && c == u'0';
        const bool roundUp = first > 5 || (first == 5 && (!restZero || value % 2 == 1));
        if (roundUp)
            ++value;
    }
    if (value < 1 || value > 65535)
        return outOfRange();
    result.port = static_cast<quint16>(value);
    return result;
}

} // namespace ui
