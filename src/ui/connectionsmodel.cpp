#include "connectionsmodel.h"

#include "connectiontext.h"

#include <QDateTime>
#include <QHash>

namespace ui {

namespace {

/// Waiting clients sort after every slot, in the order they came.
constexpr int WaitingSortBase = 1 << 16;

qint64 msecsSinceEpoch(relay::WallClock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

QString bytesText(qint64 bytes, qint64 datagrams, relay::Protocol protocol)
{
    if (protocol != relay::Protocol::Udp)
        return formatBytes(bytes);
    return QStringLiteral("%1 \u00b7 %2").arg(formatBytes(bytes), formatCount(datagrams));
}

} // namespace

QByteArray endpointKey(const QHostAddress &address, quint16 port)
{
    // IPv4 as IPv4-mapped IPv6, so that both families sort by number, then by port.
    const Q_IPV6ADDR v6 = address.protocol() == QAbstractSocket::IPv4Protocol
        ? QHostAddress(QStringLiteral("::ffff:") + address.toString()).toIPv6Address()
        : address.toIPv6Address();
    QByteArray key(reinterpret_cast<const char *>(v6.c), sizeof v6.c);
    key.append(char(port >> 8)).append(char(port & 0xff));
    return key;
}

ConnectionsModel::ConnectionsModel(QObject *parent) : QAbstractTableModel(parent) { }

ConnectionsModel::~ConnectionsModel() = default;

void ConnectionsModel::update(
    const std::vector<relay::ConnectionInfo> &connections, SteadyClock::time_point now)
{
    const bool measured = m_last && now > *m_last && now - *m_last <= MaxInterval;
    const double seconds = measured ? std::chrono::duration<double>(now - *m_last).count() : 0.0;
    m_last = now;
    QHash<quint64, size_t> incoming;
    incoming.reserve(qsizetype(connections.size()));
    for (size_t i = 0; i < connections.size(); ++i)
        incoming.insert(connections[i].id, i);

    // The rows of ended connections go, each run of them in one removal.
    for (int end = int(m_rows.size()) - 1; end >= 0; --end) {
        if (incoming.contains(m_rows[size_t(end)].info.id))
            continue;
        int first = end;
        while (first > 0 && !incoming.contains(m_rows[size_t(first - 1)].info.id))
            --first;
        beginRemoveRows({}, first, end);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + end + 1);
        endRemoveRows();
        end = first;
    }

    QHash<quint64, size_t> present;
    present.reserve(qsizetype(m_rows.size()));
    for (size_t r = 0; r < m_rows.size(); ++r)
        present.insert(m_rows[r].info.id, r);
    const auto rate = [seconds](
                          qint64 bytes) { return seconds > 0 ? double(bytes) / seconds : 0.0; };
    std::vector<Row> added;
    int line = 0;
    for (const relay::ConnectionInfo &info : connections) {
        Row fresh { info, info.slot < 0 ? line++ : 0, 0, 0 };
        const auto found = present.constFind(info.id);
        if (found == present.cend()) {
            fresh.rateUp = rate(info.bytesUp);
            fresh.rateDown = rate(info.bytesDown);
            added.push_back(std::move(fresh));
            continue;
        }
        Row &row = m_rows[*found];
        fresh.rateUp = rate(info.bytesUp - row.info.bytesUp);
        fresh.rateDown = rate(info.bytesDown - row.info.bytesDown);
        row = std::move(fresh);
    }
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, 0), index(int(m_rows.size()) - 1, ColumnCount - 1));
    if (!added.empty()) {
        const int first = int(m_rows.size());
        beginInsertRows({}, first, first + int(added.size()) - 1);
        std::move(added.begin(), added.end(), std::back_inserter(m_rows));
        endInsertRows();
    }
}

int ConnectionsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ConnectionsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ConnectionsModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const Row &row = m_rows[size_t(index.row())];
    const relay::ConnectionInfo &info = row.info;
    const int column = index.column();
    if (role == Qt::TextAlignmentRole) {
        const bool figure = column == SlotColumn || column >= BytesUpColumn;
        return QVariant::fromValue(Qt::AlignVCenter | (figure ? Qt::AlignRight : Qt::AlignLeft));
    }
    if (role == Qt::ToolTipRole) {
        switch (column) {
        case SinceColumn:
            return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch(info.since))
                .toString(Qt::ISODate);
        case BytesUpColumn:
        case BytesDownColumn: {
            const bool up = column == BytesUpColumn;
            QString text = QStringLiteral("%1 bytes").arg(up ? info.bytesUp : info.bytesDown);
            if (info.protocol == relay::Protocol::Udp)
                text += QStringLiteral(", %1 datagrams")
                            .arg(up ? info.datagramsUp : info.datagramsDown);
            return text;
        }
        case DestinationColumn:
            return destinationText(info);
        default:
            return {};
        }
    }
    if (role != Qt::DisplayRole && role != SortRole && role != CopyRole)
        return {};

    switch (column) {
    case SlotColumn:
        if (role == SortRole)
            return info.slot >= 0 ? info.slot : WaitingSortBase + row.line;
        return info.slot >= 0 ? QString::number(info.slot) : QStringLiteral("-");
    case ClientColumn:
        if (role == SortRole)
            return endpointKey(info.client, info.clientPort);
        return endpointText(info.client, info.clientPort);
    case ProtocolColumn:
        return protocolName(info.protocol);
    case UserColumn:
        return printable(info.user);
    case DestinationColumn:
        return destinationText(info);
    case StateColumn:
        if (role == SortRole)
            return int(info.state);
        return stateName(info.state);
    case SinceColumn: {
        const qint64 ms = msecsSinceEpoch(info.since);
        if (role == SortRole)
            return ms;
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms);
        return at.toString(
            role == CopyRole ? QStringLiteral("yyyy-MM-ddTHH:mm:ss") : QStringLiteral("HH:mm:ss"));
    }
    case BytesUpColumn:
    case BytesDownColumn: {
        const bool up = column == BytesUpColumn;
        const qint64 bytes = up ? info.bytesUp : info.bytesDown;
        if (role == SortRole)
            return bytes;
        if (role == CopyRole)
            return QString::number(bytes);
        return bytesText(bytes, up ? info.datagramsUp : info.datagramsDown, info.protocol);
    }
    case RateUpColumn:
    case RateDownColumn: {
        const double rate = column == RateUpColumn ? row.rateUp : row.rateDown;
        if (role == SortRole)
            return rate;
        if (role == CopyRole)
            return QString::number(std::llround(rate));
        return formatRate(rate);
    }
    default:
        return {};
    }
}

QVariant ConnectionsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char *const Titles[ColumnCount] = { "Slot", "Client", "Protocol", "User",
        "Destination", "State", "Since", "Bytes up", "Bytes down", "Rate up", "Rate down" };
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(Titles[section])
                                                 : QVariant();
}

} // namespace ui
