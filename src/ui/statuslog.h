#pragma once

#include "linestore.h"
#include "statusmirror.h"

#include <QAbstractListModel>
#include <QStringList>
#include <QTimer>

namespace ui {

/// The status log: append-only lines, shown by lstStatus and mirrored (StatusMirror) to standard
/// output or an output sink.
///
/// append() only stores the line. The view is brought up to date at most every ViewIntervalMs,
/// in one batch: a burst of a million lines costs one row insertion instead of a million, and a
/// busy proxy (a few lines per connection, thousands of connections a second) repaints the
/// list a few times a second, not once per connection.
class StatusLog final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLog)

public:
    static constexpr qsizetype MirrorLinesPerTurn = StatusMirror::MirrorLinesPerTurn;
    /// How long a new line may wait before the view shows it.
    static constexpr int ViewIntervalMs = 50;
    /// data() of any row for this role: the longest line so far (by characters), so a view can
    /// size its sideways scrolling without measuring every line.
    static constexpr int LongestLineRole = Qt::UserRole + 1;

    /// Mirrors to output, or to standard output when output is empty.
    explicit StatusLog(OutputSink output, QObject *parent = nullptr);
    ~StatusLog() override;

    /// Adds one line at the end. Constant time; never blocks on the view or the mirror.
    void append(const QString &line);
    /// Lines appended so far, including those not yet shown.
    qsizetype size() const { return m_lines.size(); }
    QString line(qsizetype i) const { return m_lines.at(i); }
    /// A copy of every line (for tests: it costs what the compact log saves).
    QStringList lines() const;
    /// Writes every line so far into the file at path, as UTF-8, each ended by "\n" and not
    /// escaped; on failure, the reason.
    QString save(const QString &path) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    /// The line for the display and tooltip roles.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    void showPending();

    LineStore m_lines;
    StatusMirror m_mirror; ///< after m_lines: it prints the rest of them when destroyed
    qsizetype m_shown = 0; ///< lines the view knows of (the model's rows)
    qsizetype m_longest = -1; ///< the line with the most characters
    qsizetype m_longestSize = 0;
    QTimer m_viewTimer; ///< runs while lines wait to be shown
};

} // namespace ui
