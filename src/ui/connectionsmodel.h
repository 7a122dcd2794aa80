#pragma once

#include "relay/events.h"

#include <QAbstractTableModel>
#include <chrono>
#include <optional>
#include <vector>

namespace ui {

/// The clock rates are measured by.
using SteadyClock = std::chrono::steady_clock;

/// Extra roles of the Connections window's models.
enum ConnectionRole {
    SortRole = Qt::UserRole, ///< numbers for the figures and times, text for the rest
    CopyRole, ///< the exact text to copy: byte counts and rates as whole numbers
};

/// A key that orders client endpoints by address (IPv4 among IPv6 as mapped), then port.
QByteArray endpointKey(const QHostAddress &address, quint16 port);

/// The connections of the relay's latest snapshot, one row each (a slot in use or a waiting
/// client), with the rates each way since the snapshot before. Rows are kept in place by the
/// connection's id: a refresh changes the figures of the rows that stay, removes the rows of
/// connections that ended and appends the new ones, so views keep their selection.
/// For UDP, the bytes cells also count the datagrams ("5.5 MiB · 4123"; both exact in the tooltip).
class ConnectionsModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionsModel)

public:
    enum Column {
        SlotColumn,
        ClientColumn,
        ProtocolColumn,
        UserColumn,
        DestinationColumn,
        StateColumn,
        SinceColumn,
        BytesUpColumn,
        BytesDownColumn,
        RateUpColumn,
        RateDownColumn,
        ColumnCount
    };

    explicit ConnectionsModel(QObject *parent = nullptr);
    ~ConnectionsModel() override;

    /// Updates further apart than this measure no rates: the window was hidden in between, and
    /// an average over that long would pass for the rate now.
    static constexpr std::chrono::seconds MaxInterval { 5 };

    /// Takes the snapshot made at `now`. A connection's rate is its bytes since the previous
    /// update over the time between the two; a connection new since then counts all its bytes.
    void update(const std::vector<relay::ConnectionInfo> &connections, SteadyClock::time_point now);

    quint64 id(int row) const { return m_rows.at(size_t(row)).info.id; }
    const relay::ConnectionInfo &info(int row) const { return m_rows.at(size_t(row)).info; }
    double rateUp(int row) const { return m_rows.at(size_t(row)).rateUp; }
    double rateDown(int row) const { return m_rows.at(size_t(row)).rateDown; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row
    {
        relay::ConnectionInfo info;
        int line = 0; ///< place in the waiting line
        double rateUp = 0;
        double rateDown = 0;
    };

    std::vector<Row> m_rows;
    std::optional<SteadyClock::time_point> m_last;
};

} // namespace ui
