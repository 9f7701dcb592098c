// Paints one queue row: thumbnail, name, size and format, target menu, progress and status.
#pragma once

#include <QStyledItemDelegate>

namespace kv::ui {

class QueueDelegate final : public QStyledItemDelegate {
    Q_OBJECT
  public:
    static constexpr int kRowHeight = 68;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    /// Where a row's target button sits inside the row's rectangle.
    static QRect targetRect(const QRect& row);

  signals:
    /// The target button of a row was clicked; the menu opens at `globalPos`.
    void targetMenuRequested(const QModelIndex& index, const QPoint& globalPos);
};

} // namespace kv::ui
