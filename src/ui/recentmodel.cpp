#include "recentmodel.h"

#include "connectionsmodel.h"
#include "connectiontext.h"

#include <QDateTime>

namespace ui {

namespace {

qint64 msecsSinceEpoch(relay::WallClock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

} // namespace

RecentModel::RecentModel(QObject *parent) : QAbstractTableModel(parent) { }

RecentModel::~RecentModel() = default;

void RecentModel::update(const std::vector<relay::EndedConnection> &recent)
{
    // What is new: the endings after the newest one shown.
    size_t fresh = recent.size();
    if (!m_rows.empty()) {
        const quint64 newest = m_rows.front().info.id;
        size_t i = recent.size();
        while (i > 0 && recent[i - 1].info.id != newest)
            --i;
        if (i == 0) { // not there any more: everything shown is stale
            beginResetModel();
            m_rows.assign(recent.rbegin(), recent.rend());
            endResetModel();
            return;
        }
        fresh = recent.size() - i;
    }
    if (fresh > 0) {
        beginInsertRows({}, 0, int(fresh) - 1);
        for (size_t k = recent.size() - fresh; k < recent.size(); ++k)
            m_rows.push_front(recent[k]);
        endInsertRows();
    }
    // The oldest that fell off the snapshot's end.
    const size_t keep = recent.size();
    if (m_rows.size() > keep) {
        beginRemoveRows({}, int(keep), int(m_rows.size()) - 1);
        m_rows.resize(keep);
        endRemoveRows();
    }
}

int RecentModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int RecentModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RecentModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const relay::EndedConnection &ended = m_rows[size_t(index.row())];
    const relay::ConnectionInfo &info = ended.info;
    const int column = index.column();
    if (role == Qt::TextAlignmentRole) {
        const bool figure = column >= DurationColumn && column <= BytesDownColumn;
        return QVariant::fromValue(Qt::AlignVCenter | (figure ? Qt::AlignRight : Qt::AlignLeft));
    }
    if (role == Qt::ToolTipRole && (column == ReasonColumn || column == DestinationColumn))
        role = Qt::DisplayRole; // may be wider than the column
    else if (role == Qt::ToolTipRole && (column == BytesUpColumn || column == BytesDownColumn))
        return QStringLiteral("%1 bytes")
            .arg(column == BytesUpColumn ? info.bytesUp : info.bytesDown);
    if (role != Qt::DisplayRole && role != SortRole && role != CopyRole)
        return {};
    switch (column) {
    case EndedColumn: {
        const qint64 ms = msecsSinceEpoch(ended.ended);
        if (role == SortRole)
            return ms;
        return QDateTime::fromMSecsSinceEpoch(ms).toString(
            role == CopyRole ? QStringLiteral("yyyy-MM-ddTHH:mm:ss") : QStringLiteral("HH:mm:ss"));
    }
    case ClientColumn:
        if (role == SortRole)
            return endpointKey(info.client, info.clientPort);
        return endpointText(info.client, info.clientPort);
    case ProtocolColumn:
        return protocolName(info.protocol);
    case DestinationColumn:
        return destinationText(info);
    case DurationColumn: {
        const auto lasted =
            std::chrono::duration_cast<std::chrono::milliseconds>(ended.ended - info.since);
        if (role == SortRole)
            return qint64(lasted.count());
        if (role == CopyRole)
            return QString::number(double(lasted.count()) / 1000, 'f', 3);
        return formatDuration(lasted);
    }
    case BytesUpColumn:
    case BytesDownColumn: {
        const qint64 bytes = column == BytesUpColumn ? info.bytesUp : info.bytesDown;
        if (role == SortRole)
            return bytes;
        return role == CopyRole ? QString::number(bytes) : formatBytes(bytes);
    }
    case ReasonColumn:
        return reasonText(ended.reason, ended.error);
    default:
        return {};
    }
}

QVariant RecentModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char *const Titles[ColumnCount] = { "Ended", "Duration", "Bytes up", "Bytes down",
        "Reason", "Client", "Protocol", "Destination" };
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(Titles[section])
                                                 : QVariant();
}

} // namespace ui
