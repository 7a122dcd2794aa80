#pragma once

#include <QAbstractItemView>

namespace ui {

/// A list view for a log that only grows: every row has the height of one line of text, so
/// adding rows costs the same whether the list holds ten lines or ten million (QListView lays
/// out all its rows again on every insertion). It paints only the rows in sight and scrolls by
/// whole rows; it never scrolls or selects by itself.
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

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex &index) const override;
    void setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection &selection) const override;

    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    int rowCount() const;
    int firstVisibleRow() const;
    /// Rows that fit wholly in the viewport (at least one).
    int pageRows() const;

    mutable int m_rowHeight = 0; ///< measured on first use; 0 means not yet
};

} // namespace ui
