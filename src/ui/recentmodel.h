#pragma once

#include "relay/events.h"

#include <QAbstractTableModel>
#include <deque>

namespace ui {

/// The connections that ended last (the snapshot's `recent`), newest first, with how long each
/// lasted, what it carried and why it ended. New endings are inserted at the top and the oldest
/// beyond the snapshot's count drop off the bottom, so a selection stays on its row.
class RecentModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecentModel)

public:
    enum Column {
        EndedColumn,
        DurationColumn,
        BytesUpColumn,
        BytesDownColumn,
        ReasonColumn,
        ClientColumn,
        ProtocolColumn,
        DestinationColumn,
        ColumnCount
    };

    explicit RecentModel(QObject *parent = nullptr);
    ~RecentModel() override;

    /// Takes the snapshot's list (oldest first).
    void update(const std::vector<relay::EndedConnection> &recent);
    const relay::EndedConnection &ended(int row) const { return m_rows.at(size_t(row)); }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::deque<relay::EndedConnection> m_rows; ///< newest first
};

} // namespace ui
