#pragma once

#include <QString>

namespace ui {

/// The port number as the listener switch reads it from the port box, afresh at every press.
struct PortNumber
{
    enum Error { None, Empty, NotANumber, OutOfRange };
    Error error = None;
    quint16 port = 0; ///< valid when error is None
    QString reason; ///< for the "Listener Error: " line when error is not None

    bool ok() const { return error == None; }
};

/// Reads the port box's text as a port. A number is one or more ASCII digits with at most one
/// "." among them, nothing else (no blanks, sign or exponent): the key filter lets only digits
/// and "." be typed, and a pasted text is held to the same rule. The fraction is rounded to the
/// nearest whole number, halves to the even one ("1080.5" is 1080, "1081.5" is 1082). The
/// result must lie in 1..65535.
PortNumber readPortNumber(const QString &text);

} // namespace ui
