// The transient message floating above the bottom of the queue.
#include "app/ui/toast_view.h"

#include "app/ui/icons.h"
#include "app/ui/theme.h"

#include <QAccessible>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace kv::ui {

ToastView::ToastView(QWidget* parent) : QWidget(parent) {
    setObjectName("toast");
    setAttribute(Qt::WA_TranslucentBackground);
    setAccessibleName(tr("Notification"));
    m_icon = new QLabel(this);
    m_icon->setFixedSize(22, 22);
    m_title = new QLabel(this);
    QFont titleFont = m_title->font();
    titleFont.setWeight(QFont::DemiBold);
    m_title->setFont(titleFont);
    m_detail = new QLabel(this);
    m_detail->setWordWrap(false);

    auto* text = new QVBoxLayout;
    text->setSpacing(1);
    text->addWidget(m_title);
    text->addWidget(m_detail);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 10, 20, 10);
    layout->setSpacing(12);
    layout->addWidget(m_icon, 0, Qt::AlignVCenter);
    layout->addLayout(text);

    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setBlurRadius(24);
    shadow->setOffset(0, 4);
    shadow->setColor(QColor(0, 0, 0, 60));
    setGraphicsEffect(shadow);
    hide();
}

void ToastView::show(const std::optional<Toast>& toast) {
    if (!toast) {
        hide();
        return;
    }
    const Theme& t = currentTheme();
    m_kind = toast->kind;
    const QColor color = m_kind == Toast::Kind::success   ? t.success
                         : m_kind == Toast::Kind::warning ? t.warning
                                                          : t.error;
    const Glyph glyph = m_kind == Toast::Kind::success   ? Glyph::check
                        : m_kind == Toast::Kind::warning ? Glyph::warning
                                                         : Glyph::error;
    m_icon->setPixmap(icon(glyph, color).pixmap(QSize(22, 22), devicePixelRatioF()));
    m_title->setText(QString::fromStdString(toast->title));
    m_title->setStyleSheet(QStringLiteral("color: %1;").arg(t.text.name()));
    m_detail->setText(toast->detail ? QString::fromStdString(*toast->detail) : QString());
    m_detail->setVisible(toast->detail.has_value());
    m_detail->setStyleSheet(QStringLiteral("color: %1;").arg(t.secondaryText.name()));
    setAccessibleDescription(m_title->text() + ". " + m_detail->text());
    adjustSize();
    reposition();
    QWidget::show();
    raise();
    QAccessibleEvent announce(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&announce);
}

void ToastView::reposition() {
    if (parentWidget() == nullptr)
        return;
    adjustSize();
    const QRect area = parentWidget()->rect();
    move(area.center().x() - width() / 2, area.bottom() - height() - 24);
}

void ToastView::paintEvent(QPaintEvent*) {
    const Theme& t = currentTheme();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    p.fillPath(shape, t.dark ? t.surfaceAlt : t.surface);
    p.setPen(QPen(t.border, 1));
    p.drawPath(shape);
}

} // namespace kv::ui
