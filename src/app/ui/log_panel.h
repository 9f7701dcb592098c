// The conversion log panel: All/Errors/Warnings filters, search, copy, clear and close.
#pragma once

#include <QWidget>

class QButtonGroup;
class QLabel;
class QLineEdit;
class QListWidget;
class QStackedWidget;

namespace kv {
class ConversionViewModel;
}

namespace kv::ui {

class LogPanel final : public QWidget {
    Q_OBJECT
  public:
    explicit LogPanel(ConversionViewModel& state, QWidget* parent = nullptr);

    /// Reads the log again and shows the entries that pass the filter, scrolled to the last.
    void refresh();
    /// Number of rows shown now.
    int visibleCount() const;

  signals:
    void closeRequested();

  private:
    void rebuild();

    ConversionViewModel& m_state;
    QButtonGroup* m_buttons = nullptr;
    QLineEdit* m_search = nullptr;
    QListWidget* m_list = nullptr;
    QLabel* m_empty = nullptr;
    QStackedWidget* m_stack = nullptr;
};

} // namespace kv::ui
