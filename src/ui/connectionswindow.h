#pragma once

#include "connectionsmodel.h"
#include "rategraph.h"

#include <QTimer>
#include <QWidget>
#include <functional>

QT_BEGIN_NAMESPACE
class QAction;
class QLabel;
class QSortFilterProxyModel;
class QSplitter;
class QTableView;
QT_END_NAMESPACE

namespace ui {

class RecentModel;

/// What the Connections window asks of the relay, handed in by its owner (the relay's snapshot
/// and disconnect, or a test's fake).
struct ConnectionsSource
{
    /// Every connection now, the totals since start and the recent endings.
    std::function<relay::Snapshot()> snapshot;
    /// Ends the connection with that id as on a reset (an id no longer there is ignored).
    std::function<void(quint64 id)> disconnect;
};

/// The "Connections" window: a top-level window of its own showing the relay's connections (a
/// sortable table, one row each), the totals since start, the total rate over the last minute and
/// the connections that ended last. While shown it takes a snapshot about once a second; while
/// hidden or minimised it does nothing at all. Selected rows can be disconnected or copied as
/// tab-separated text. Its size is kept in the settings file, when there is one.
class ConnectionsWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionsWindow)

public:
    static constexpr std::chrono::milliseconds RefreshInterval { 1000 };

    /// settingsFile: an INI file where the window keeps its size; empty, nothing is kept.
    ConnectionsWindow(ConnectionsSource source, QString settingsFile, QWidget *parent = nullptr);
    ~ConnectionsWindow() override;

    /// The clock rates are measured by (steady_clock when not set).
    void setClock(std::function<SteadyClock::time_point()> clock) { m_clock = std::move(clock); }
    void setRefreshInterval(std::chrono::milliseconds interval);
    /// Takes one snapshot and shows it.
    void refresh();
    /// Whether the once-a-second refresh runs (only while the window is shown).
    bool refreshing() const { return m_timer.isActive(); }

    ConnectionsModel &model() const { return *m_model; }
    RecentModel &recentModel() const { return *m_recent; }
    const RateHistory &history() const { return m_history; }
    QTableView &table() const { return *m_table; }
    QAction &disconnectAction() const { return *m_disconnect; }
    QAction &copyAction() const { return *m_copy; }
    /// The header line, then the selected rows in the order shown, tab-separated, exact figures.
    QString selectedText() const;
    /// The ids of the selected rows, in the order shown.
    QList<quint64> selectedIds() const;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildControls();
    void disconnectSelected();
    void updateActions();
    void saveSize() const;

    ConnectionsSource m_source;
    QString m_settingsFile;
    std::function<SteadyClock::time_point()> m_clock;
    QTimer m_timer;
    RateHistory m_history;
    ConnectionsModel *m_model = nullptr;
    QSortFilterProxyModel *m_sorted = nullptr;
    RecentModel *m_recent = nullptr;
    QTableView *m_table = nullptr;
    QTableView *m_recentView = nullptr;
    QLabel *m_totals = nullptr;
    RateGraph *m_graph = nullptr;
    QSplitter *m_split = nullptr; ///< the table above, the rest below
    QSplitter *m_below = nullptr; ///< the totals and graph, then the recent list
    QAction *m_disconnect = nullptr;
    QAction *m_copy = nullptr;
};

} // namespace ui
