#pragma once

#include "linestore.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QStringList>
#include <QTimer>
#include <functional>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

namespace ui {

/// Where the status log's mirror goes when it is not standard output: UTF-8 text made of whole
/// lines, each ended by "\n". The sink takes every chunk whole.
using OutputSink = std::function<void(const QByteArray &chunk)>;

/// The status log: append-only lines shown by lstStatus and mirrored to standard output (or to
/// an output sink), where control characters are escaped (relay::escapeControls) so that a line
/// received from the network never breaks into two output lines or drives the terminal.
///
/// append() only stores the line. The view is brought up to date at most every ViewIntervalMs,
/// in one batch: a burst of a million lines costs one row insertion instead of a million, and a
/// busy proxy (a few lines per connection, thousands of connections a second) repaints the
/// list a few times a second, not once per connection.
/// The mirror is written in slices of at most MirrorLinesPerTurn lines per turn, so a burst
/// never holds the window for longer than one slice takes to print.
///
/// Standard output is optional. It is never waited for: a reader that is slow, or has stopped
/// reading, only delays the mirror (the log itself holds what is still to be printed, so nothing
/// else grows), and one that has gone ends the mirror with one line on standard error.
class StatusLog final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLog)

public:
    static constexpr qsizetype MirrorLinesPerTurn = 10'000;
    /// How long a new line may wait before the view shows it.
    static constexpr int ViewIntervalMs = 50;
    /// At exit, how long the rest of the mirror may wait for a reader that takes nothing more.
    static constexpr int ExitWaitMs = 2000;

    /// Mirrors to output, or to standard output when output is empty.
    explicit StatusLog(OutputSink output, QObject *parent = nullptr);
    /// Hands what is still pending to the mirror, so no line is lost at exit.
    ~StatusLog() override;

    /// Adds one line at the end. Constant time; never blocks on the view or the mirror.
    void append(const QString &line);
    /// Lines appended so far, including those not yet shown.
    qsizetype size() const { return m_lines.size(); }
    QString line(qsizetype i) const { return m_lines.at(i); }
    /// A copy of every line (for tests and benchmarks: it costs what the compact log saves).
    QStringList lines() const;
    /// Shows the pending lines now and mirrors what the output takes without waiting
    /// (otherwise done when control returns to the loop).
    void flush();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    void postTurn();
    void turn();
    void showPending();
    /// Mirrors up to maxLines more lines; returns false when the output must be waited for.
    bool writePending(qsizetype maxLines);
    /// Writes staged bytes to standard output without blocking; false when it is full or gone.
    bool writeToDescriptor();
    void endMirror(int error);

    LineStore m_lines;
    OutputSink m_output;
    QSocketNotifier *m_writable = nullptr; ///< standard output: enabled while it is full
    bool m_mirroring = true; ///< false once standard output has gone
    QByteArray m_staged; ///< formatted lines not yet taken by the output
    qsizetype m_stagedDone = 0; ///< bytes of m_staged already taken
    qsizetype m_shown = 0; ///< lines the view knows of (the model's rows)
    qsizetype m_written = 0; ///< lines staged for the mirror
    bool m_flushPosted = false;
    QTimer m_viewTimer; ///< runs while lines wait to be shown
};

} // namespace ui
