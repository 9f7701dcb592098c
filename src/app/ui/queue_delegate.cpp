// Paints one queue row: thumbnail, name, size and format, target menu, progress and status.
#include "app/ui/queue_delegate.h"

#include "app/ui/icons.h"
#include "app/ui/queue_roles.h"
#include "app/ui/theme.h"
#include "engine/job.h"

#include <QAbstractItemView>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace kv::ui {

namespace {

constexpr int kMargin = 14;
constexpr int kThumb = 44;
constexpr int kTargetWidth = 118;
constexpr int kStatusWidth = 204;

QString elided(const QFontMetrics& metrics, const QString& text, int width) {
    return metrics.elidedText(text, Qt::ElideMiddle, width);
}

void drawThumbnail(QPainter& p, const QRect& box, const QModelIndex& index, const Theme& t) {
    QPainterPath clip;
    clip.addRoundedRect(box, 9, 9);
    const QImage thumb = index.data(ThumbnailRole).value<QImage>();
    const QString category = index.data(CategoryRole).toString();
    if (!thumb.isNull()) {
        p.save();
        p.setClipPath(clip);
        const QImage scaled =
            thumb.scaled(box.size() * p.device()->devicePixelRatioF(),
                         Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        QRectF source(0, 0, box.width() * p.device()->devicePixelRatioF(),
                      box.height() * p.device()->devicePixelRatioF());
        source.moveCenter(QPointF(scaled.width() / 2.0, scaled.height() / 2.0));
        p.drawImage(QRectF(box), scaled, source);
        p.restore();
        p.setPen(QPen(t.border, 1));
        p.setBrush(Qt::NoBrush);
        p.drawPath(clip);
        return;
    }
    QColor tile = categoryColor(category);
    tile.setAlphaF(t.dark ? 0.22f : 0.13f);
    p.fillPath(clip, tile);
    const QRect glyph(box.center() - QPoint(11, 11), QSize(22, 22));
    icon(categoryGlyph(category), categoryColor(category)).paint(&p, glyph);
}

void drawProgress(QPainter& p, const QRect& bar, double progress, const Theme& t) {
    QPainterPath track;
    track.addRoundedRect(bar, bar.height() / 2.0, bar.height() / 2.0);
    p.fillPath(track, t.surfaceAlt.darker(t.dark ? 80 : 106));
    if (progress > 0) {
        QRectF filled(bar);
        filled.setWidth(std::max(static_cast<double>(bar.height()), bar.width() * progress));
        QPainterPath fill;
        fill.addRoundedRect(filled, bar.height() / 2.0, bar.height() / 2.0);
        p.fillPath(fill, t.accent);
    }
}

} // namespace

QRect QueueDelegate::targetRect(const QRect& row) {
    const int right = row.right() - kMargin - kStatusWidth - 12;
    return QRect(right - kTargetWidth, row.center().y() - 14, kTargetWidth, 28);
}

QSize QueueDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return QSize(option.rect.width(), kRowHeight);
}

void QueueDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    const Theme& t = currentTheme();
    QPainter& p = *painter;
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QRect row = option.rect.adjusted(8, 3, -8, -3);
    const bool selected = option.state & QStyle::State_Selected;
    const bool hovered = option.state & QStyle::State_MouseOver;

    QPainterPath card;
    card.addRoundedRect(row, 10, 10);
    QColor background = t.surface;
    if (selected) {
        background = t.accent;
        background.setAlphaF(t.dark ? 0.28f : 0.14f);
        p.fillPath(card, t.surface);
    } else if (hovered) {
        background = t.surfaceAlt;
    }
    p.fillPath(card, background);
    p.setPen(QPen(selected ? t.accent : t.border, 1));
    p.drawPath(card);

    const QRect thumb(row.left() + 12, row.center().y() - kThumb / 2, kThumb, kThumb);
    drawThumbnail(p, thumb, index, t);

    const auto status = static_cast<ConversionStatus>(index.data(StatusRole).toInt());
    const QRect target = targetRect(option.rect);
    const int textLeft = thumb.right() + 14;
    const int textWidth = target.left() - 16 - textLeft;

    QFont nameFont = option.font;
    nameFont.setWeight(QFont::DemiBold);
    nameFont.setPointSizeF(option.font.pointSizeF() + 0.5);
    p.setFont(nameFont);
    p.setPen(t.text);
    const QFontMetrics nameMetrics(nameFont);
    const QRect nameRect(textLeft, row.center().y() - nameMetrics.height() - 1, textWidth,
                         nameMetrics.height());
    p.drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter,
               elided(nameMetrics, index.data(NameRole).toString(), textWidth));

    QFont small = option.font;
    small.setPointSizeF(option.font.pointSizeF() - 0.5);
    p.setFont(small);
    const QFontMetrics smallMetrics(small);
    const QRect detailRect(textLeft, row.center().y() + 3, textWidth, smallMetrics.height());
    const QString error = index.data(ErrorRole).toString();
    if (status == ConversionStatus::failed && !error.isEmpty()) {
        p.setPen(t.error);
        p.drawText(detailRect, Qt::AlignLeft | Qt::AlignVCenter,
                   smallMetrics.elidedText(error, Qt::ElideRight, textWidth));
    } else {
        p.setPen(t.secondaryText);
        p.drawText(
            detailRect, Qt::AlignLeft | Qt::AlignVCenter,
            smallMetrics.elidedText(index.data(DetailRole).toString(), Qt::ElideRight, textWidth));
    }

    // The target button: "→ JPEG ⌄", or "No target" when nothing can be made.
    const bool hasTargets = index.data(HasTargetsRole).toBool();
    const bool editable = hasTargets && status != ConversionStatus::converting;
    QPainterPath pill;
    pill.addRoundedRect(target, 7, 7);
    p.fillPath(pill, t.surfaceAlt);
    p.setPen(QPen(t.border, 1));
    p.drawPath(pill);
    QFont pillFont = option.font;
    pillFont.setWeight(QFont::Medium);
    p.setFont(pillFont);
    const QString targetText = index.data(TargetRole).toString();
    p.setPen(editable ? t.text : t.secondaryText);
    const QRect pillText = target.adjusted(10, 0, -24, 0);
    p.drawText(pillText, Qt::AlignLeft | Qt::AlignVCenter,
               targetText.isEmpty() ? tr("No target") : QString::fromUtf8("\u2192 ") + targetText);
    if (editable)
        icon(Glyph::chevron, t.secondaryText)
            .paint(&p, QRect(target.right() - 20, target.center().y() - 7, 14, 14));

    // Status column: progress bar while converting; otherwise status and size change.
    const QRect statusRect(row.right() - kStatusWidth - 4, row.top(), kStatusWidth, row.height());
    p.setFont(small);
    if (status == ConversionStatus::converting) {
        const double progress = index.data(ProgressRole).toDouble();
        const QRect bar(statusRect.left(), row.center().y() + 3, statusRect.width() - 8, 6);
        drawProgress(p, bar, progress, t);
        p.setPen(t.secondaryText);
        p.drawText(QRect(statusRect.left(), row.center().y() - smallMetrics.height() - 2,
                         statusRect.width() - 8, smallMetrics.height()),
                   Qt::AlignLeft | Qt::AlignVCenter,
                   tr("Converting… %1%").arg(static_cast<int>(progress * 100 + 0.5)));
    } else {
        QColor color = t.secondaryText;
        Glyph glyph = Glyph::recent;
        QString headline = index.data(StatusTextRole).toString();
        if (status == ConversionStatus::completed) {
            color = t.success;
            glyph = Glyph::check;
        } else if (status == ConversionStatus::failed) {
            color = t.error;
            glyph = Glyph::error;
        }
        const QString delta = index.data(DeltaRole).toString();
        const int lineHeight = smallMetrics.height();
        const int top =
            delta.isEmpty() ? row.center().y() - lineHeight / 2 : row.center().y() - lineHeight - 1;
        icon(glyph, color).paint(&p, QRect(statusRect.left(), top + (lineHeight - 14) / 2, 14, 14));
        QFont statusFont = small;
        statusFont.setWeight(QFont::Medium);
        p.setFont(statusFont);
        p.setPen(color);
        p.drawText(QRect(statusRect.left() + 20, top, statusRect.width() - 24, lineHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, headline);
        if (!delta.isEmpty()) {
            p.setFont(small);
            p.setPen(t.secondaryText);
            p.drawText(QRect(statusRect.left() + 20, top + lineHeight + 2, statusRect.width() - 20,
                             lineHeight),
                       Qt::AlignLeft | Qt::AlignVCenter,
                       smallMetrics.elidedText(delta, Qt::ElideRight, statusRect.width() - 20));
        }
    }
    p.restore();
}

bool QueueDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const auto status = static_cast<ConversionStatus>(index.data(StatusRole).toInt());
        if (mouse->button() == Qt::LeftButton &&
            targetRect(option.rect).contains(mouse->position().toPoint()) &&
            index.data(HasTargetsRole).toBool() && status != ConversionStatus::converting) {
            const QPoint below = targetRect(option.rect).bottomLeft() + QPoint(0, 4);
            const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
            emit targetMenuRequested(index, view ? view->viewport()->mapToGlobal(below) : below);
            return true;
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

} // namespace kv::ui
