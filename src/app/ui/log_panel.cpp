// The conversion log panel: All/Errors/Warnings filters, search, copy, clear and close.
#include "app/ui/log_panel.h"

#include "app/state/conversion_view_model.h"
#include "app/ui/icons.h"
#include "app/ui/theme.h"
#include "engine/logger.h"

#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace kv::ui {

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QToolButton* headerButton(Glyph glyph, const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setIcon(icon(glyph, currentTheme().secondaryText));
    button->setIconSize(QSize(16, 16));
    button->setToolTip(help);
    button->setAccessibleName(help);
    button->setAutoRaise(true);
    return button;
}

QColor levelColor(LogEntry::Level level, const Theme& t) {
    switch (level) {
    case LogEntry::Level::error: return t.error;
    case LogEntry::Level::warning: return t.warning;
    case LogEntry::Level::success: return t.success;
    case LogEntry::Level::info: return t.accent;
    case LogEntry::Level::debug: return t.secondaryText;
    }
    return t.secondaryText;
}

Glyph levelGlyph(LogEntry::Level level) {
    switch (level) {
    case LogEntry::Level::error: return Glyph::error;
    case LogEntry::Level::warning: return Glyph::warning;
    case LogEntry::Level::success: return Glyph::check;
    default: return Glyph::log;
    }
}

} // namespace

LogPanel::LogPanel(ConversionViewModel& state, QWidget* parent) : QWidget(parent), m_state(state) {
    setObjectName("logPanel");
    setAccessibleName(qs(kLogPanelTitle));
    setAutoFillBackground(true);
    const Theme& t = currentTheme();

    auto* title = new QLabel(qs(kLogPanelTitle), this);
    QFont titleFont = title->font();
    titleFont.setWeight(QFont::DemiBold);
    titleFont.setPointSizeF(titleFont.pointSizeF() + 1);
    title->setFont(titleFont);

    m_buttons = new QButtonGroup(this);
    m_buttons->setExclusive(true);
    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    header->addWidget(title);
    header->addSpacing(12);
    int id = 0;
    for (const auto& button : logFilterButtons()) {
        auto* filter = new QPushButton(qs(button.title), this);
        filter->setCheckable(true);
        filter->setProperty("filter", true);
        filter->setAccessibleName(tr("Show %1").arg(qs(button.title)));
        filter->setChecked(button.level == m_state.logFilter().level);
        filter->setCursor(Qt::PointingHandCursor);
        m_buttons->addButton(filter, id++);
        header->addWidget(filter);
    }
    header->addStretch(1);

    m_search = new QLineEdit(this);
    m_search->setPlaceholderText(qs(kLogSearchPlaceholder));
    m_search->setAccessibleName(tr("Search the log"));
    m_search->setClearButtonEnabled(true);
    m_search->addAction(icon(Glyph::search, t.secondaryText), QLineEdit::LeadingPosition);
    m_search->setFixedWidth(220);
    m_search->setText(QString::fromStdString(m_state.logFilter().searchText));
    header->addWidget(m_search);

    auto* copy = headerButton(Glyph::copy, tr("Copy log"), this);
    auto* clear = headerButton(Glyph::trash, qs(kLogClearTitle), this);
    auto* close = headerButton(Glyph::close, qs(kLogCloseHelp), this);
    header->addWidget(copy);
    header->addWidget(clear);
    header->addWidget(close);

    m_list = new QListWidget(this);
    m_list->setAccessibleName(tr("Log entries"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setUniformItemSizes(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setWordWrap(false);
    m_list->setStyleSheet(QStringLiteral("QListWidget { background: %1; border: 1px solid %2; "
                                         "border-radius: 8px; padding: 4px; } "
                                         "QListWidget::item { padding: 3px 4px; }")
                              .arg(t.surface.name(), t.border.name()));
    QFont mono("DejaVu Sans Mono");
    mono.setStyleHint(QFont::Monospace);
    mono.setPointSizeF(font().pointSizeF() - 0.5);
    m_list->setFont(mono);

    m_empty = new QLabel(this);
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setStyleSheet(QStringLiteral("color: %1; background: %2; border: 1px solid %3; "
                                          "border-radius: 8px;")
                               .arg(t.secondaryText.name(), t.surface.name(), t.border.name()));
    m_stack = new QStackedWidget(this);
    m_stack->addWidget(m_list);
    m_stack->addWidget(m_empty);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 14);
    layout->setSpacing(10);
    layout->addLayout(header);
    layout->addWidget(m_stack, 1);

    connect(m_buttons, &QButtonGroup::idClicked, this, [this](int index) {
        m_state.setLogLevelFilter(logFilterButtons().at(static_cast<std::size_t>(index)).level);
        rebuild();
    });
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_state.setLogSearchText(text.toStdString());
        rebuild();
    });
    connect(copy, &QToolButton::clicked, this, [this] {
        QApplication::clipboard()->setText(QString::fromStdString(m_state.exportLogText()));
    });
    connect(clear, &QToolButton::clicked, this, [this] {
        m_state.clearLog();
        rebuild();
    });
    connect(close, &QToolButton::clicked, this, &LogPanel::closeRequested);
    rebuild();
}

void LogPanel::refresh() {
    rebuild();
}

int LogPanel::visibleCount() const {
    return m_list->count();
}

void LogPanel::rebuild() {
    const Theme& t = currentTheme();
    const auto visible = m_state.visibleLogEntries();
    m_list->setUpdatesEnabled(false);
    m_list->clear();
    for (const auto& entry : visible) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            entry.timestamp.time_since_epoch())
                            .count();
        QString text = QDateTime::fromMSecsSinceEpoch(ms).toString("HH:mm:ss.zzz") + "  " +
                       qs(entry.category).leftJustified(9, ' ') + " " + qs(entry.message);
        if (entry.detail)
            text += QString::fromUtf8(" \u2014 ") + qs(*entry.detail);
        auto* item = new QListWidgetItem(icon(levelGlyph(entry.level), levelColor(entry.level, t)),
                                         text, m_list);
        item->setToolTip(QString::fromStdString(entry.oneLiner()));
        if (entry.level == LogEntry::Level::error)
            item->setForeground(t.error);
    }
    m_list->setUpdatesEnabled(true);
    const auto empty = m_state.logEmptyText();
    m_empty->setText(QString::fromStdString(empty));
    m_stack->setCurrentWidget(empty.empty() ? static_cast<QWidget*>(m_list) : m_empty);
    // After the layout settles, so a panel that just opened also ends at its last entry.
    if (m_list->count() > 0)
        QTimer::singleShot(0, m_list, [list = m_list] { list->scrollToBottom(); });
}

} // namespace kv::ui
