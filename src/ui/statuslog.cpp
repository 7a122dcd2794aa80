#include "statuslog.h"

#include "relay/logtext.h"

#include <QMetaObject>
#include <algorithm>
#include <cstdio>

namespace ui {

OutputSink standardOutput()
{
    return [](const QByteArray &chunk) {
        std::fwrite(chunk.constData(), 1, static_cast<size_t>(chunk.size()), stdout);
        std::fflush(stdout);
    };
}

namespace {

// Most lines hold no control character; those are passed on without a copy.
QString printable(const QString &line)
{
    const bool plain = std::none_of(line.cbegin(), line.cend(), relay::isControl);
    return plain ? line : relay::escapeControls(line);
}

} // namespace

StatusLog::StatusLog(OutputSink output, QObject *parent)
    : QAbstractListModel(parent), m_output(std::move(output))
{ }

StatusLog::~StatusLog()
{
    writePending(m_lines.size());
}

void StatusLog::append(const QString &line)
{
    m_lines.append(line);
    if (!m_flushPosted) {
        m_flushPosted = true;
        postTurn();
    }
}

void StatusLog::flush()
{
    showPending();
    writePending(m_lines.size());
}

void StatusLog::postTurn()
{
    m_flushPosted = true;
    QMetaObject::invokeMethod(this, &StatusLog::turn, Qt::QueuedConnection);
}

void StatusLog::turn()
{
    m_flushPosted = false;
    showPending();
    // Printing costs time per line, so a burst is printed a slice per turn and the window
    // keeps answering in between; the view, which costs nothing per line, is updated at once.
    writePending(MirrorLinesPerTurn);
    if (m_written < m_lines.size() && !m_flushPosted)
        postTurn();
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

void StatusLog::writePending(qsizetype maxLines)
{
    const qsizetype end = std::min(m_lines.size(), m_written + maxLines);
    if (m_written == end)
        return;
    QByteArray chunk;
    for (qsizetype i = m_written; i < end; ++i) {
        chunk += printable(m_lines.at(i)).toUtf8();
        chunk += '\n';
    }
    m_written = end;
    if (m_output)
        m_output(chunk);
}

int StatusLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_shown);
}

QVariant StatusLog::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_shown)
        return {};
    return m_lines.at(index.row());
}

} // namespace ui
