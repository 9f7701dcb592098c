// The main window: sidebar, toolbar, the queue, the log panel, toasts, menus and drops.
#pragma once

#include "base/uuid.h"

#include <QMainWindow>
#include <optional>

class QLabel;
class QLineEdit;
class QListView;
class QSplitter;
class QStackedWidget;
class QToolButton;

namespace kv {
class ConversionViewModel;
class FolderAccess;
} // namespace kv

namespace kv::ui {

class CompressSheet;
class LogPanel;
class QueueModel;
class Sidebar;
class ToastView;

class MainWindow final : public QMainWindow {
    Q_OBJECT
  public:
    MainWindow(ConversionViewModel& state, FolderAccess& grants, QWidget* parent = nullptr);
    ~MainWindow() override;

    /// Applies the state's appearance and accent and rebuilds every view in those colours.
    void applyAppearance();

    // For tests and screenshots: the parts as they are now.
    QListView* queueView() const { return m_queue; }
    QueueModel* queueModel() const { return m_model; }
    LogPanel* logPanel() const { return m_logPanel; }
    QToolButton* convertButton() const { return m_convert; }
    QToolButton* stopButton() const { return m_stop; }
    ToastView* toastView() const { return m_toast; }
    /// Opens the compress sheet of a job (non-modal when `modal` is false) and returns it.
    CompressSheet* openCompressSheet(const Uuid& id, bool modal = true);
    /// Opens the settings dialog and returns it (shown non-modal when `modal` is false).
    QWidget* openSettings(bool modal = true);

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    void buildViews();
    void refreshActions();
    void refreshStatus();
    void refreshLogPanel();
    void syncSelectionFromState();
    void syncSelectionToState();
    void showTargetMenu(const QModelIndex& index, const QPoint& globalPos);
    void showRowMenu(const QPoint& pos);
    void addFilesDialog();
    void addFolderDialog();
    void showHelp();
    std::optional<Uuid> currentJobId() const;

    ConversionViewModel& m_state;
    FolderAccess& m_grants;
    QueueModel* m_model = nullptr;
    Sidebar* m_sidebar = nullptr;
    QListView* m_queue = nullptr;
    QStackedWidget* m_queueStack = nullptr;
    QSplitter* m_split = nullptr;
    LogPanel* m_logPanel = nullptr;
    ToastView* m_toast = nullptr;
    QWidget* m_dropHighlight = nullptr;
    QLineEdit* m_search = nullptr;
    QToolButton* m_convert = nullptr;
    QToolButton* m_stop = nullptr;
    QToolButton* m_retry = nullptr;
    QAction* m_retrySlot = nullptr; // the toolbar places of retry and stop, hidden when idle
    QAction* m_stopSlot = nullptr;
    QToolButton* m_outputFolder = nullptr;
    QToolButton* m_logButton = nullptr;
    QLabel* m_statusCounts = nullptr;
    QLabel* m_statusFolder = nullptr;
    QAction* m_convertAction = nullptr;
    QAction* m_convertSelectedAction = nullptr;
    QAction* m_retryAction = nullptr;
    QAction* m_stopAction = nullptr;
    QAction* m_removeAction = nullptr;
    QAction* m_logAction = nullptr;
    bool m_syncingSelection = false;
    bool m_rebuilding = false;
};

} // namespace kv::ui
