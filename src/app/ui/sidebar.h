// The sidebar: the library's categories with their counts, recent conversions and statistics.
#pragma once

#include <QWidget>

class QLabel;
class QListWidget;
class QToolButton;

namespace kv {
class ConversionViewModel;
}

namespace kv::ui {

class Sidebar final : public QWidget {
    Q_OBJECT
  public:
    explicit Sidebar(ConversionViewModel& state, QWidget* parent = nullptr);

    void refreshCounts();
    void refreshRecents();
    void refreshStatistics();
    void refreshSections();

  private:
    QToolButton* sectionHeader(const QString& title, const QString& key);

    ConversionViewModel& m_state;
    QListWidget* m_library = nullptr;
    QListWidget* m_recents = nullptr;
    QLabel* m_noRecents = nullptr;
    QWidget* m_stats = nullptr;
    QLabel* m_statsConversions = nullptr;
    QLabel* m_statsSaved = nullptr;
    std::vector<std::pair<QString, QToolButton*>> m_headers;
};

} // namespace kv::ui
