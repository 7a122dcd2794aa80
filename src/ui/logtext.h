#pragma once

#include <QString>

/// The rule every status line follows, whoever writes it or wherever it is shown: text that came
/// from the network never breaks a line in two or drives the terminal that shows it.
namespace ui {

/// True for a character that could break a log line or move the terminal: C0, DEL, C1, and
/// the Unicode line and paragraph separators.
bool isControl(QChar c);
/// Text with every control character written as \xHH (or \uHHHH above 0xFF) with lower-case hex
/// digits, so that one log line can never show as two. Other characters are kept.
QString escapeControls(const QString &text);

} // namespace ui
