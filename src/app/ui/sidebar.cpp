// The sidebar: the library's categories with their counts, recent conversions and statistics.
#include "app/ui/sidebar.h"

#include "app/state/conversion_view_model.h"
#include "app/ui/icons.h"
#include "app/ui/theme.h"
#include "base/size_text.h"

#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

namespace kv::ui {

namespace {

constexpr int kCategoryRole = Qt::UserRole + 1; // -1 = all files
constexpr int kRecentRole = Qt::UserRole + 2;   // index into recents
constexpr int kCountRole = Qt::UserRole + 3;    // files in the category, 0 = none shown

// Draws the category's file count right-aligned in its row.
class CountDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        const int count = index.data(kCountRole).toInt();
        if (count <= 0)
            return;
        const bool selected = option.state & QStyle::State_Selected;
        painter->save();
        painter->setPen(selected ? currentTheme().onAccent : currentTheme().secondaryText);
        painter->drawText(option.rect.adjusted(0, 0, -12, 0), Qt::AlignRight | Qt::AlignVCenter,
                          QString::number(count));
        painter->restore();
    }
};

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

const QString kRecentsSection = "recents";
const QString kStatisticsSection = "statistics";

QListWidget* makeList(QWidget* parent, const QString& name) {
    const Theme& t = currentTheme();
    auto* list = new QListWidget(parent);
    list->setAccessibleName(name);
    list->setFrameShape(QFrame::NoFrame);
    list->setIconSize(QSize(18, 18));
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setStyleSheet(
        QStringLiteral("QListWidget { background: transparent; } "
                       "QListWidget::item { padding: 6px 8px; border-radius: 7px; color: %1; } "
                       "QListWidget::item:hover { background: %2; } "
                       "QListWidget::item:selected { background: %3; color: %4; }")
            .arg(t.text.name(), t.surfaceAlt.name(), t.accent.name(), t.onAccent.name()));
    return list;
}

void fitHeight(QListWidget* list) {
    int height = 4;
    for (int i = 0; i < list->count(); ++i)
        height += list->sizeHintForRow(i);
    list->setFixedHeight(height);
}

} // namespace

Sidebar::Sidebar(ConversionViewModel& state, QWidget* parent) : QWidget(parent), m_state(state) {
    setObjectName("sidebar");
    setAccessibleName(tr("Sidebar"));
    setAutoFillBackground(true);
    const Theme& t = currentTheme();
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, t.sidebar);
    setPalette(palette);
    setMinimumWidth(220);
    setMaximumWidth(260);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 14, 12, 14);
    layout->setSpacing(4);

    auto* libraryTitle = new QLabel(tr("LIBRARY"), this);
    libraryTitle->setStyleSheet(
        QStringLiteral("color: %1; font-size: 8pt; font-weight: 600; letter-spacing: 1px; "
                       "padding: 0 8px 4px 8px;")
            .arg(t.secondaryText.name()));
    layout->addWidget(libraryTitle);

    m_library = makeList(this, tr("Library categories"));
    m_library->setItemDelegate(new CountDelegate(m_library));
    auto* all = new QListWidgetItem(icon(Glyph::all, t.secondaryText, t.onAccent), tr("All Files"),
                                    m_library);
    all->setData(kCategoryRole, -1);
    for (const FileCategory category : allFileCategories()) {
        if (category == FileCategory::unknown)
            continue;
        const QString name = qs(rawValue(category));
        auto* item = new QListWidgetItem(icon(categoryGlyph(name), categoryColor(name), t.onAccent),
                                         name + "s", m_library);
        item->setData(kCategoryRole, static_cast<int>(category));
    }
    fitHeight(m_library);
    layout->addWidget(m_library);
    layout->addSpacing(10);

    layout->addWidget(sectionHeader(tr("Recents"), kRecentsSection));
    m_recents = makeList(this, tr("Recent conversions"));
    m_recents->setToolTip(tr("Click to add the file again with the same target"));
    layout->addWidget(m_recents);
    m_noRecents = new QLabel(tr("Converted files appear here."), this);
    m_noRecents->setStyleSheet(
        QStringLiteral("color: %1; padding: 2px 10px;").arg(t.secondaryText.name()));
    layout->addWidget(m_noRecents);
    layout->addSpacing(10);

    layout->addWidget(sectionHeader(tr("Statistics"), kStatisticsSection));
    m_stats = new QWidget(this);
    auto* stats = new QVBoxLayout(m_stats);
    stats->setContentsMargins(10, 2, 10, 2);
    stats->setSpacing(2);
    m_statsConversions = new QLabel(m_stats);
    m_statsSaved = new QLabel(m_stats);
    for (QLabel* label : {m_statsConversions, m_statsSaved}) {
        label->setTextFormat(Qt::RichText);
        stats->addWidget(label);
    }
    layout->addWidget(m_stats);
    layout->addStretch(1);

    connect(m_library, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row < 0)
            return;
        const int category = m_library->item(row)->data(kCategoryRole).toInt();
        m_state.setLibraryFilter(category < 0 ? std::nullopt
                                              : std::optional(static_cast<FileCategory>(category)));
    });
    connect(m_recents, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        const auto at = static_cast<std::size_t>(item->data(kRecentRole).toInt());
        if (at < m_state.recents().size())
            m_state.replayRecent(m_state.recents()[at]);
    });
    connect(m_recents, &QListWidget::itemClicked, m_recents, &QListWidget::itemActivated);

    connect(&m_state, &ConversionViewModel::jobsChanged, this, &Sidebar::refreshCounts);
    connect(&m_state, &ConversionViewModel::filterChanged, this, &Sidebar::refreshCounts);
    connect(&m_state, &ConversionViewModel::recentsChanged, this, &Sidebar::refreshRecents);
    connect(&m_state, &ConversionViewModel::statisticsChanged, this, &Sidebar::refreshStatistics);
    connect(&m_state, &ConversionViewModel::settingsChanged, this, &Sidebar::refreshSections);
    refreshCounts();
    refreshRecents();
    refreshStatistics();
    refreshSections();
}

QToolButton* Sidebar::sectionHeader(const QString& title, const QString& key) {
    const Theme& t = currentTheme();
    auto* header = new QToolButton(this);
    header->setText(title.toUpper());
    header->setAccessibleName(tr("%1 section").arg(title));
    header->setCheckable(true);
    header->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    header->setIconSize(QSize(12, 12));
    header->setStyleSheet(
        QStringLiteral("QToolButton { color: %1; font-size: 8pt; font-weight: 600; border: none; "
                       "padding: 2px 4px; text-align: left; background: transparent; }")
            .arg(t.secondaryText.name()));
    header->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(header, &QToolButton::clicked, this,
            [this, key] { m_state.toggleSection(key.toStdString()); });
    m_headers.emplace_back(key, header);
    return header;
}

void Sidebar::refreshSections() {
    const Theme& t = currentTheme();
    const auto& open = m_state.expandedSections();
    for (const auto& [key, header] : m_headers) {
        const bool expanded = open.count(key.toStdString()) > 0;
        header->setChecked(expanded);
        QTransform turn;
        header->setIcon(QIcon(icon(Glyph::chevron, t.secondaryText)
                                  .pixmap(QSize(12, 12), 2.0)
                                  .transformed(turn.rotate(expanded ? 0 : -90))));
        if (key == kRecentsSection) {
            m_recents->setVisible(expanded && !m_state.recents().empty());
            m_noRecents->setVisible(expanded && m_state.recents().empty());
        } else if (key == kStatisticsSection) {
            m_stats->setVisible(expanded);
        }
    }
}

void Sidebar::refreshCounts() {
    const auto filter = m_state.libraryFilter();
    int total = 0;
    for (int row = 0; row < m_library->count(); ++row) {
        QListWidgetItem* item = m_library->item(row);
        const int category = item->data(kCategoryRole).toInt();
        if (category < 0)
            continue;
        const int count = m_state.count(static_cast<FileCategory>(category));
        total += count;
        const QString name = qs(rawValue(static_cast<FileCategory>(category))) + "s";
        item->setData(kCountRole, count);
        item->setData(Qt::AccessibleTextRole,
                      name + ", " + (count == 1 ? tr("1 file") : tr("%1 files").arg(count)));
        if (filter && static_cast<int>(*filter) == category)
            m_library->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    }
    QListWidgetItem* all = m_library->item(0);
    all->setData(kCountRole, total);
    all->setData(Qt::AccessibleTextRole,
                 tr("All files") + ", " + (total == 1 ? tr("1 file") : tr("%1 files").arg(total)));
    if (!filter) {
        const QSignalBlocker block(m_library);
        m_library->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
    }
}

void Sidebar::refreshRecents() {
    const Theme& t = currentTheme();
    m_recents->clear();
    int index = 0;
    for (const auto& recent : m_state.recents()) {
        const QString name = QFileInfo(QString::fromStdString(recent.sourcePath)).fileName();
        const auto target = formatFromRawValue(recent.targetFormatRaw);
        const QString label =
            name + QString::fromUtf8(" \u2192 ") +
            (target ? qs(displayName(*target)) : QString::fromStdString(recent.targetFormatRaw));
        auto* item =
            new QListWidgetItem(icon(Glyph::recent, t.secondaryText),
                                fontMetrics().elidedText(label, Qt::ElideMiddle, 180), m_recents);
        item->setToolTip(QString::fromStdString(recent.sourcePath));
        item->setData(Qt::AccessibleTextRole, tr("Convert %1 again").arg(label));
        item->setData(kRecentRole, index++);
    }
    fitHeight(m_recents);
    refreshSections();
}

void Sidebar::refreshStatistics() {
    const Theme& t = currentTheme();
    const QString row = QStringLiteral("<span style='color:%1'>%2</span>&nbsp;&nbsp;"
                                       "<span style='color:%3; font-weight:600'>%4</span>");
    m_statsConversions->setText(row.arg(t.secondaryText.name(), tr("Files converted"),
                                        t.text.name(),
                                        QString::number(m_state.statsTotalConversions())));
    m_statsSaved->setText(
        row.arg(t.secondaryText.name(), tr("Space saved"), t.text.name(),
                QString::fromStdString(formatByteCount(m_state.statsBytesSaved()))));
}

} // namespace kv::ui
