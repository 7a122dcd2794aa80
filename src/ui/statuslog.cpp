#include "statuslog.h"

#include <QSaveFile>

namespace ui {

StatusLog::StatusLog(OutputSink output, QObject *parent, qsizetype limit)
    : QAbstractListModel(parent), m_limit(std::max<qsizetype>(1, limit)),
      m_mirror(m_lines, std::move(output))
{
    m_viewTimer.setSingleShot(true);
    m_viewTimer.setInterval(ViewIntervalMs);
    connect(&m_viewTimer, &QTimer::timeout, this, &StatusLog::showPending);
}

StatusLog::~StatusLog() = default;

void StatusLog::append(const QString &line)
{
    m_lines.append(line);
    if (line.size() > m_longest.size())
        m_longest = line;
    if (!m_viewTimer.isActive())
        m_viewTimer.start();
    m_mirror.linesAdded();
    if (first() > 0 && !std::exchange(m_dropNoted, true))
        append(QStringLiteral("Status log: older lines are no longer kept (limit %1 lines)")
                   .arg(m_limit));
}

QStringList StatusLog::lines() const
{
    QStringList all;
    all.reserve(size());
    for (qsizetype i = first(); i < m_lines.size(); ++i)
        all.append(m_lines.at(i));
    return all;
}

QString StatusLog::save(const QString &path) const
{
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    for (qsizetype i = first(); ok && i < m_lines.size(); ++i) {
        const QByteArrayView line = m_lines.utf8(i);
        ok = file.write(line.data(), line.size()) == line.size() && file.putChar('\n');
    }
    if (ok && file.commit())
        return {};
    return QStringLiteral("Cannot save %1: %2").arg(path, file.errorString());
}

void StatusLog::showPending()
{
    const qsizetype total = m_lines.size();
    const qsizetype from = first();
    if (from > m_rowFirst) {
        // The oldest rows leave first, then the new ones come.
        const qsizetype gone = std::min(from, m_shown) - m_rowFirst;
        if (gone > 0) {
            beginRemoveRows({}, 0, static_cast<int>(gone - 1));
            m_rowFirst += gone;
            endRemoveRows();
        }
        m_rowFirst = from;
        m_shown = std::max(m_shown, from);
    }
    if (m_shown < total) {
        beginInsertRows(
            {}, static_cast<int>(m_shown - m_rowFirst), static_cast<int>(total - 1 - m_rowFirst));
        m_shown = total;
        endInsertRows();
    }
    // Lines the window no longer holds go once the mirror has them too.
    m_lines.dropBefore(std::min(m_rowFirst, m_mirror.written()));
}

int StatusLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_shown - m_rowFirst);
}

QVariant StatusLog::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == LongestLineRole)
        return m_longest;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    return m_lines.at(m_rowFirst + index.row());
}

} // namespace ui
