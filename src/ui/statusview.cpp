#include "statusview.h"

#include "statuslog.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

namespace ui {

StatusView::StatusView(QWidget *parent) : QAbstractItemView(parent)
{
    setEditTriggers(NoEditTriggers);
    setSelectionMode(ExtendedSelection);
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollMode(ScrollPerItem);
    setHorizontalScrollMode(ScrollPerPixel);

    m_copy = new QAction(QStringLiteral("Copy"), this);
    connect(m_copy, &QAction::triggered, this,
        [this] { QGuiApplication::clipboard()->setText(selectedText()); });
    m_save = new QAction(QStringLiteral("Save Log\u2026"), this);
    connect(m_save, &QAction::triggered, this, &StatusView::saveRequested);
}

StatusView::~StatusView() = default;

int StatusView::rowHeight() const
{
    if (m_rowHeight == 0) {
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.text = QStringLiteral("Xy");
        option.features |= QStyleOptionViewItem::HasDisplay;
        const QModelIndex first = model() ? model()->index(0, 0, rootIndex()) : QModelIndex();
        const int hint = itemDelegate() && first.isValid()
            ? itemDelegate()->sizeHint(option, first).height()
            : 0;
        m_rowHeight = std::max({ hint, fontMetrics().height(), 1 });
    }
    return m_rowHeight;
}

QString StatusView::selectedText() const
{
    QString text;
    if (!selectionModel())
        return text;
    QModelIndexList rows = selectionModel()->selectedIndexes();
    std::sort(rows.begin(), rows.end(),
        [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    for (const QModelIndex &index : std::as_const(rows))
        text += index.data().toString() + u'\n';
    return text;
}

void StatusView::keyPressEvent(QKeyEvent *event)
{
    // Every selected line, where the base class would copy the current one only.
    if (event->matches(QKeySequence::Copy)) {
        m_copy->trigger();
        event->accept();
        return;
    }
    QAbstractItemView::keyPressEvent(event);
}

void StatusView::contextMenuEvent(QContextMenuEvent *event)
{
    m_copy->setEnabled(selectionModel() && selectionModel()->hasSelection());
    QMenu menu(this);
    menu.addAction(m_copy);
    menu.addAction(m_save);
    menu.exec(event->globalPos());
}

int StatusView::rowCount() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int StatusView::firstVisibleRow() const
{
    return verticalScrollBar()->value();
}

int StatusView::pageRows() const
{
    return std::max(1, viewport()->height() / rowHeight());
}

QModelIndex StatusView::indexAt(const QPoint &point) const
{
    if (point.y() < 0)
        return {};
    const qint64 row = firstVisibleRow() + point.y() / rowHeight();
    if (row >= rowCount())
        return {};
    return model()->index(static_cast<int>(row), 0, rootIndex());
}

QRect StatusView::visualRect(const QModelIndex &index) const
{
    if (!index.isValid() || index.parent() != rootIndex())
        return {};
    // Rows far out of sight get a rectangle far out of sight, without overflowing.
    const qint64 top = qint64(index.row() - firstVisibleRow()) * rowHeight();
    const int clamped = static_cast<int>(std::clamp<qint64>(top, -(1 << 24), 1 << 24));
    return { -horizontalOffset(), clamped, std::max(viewport()->width(), m_contentWidth),
        rowHeight() };
}

void StatusView::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    if (!index.isValid())
        return;
    const int row = index.row();
    const int first = firstVisibleRow();
    const int page = pageRows();
    int target = first;
    switch (hint) {
    case PositionAtTop:
        target = row;
        break;
    case PositionAtBottom:
        target = row - page + 1;
        break;
    case PositionAtCenter:
        target = row - page / 2;
        break;
    case EnsureVisible:
        if (row < first)
            target = row;
        else if (row >= first + page)
            target = row - page + 1;
        break;
    }
    verticalScrollBar()->setValue(target);
}

QModelIndex StatusView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers)
{
    const int rows = rowCount();
    if (rows == 0)
        return {};
    const QModelIndex current = currentIndex();
    const int row = current.isValid() ? current.row() : -1;
    int next = row;
    switch (cursorAction) {
    case MoveUp:
    case MovePrevious:
        next = row - 1;
        break;
    case MoveDown:
    case MoveNext:
        next = row + 1;
        break;
    case MovePageUp:
        next = row - pageRows();
        break;
    case MovePageDown:
        next = row + pageRows();
        break;
    case MoveHome:
        next = 0;
        break;
    case MoveEnd:
        next = rows - 1;
        break;
    case MoveLeft:
    case MoveRight:
        return current;
    }
    return model()->index(std::clamp(next, 0, rows - 1), 0, rootIndex());
}

int StatusView::horizontalOffset() const
{
    return horizontalScrollBar()->value();
}

int StatusView::verticalOffset() const
{
    const qint64 offset = qint64(firstVisibleRow()) * rowHeight();
    return static_cast<int>(std::min<qint64>(offset, std::numeric_limits<int>::max()));
}

bool StatusView::isIndexHidden(const QModelIndex &) const
{
    return false;
}

void StatusView::setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command)
{
    const int rows = rowCount();
    if (rows == 0)
        return;
    const QRect r = rect.normalized();
    const int first =
        std::clamp(firstVisibleRow() + std::max(r.top(), 0) / rowHeight(), 0, rows - 1);
    const int last =
        std::clamp(firstVisibleRow() + std::max(r.bottom(), 0) / rowHeight(), 0, rows - 1);
    selectionModel()->select(
        QItemSelection(model()->index(first, 0, rootIndex()), model()->index(last, 0, rootIndex())),
        command);
}

QRegion StatusView::visualRegionForSelection(const QItemSelection &selection) const
{
    QRegion region;
    const int first = firstVisibleRow();
    const int last = first + pageRows();
    for (const QItemSelectionRange &range : selection) {
        const int top = std::max(range.top(), first);
        const int bottom = std::min(range.bottom(), last);
        if (top > bottom)
            continue;
        region += QRect(
            0, (top - first) * rowHeight(), viewport()->width(), (bottom - top + 1) * rowHeight());
    }
    return region;
}

void StatusView::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    updateGeometries();
    // Rows are only ever added at the end; repaint only if the end is in sight.
    if (start <= firstVisibleRow() + pageRows())
        viewport()->update();
}

void StatusView::rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsAboutToBeRemoved(parent, start, end);
    // The oldest rows leave: the lines in sight stay in sight, as far as they are kept.
    QScrollBar *bar = verticalScrollBar();
    if (start <= bar->value())
        bar->setValue(std::max(start, bar->value() - (end - start + 1)));
    viewport()->update();
}

void StatusView::updateGeometries()
{
    // Sideways as far as the longest line reaches: one line measured per batch of new rows.
    const QModelIndex first = model() ? model()->index(0, 0, rootIndex()) : QModelIndex();
    if (first.isValid()) {
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.text = first.data(StatusLog::LongestLineRole).toString();
        option.features |= QStyleOptionViewItem::HasDisplay;
        m_contentWidth =
            style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).width();
    }
    QScrollBar *across = horizontalScrollBar();
    across->setRange(0, std::max(0, m_contentWidth - viewport()->width()));
    across->setPageStep(viewport()->width());
    across->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
    QScrollBar *bar = verticalScrollBar();
    const int page = pageRows();
    bar->setSingleStep(1);
    bar->setPageStep(page);
    bar->setRange(0, std::max(0, rowCount() - page));
    QAbstractItemView::updateGeometries();
}

void StatusView::scrollContentsBy(int, int)
{
    viewport()->update();
}

void StatusView::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const int rows = rowCount();
    if (rows == 0)
        return;
    const int height = rowHeight();
    const int first = firstVisibleRow();
    const QRect area = event->rect();
    const int from = first + std::max(area.top(), 0) / height;
    const int to = std::min(rows - 1, first + area.bottom() / height);

    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QModelIndex current = currentIndex();
    for (int row = from; row <= to; ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        option.rect = QRect(-horizontalOffset(), (row - first) * height,
            std::max(viewport()->width() + horizontalOffset(), m_contentWidth), height);
        option.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        if (selectionModel() && selectionModel()->isSelected(index))
            option.state |= QStyle::State_Selected;
        if (index == current && hasFocus())
            option.state |= QStyle::State_HasFocus;
        itemDelegate()->paint(&painter, option, index);
    }
}

void StatusView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        m_rowHeight = 0;
    QAbstractItemView::changeEvent(event);
}

} // namespace ui
