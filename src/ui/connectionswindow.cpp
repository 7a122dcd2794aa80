#include "connectionswindow.h"

#include "connectiontext.h"
#include "recentmodel.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QSettings>
#include <QShowEvent>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

namespace ui {

namespace {

const QString SizeKey = QStringLiteral("Connections/size");

/// The header line, then the selected rows (all of them when none is selected and `all`) in
/// the order shown, each cell's CopyRole text, tab-separated.
QString rowsText(const QTableView &view)
{
    const QAbstractItemModel &model = *view.model();
    QStringList cells;
    for (int c = 0; c < model.columnCount(); ++c)
        cells << model.headerData(c, Qt::Horizontal).toString();
    QString text = cells.join(u'\t') + u'\n';
    QModelIndexList rows = view.selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
        [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    for (const QModelIndex &row : std::as_const(rows)) {
        cells.clear();
        for (int c = 0; c < model.columnCount(); ++c)
            cells << model.index(row.row(), c).data(CopyRole).toString();
        text += cells.join(u'\t') + u'\n';
    }
    return text;
}

QTableView *makeTable(QAbstractItemModel *model, QWidget *parent)
{
    auto *sorted = new QSortFilterProxyModel(parent);
    sorted->setSourceModel(model);
    sorted->setSortRole(SortRole);
    auto *view = new QTableView(parent);
    view->setModel(sorted);
    view->setSortingEnabled(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->setAlternatingRowColors(true);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setHighlightSections(false);
    view->setContextMenuPolicy(Qt::ActionsContextMenu);
    return view;
}

/// Columns wide enough for the header and for the widest of the samples.
void setWidths(QTableView *view, const std::vector<std::pair<int, QString>> &samples)
{
    const QFontMetrics fm = view->fontMetrics();
    QHeaderView *header = view->horizontalHeader();
    const QFontMetrics hf(header->font());
    for (const auto &[column, sample] : samples) {
        const QString title = view->model()->headerData(column, Qt::Horizontal).toString();
        // The header also holds the sort arrow.
        header->resizeSection(
            column, std::max(fm.horizontalAdvance(sample) + 14, hf.horizontalAdvance(title) + 28));
    }
}

QAction *addCopy(QTableView *view)
{
    auto *copy = new QAction(QStringLiteral("Copy"), view);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    QObject::connect(copy, &QAction::triggered, view,
        [view] { QGuiApplication::clipboard()->setText(rowsText(*view)); });
    view->addAction(copy);
    return copy;
}

} // namespace

ConnectionsWindow::ConnectionsWindow(
    ConnectionsSource source, QString settingsFile, QWidget *parent)
    : QWidget(parent, Qt::Window), m_source(std::move(source)),
      m_settingsFile(std::move(settingsFile)), m_clock(&SteadyClock::now)
{
    setObjectName(QStringLiteral("Connections"));
    setWindowTitle(QStringLiteral("Connections"));
    m_timer.setInterval(RefreshInterval);
    connect(&m_timer, &QTimer::timeout, this, &ConnectionsWindow::refresh);
    buildControls();

    QSize size(1180, 780);
    if (!m_settingsFile.isEmpty()) {
        const QSize saved = QSettings(m_settingsFile, QSettings::IniFormat).value(SizeKey).toSize();
        if (saved.isValid() && !saved.isEmpty())
            size = saved;
    }
    resize(size);
    // The table shows sixteen slots and a few waiting; the recent list gets more width than the
    // graph.
    m_split->setSizes({ size.height() * 3 / 5, size.height() * 2 / 5 });
    m_below->setSizes({ size.width() * 2 / 5, size.width() * 3 / 5 });
}

ConnectionsWindow::~ConnectionsWindow() = default;

void ConnectionsWindow::buildControls()
{
    m_model = new ConnectionsModel(this);
    m_table = makeTable(m_model, this);
    m_table->setObjectName(QStringLiteral("connectionsTable"));
    m_sorted = static_cast<QSortFilterProxyModel *>(m_table->model());
    using M = ConnectionsModel;
    setWidths(m_table,
        { { M::SlotColumn, QStringLiteral("99") },
            { M::ClientColumn, QStringLiteral("255.255.255.255:65535") },
            { M::ProtocolColumn, QStringLiteral("SOCKS4a") },
            { M::UserColumn, QStringLiteral("someone") },
            { M::StateColumn, QStringLiteral("negotiating") },
            { M::SinceColumn, QStringLiteral("00:00:00") },
            { M::BytesUpColumn, QStringLiteral("99.9 MiB \u00b7 99.9k") },
            { M::BytesDownColumn, QStringLiteral("99.9 MiB \u00b7 99.9k") },
            { M::RateUpColumn, QStringLiteral("999 KiB/s") },
            { M::RateDownColumn, QStringLiteral("999 KiB/s") } });
    // The destination takes what the figures leave.
    m_table->horizontalHeader()->setStretchLastSection(false);
    m_table->horizontalHeader()->setSectionResizeMode(M::DestinationColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setMinimumSectionSize(fontMetrics().horizontalAdvance(u'0') * 4);
    m_table->sortByColumn(M::SlotColumn, Qt::AscendingOrder);

    m_disconnect = new QAction(QStringLiteral("Disconnect"), m_table);
    m_disconnect->setShortcut(QKeySequence::Delete);
    m_disconnect->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(m_disconnect, &QAction::triggered, this, &ConnectionsWindow::disconnectSelected);
    m_table->addAction(m_disconnect);
    m_copy = addCopy(m_table);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &ConnectionsWindow::updateActions);
    updateActions();

    m_totals = new QLabel(this);
    m_totals->setObjectName(QStringLiteral("totals"));
    m_totals->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_graph = new RateGraph(m_history, this);

    m_recent = new RecentModel(this);
    m_recentView = makeTable(m_recent, this);
    m_recentView->setObjectName(QStringLiteral("recentTable"));
    using R = RecentModel;
    setWidths(m_recentView,
        { { R::EndedColumn, QStringLiteral("00:00:00") },
            { R::ClientColumn, QStringLiteral("255.255.255.255:65535") },
            { R::ProtocolColumn, QStringLiteral("SOCKS4a") },
            { R::DurationColumn, QStringLiteral("59 min 59 s") },
            { R::BytesUpColumn, QStringLiteral("999.9 MiB") },
            { R::BytesDownColumn, QStringLiteral("999.9 MiB") },
            { R::ReasonColumn, QStringLiteral("connect failed: Connection refused") } });
    m_recentView->horizontalHeader()->setStretchLastSection(true); // the destination
    m_recentView->sortByColumn(R::EndedColumn, Qt::DescendingOrder);
    addCopy(m_recentView);

    auto *left = new QWidget(this);
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(m_totals);
    leftLayout->addWidget(m_graph, 1);
    auto *right = new QWidget(this);
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addWidget(new QLabel(QStringLiteral("Recent"), right));
    rightLayout->addWidget(m_recentView, 1);
    m_below = new QSplitter(Qt::Horizontal, this);
    m_below->addWidget(left);
    m_below->addWidget(right);
    m_below->setStretchFactor(0, 2);
    m_below->setStretchFactor(1, 3);
    m_below->setChildrenCollapsible(false);

    m_split = new QSplitter(Qt::Vertical, this);
    m_split->addWidget(m_table);
    m_split->addWidget(m_below);
    m_split->setStretchFactor(0, 3);
    m_split->setStretchFactor(1, 2);
    m_split->setChildrenCollapsible(false);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(m_split);
}

void ConnectionsWindow::setRefreshInterval(std::chrono::milliseconds interval)
{
    m_timer.setInterval(interval);
}

void ConnectionsWindow::refresh()
{
    const relay::Snapshot snapshot = m_source.snapshot();
    const SteadyClock::time_point now = m_clock();
    m_model->update(snapshot.connections, now);
    m_recent->update(snapshot.recent);
    const relay::Totals &t = snapshot.totals;
    m_history.add(now, t.bytesUp, t.bytesDown);
    m_totals->setText(
        QStringLiteral("Since start: %1 served, %2 refused, %3 failed; %4 up, %5 down")
            .arg(t.served)
            .arg(t.refused)
            .arg(t.failed)
            .arg(formatBytes(t.bytesUp), formatBytes(t.bytesDown)));
    m_totals->setToolTip(
        QStringLiteral("%1 bytes up, %2 bytes down").arg(t.bytesUp).arg(t.bytesDown));
    m_graph->update();
}

QString ConnectionsWindow::selectedText() const
{
    return rowsText(*m_table);
}

QList<quint64> ConnectionsWindow::selectedIds() const
{
    QModelIndexList rows = m_table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
        [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QList<quint64> ids;
    for (const QModelIndex &row : std::as_const(rows))
        ids.append(m_model->id(m_sorted->mapToSource(row).row()));
    return ids;
}

void ConnectionsWindow::disconnectSelected()
{
    const QList<quint64> ids = selectedIds();
    for (const quint64 id : ids)
        m_source.disconnect(id);
    if (!ids.isEmpty() && isVisible())
        refresh();
}

void ConnectionsWindow::updateActions()
{
    const bool any = m_table->selectionModel()->hasSelection();
    m_disconnect->setEnabled(any);
    m_copy->setEnabled(any);
}

void ConnectionsWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_timer.isActive())
        return;
    refresh();
    m_timer.start();
}

void ConnectionsWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_timer.stop();
    if (!event->spontaneous())
        saveSize();
}

void ConnectionsWindow::saveSize() const
{
    if (m_settingsFile.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_settingsFile).absolutePath()); // the configuration folder, at first
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    settings.setValue(SizeKey, size());
}

} // namespace ui
