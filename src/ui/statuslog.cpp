#include "statuslog.h"

#include <QSaveFile>

namespace ui {

StatusLog::StatusLog(OutputSink output, QObject *parent)
    : QAbstractListModel(parent), m_mirror(m_lines, std::move(output))
{
    m_viewTimer.setSingleShot(true);
    m_viewTimer.setInterval(ViewIntervalMs);
    connect(&m_viewTimer, &QTimer::timeout, this, &StatusLog::showPending);
}

StatusLog::~StatusLog() = default;

void StatusLog::append(const QString &line)
{
    m_lines.append(line);
    if (line.size() > m_longestSize) {
        m_longest = m_lines.size() - 1;
        m_longestSize = line.size();
    }
    if (!m_viewTimer.isActive())
        m_viewTimer.start();
    m_mirror.linesAdded();
}

QStringList StatusLog::lines() const
{
    QStringList all;
    all.reserve(m_lines.size());
    for (qsizetype i = 0; i < m_lines.size(); ++i)
        all.append(m_lines.at(i));
    return all;
}

QString StatusLog::save(const QString &path) const
{
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    for (qsizetype i = 0; ok && i < m_lines.size(); ++i) {
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
    if (m_shown < total) {
        beginInsertRows({}, static_cast<int>(m_shown), static_cast<int>(total - 1));
        m_shown = total;
        endInsertRows();
    }
}

int StatusLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_shown);
}

QVariant StatusLog::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_shown)
        return {};
    if (role == LongestLineRole && m_longest >= 0)
        return m_lines.at(m_longest);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    return m_lines.at(index.row());
}

} // namespace ui
