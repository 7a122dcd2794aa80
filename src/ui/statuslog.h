#pragma once

#include "linestore.h"
#include "statusmirror.h"

#include <QAbstractListModel>
#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace ui {

/// The status log: lines added at the end, shown by lstStatus and mirrored (StatusMirror) to
/// standard output or an output sink. The window keeps the most recent `limit` lines; older ones
/// leave it (the first time, one line says so), while the mirror still prints every line.
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
    /// Lines the window keeps: about 40 MB at a typical line's length. Remote clients make lines,
    /// so the log cannot be allowed to grow without bound.
    static constexpr qsizetype DefaultLimit = 1'000'000;
    /// How long a new line may wait before the view shows it.
    static constexpr int ViewIntervalMs = 50;
    /// data() of any row for this role: the longest line so far (by characters), so a view can
    /// size its sideways scrolling without measuring every line.
    static constexpr int LongestLineRole = Qt::UserRole + 1;

    /// Mirrors to output, or to standard output when output is empty.
    explicit StatusLog(
        OutputSink output, QObject *parent = nullptr, qsizetype limit = DefaultLimit);
    ~StatusLog() override;

    /// Adds one line at the end. Constant time; never blocks on the view or the mirror.
    void append(const QString &line);
    /// Lines the window holds, including those not yet shown.
    qsizetype size() const { return m_lines.size() - first(); }
    /// The window's line i (0 is the oldest it holds).
    QString line(qsizetype i) const { return m_lines.at(first() + i); }
    /// A copy of the window's lines (for tests: it costs what the compact log saves).
    QStringList lines() const;
    /// Writes the window's lines into the file at path, as UTF-8, each ended by "\n" and not
    /// escaped; on failure, the reason.
    QString save(const QString &path) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    /// The line for the display and tooltip roles.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    /// The store's number of the window's oldest line.
    qsizetype first() const { return std::max<qsizetype>(0, m_lines.size() - m_limit); }
    void showPending();

    const qsizetype m_limit;
    LineStore m_lines; ///< the window's lines, and those the mirror has yet to print
    StatusMirror m_mirror; ///< after m_lines: it prints the rest of them when destroyed
    qsizetype m_rowFirst = 0; ///< the store's number of the model's row 0
    qsizetype m_shown = 0; ///< the store's lines up to here are the model's rows
    QString m_longest; ///< the line with the most characters so far
    bool m_dropNoted = false;
    QTimer m_viewTimer; ///< runs while lines wait to be shown
};

} // namespace ui
