#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

namespace ui {

/// Where the status log's mirror goes: UTF-8 text made of whole lines, each ended by "\n".
using OutputSink = std::function<void(const QByteArray &chunk)>;

/// The program's standard output, flushed after every chunk.
OutputSink standardOutput();

/// The status log: append-only lines shown by lstStatus and mirrored to an output sink, where
/// control characters are escaped (relay::escapeControls) so that a line received from
/// the network never breaks into two output lines or drives the terminal.
///
/// append() only stores the line. The view is brought up to date once per event-loop turn, in
/// one batch, so that a burst of a million lines costs one row insertion instead of a million.
/// The mirror is written in slices of at most MirrorLinesPerTurn lines per turn, so a burst
/// never holds the window for longer than one slice takes to print.
class StatusLog final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLog)

public:
    static constexpr qsizetype MirrorLinesPerTurn = 10'000;

    explicit StatusLog(OutputSink output, QObject *parent = nullptr);
    /// Hands what is still pending to the sink, so no line is lost at exit.
    ~StatusLog() override;

    /// Adds one line at the end. Constant time; never blocks on the view or the sink.
    void append(const QString &line);
    /// Every line appended so far, including those not yet shown.
    const QList<QString> &lines() const { return m_lines; }
    /// Shows and writes the pending lines now (otherwise done when control returns to the loop).
    void flush();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    void postTurn();
    void turn();
    void showPending();
    void writePending(qsizetype maxLines);

    OutputSink m_output;
    QList<QString> m_lines;
    qsizetype m_shown = 0; ///< lines the view knows of (the model's rows)
    qsizetype m_written = 0; ///< lines handed to the sink
    bool m_flushPosted = false;
};

} // namespace ui
