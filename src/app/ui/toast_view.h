// The transient message floating above the bottom of the queue.
#pragma once

#include "app/state/app_types.h"

#include <QWidget>
#include <optional>

class QLabel;

namespace kv::ui {

class ToastView final : public QWidget {
    Q_OBJECT
  public:
    explicit ToastView(QWidget* parent);

    /// Shows `toast`, or hides the view when absent; the state decides how long it stays.
    void show(const std::optional<Toast>& toast);
    /// Keeps the view centred near the bottom of its parent.
    void reposition();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QLabel* m_icon = nullptr;
    QLabel* m_title = nullptr;
    QLabel* m_detail = nullptr;
    Toast::Kind m_kind = Toast::Kind::success;
};

} // namespace kv::ui
