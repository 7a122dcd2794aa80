#pragma once

#include <QAbstractItemView>

QT_BEGIN_NAMESPACE
class QAction;
QT_END_NAMESPACE

namespace ui {

/// A list view for a log that grows at the end and loses its oldest lines (a StatusLog): every row has the height of one line of
/// text, so adding rows costs the same whether the list holds ten lines or ten million
/// (QListView lays out all its rows again on every insertion). It paints only the rows in sight
/// and scrolls by whole rows, sideways as far as the longest line reaches; it never scrolls or
/// selects by itself. Hovering a row shows its whole line; selected lines are copied as text by
/// Ctrl+C or the context menu's "Copy", which also offers "Save Log…".
class StatusView final : public QAbstractItemView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusView)

public:
    explicit StatusView(QWidget *parent = nullptr);
    ~StatusView() override;

    QModelIndex indexAt(const QPoint &point) const override;
    QRect visualRect(const QModelIndex &index) const override;
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;

    /// The height of every row, in pixels.
    int rowHeight() const;
    /// The selected lines, in order, one per line.
    QString selectedText() const;
    /// The context menu's actions.
    QAction *copyAction() const { return m_copy; }
    QAction *saveAction() const { return m_save; }

Q_SIGNALS:
    /// "Save Log…" was chosen: the owner asks where and writes the log.
    void saveRequested();

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex &index) const override;
    void setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection &selection) const override;

    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end) override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    int rowCount() const;
    int firstVisibleRow() const;
    /// Rows that fit wholly in the viewport (at least one).
    int pageRows() const;

    mutable int m_rowHeight = 0; ///< measured on first use; 0 means not yet
    int m_contentWidth = 0; ///< of the longest line, in pixels
    QAction *m_copy = nullptr;
    QAction *m_save = nullptr;
};

} // namespace ui
