#pragma once

#include "linestore.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <functional>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

namespace ui {

/// Where the status log's mirror goes when it is not standard output: UTF-8 text made of whole
/// lines, each ended by "\n". The sink takes every chunk whole.
using OutputSink = std::function<void(const QByteArray &chunk)>;

/// The status log's copy on standard output (or an output sink), where control characters are
/// escaped (escapeControls) so that a line received from the network never breaks into two
/// output lines or drives the terminal. It prints every line of a LineStore, which keeps each
/// line until it is written here (written()), in slices of at most MirrorLinesPerTurn lines per
/// event-loop turn, so a burst never holds the window for longer than one slice takes to print.
///
/// Standard output is never waited for: a reader that is slow, or has stopped reading, only
/// delays the mirror (the store holds what is still to be printed, past what the window keeps),
/// and one that has gone ends the mirror with one line on standard error.
class StatusMirror final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusMirror)

public:
    static constexpr qsizetype MirrorLinesPerTurn = 10'000;
    /// At exit, how long the rest of the mirror may wait for a reader that takes nothing more.
    static constexpr int ExitWaitMs = 2000;

    /// Mirrors lines to output, or to standard output when output is empty.
    StatusMirror(const LineStore &lines, OutputSink output, QObject *parent = nullptr);
    /// Hands what is still pending to the output, so no line is lost at exit.
    ~StatusMirror() override;

    /// Lines were added to the store: they are printed when control returns to the loop.
    void linesAdded();
    /// The store's lines up to here are the mirror's own: the store may let them go.
    qsizetype written() const { return m_written; }

private:
    void turn();
    /// Mirrors up to maxLines more lines; returns false when the output must be waited for.
    bool writePending(qsizetype maxLines);
    /// Writes staged bytes to standard output without blocking; false when it is full or gone.
    bool writeToDescriptor();
    void endMirror(int error);

    const LineStore &m_lines;
    OutputSink m_output;
    QSocketNotifier *m_writable = nullptr; ///< standard output: enabled while it is full
    bool m_mirroring = true; ///< false once standard output has gone
    QByteArray m_staged; ///< formatted lines not yet taken by the output
    qsizetype m_stagedDone = 0; ///< bytes of m_staged already taken
    qsizetype m_written = 0; ///< lines staged
    QTimer m_turnTimer; ///< runs while lines wait for the next turn
    bool m_isFile = false; ///< standard output is a regular file
};

} // namespace ui
