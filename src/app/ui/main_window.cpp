// The main window: sidebar, toolbar, the queue, the log panel, toasts, menus and drops.
#include "app/ui/main_window.h"

#include "app/state/conversion_view_model.h"
#include "app/ui/compress_sheet.h"
#include "app/ui/icons.h"
#include "app/ui/log_panel.h"
#include "app/ui/queue_delegate.h"
#include "app/ui/queue_model.h"
#include "app/ui/queue_roles.h"
#include "app/ui/settings_dialog.h"
#include "app/ui/sidebar.h"
#include "app/ui/theme.h"
#include "app/ui/toast_view.h"
#include "compress/compressor.h"
#include "formats/format_capabilities.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace kv::ui {

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::vector<std::filesystem::path> localPaths(const QMimeData* mime) {
    std::vector<std::filesystem::path> paths;
    if (mime == nullptr)
        return paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile())
            paths.emplace_back(url.toLocalFile().toStdString());
    return paths;
}

// The picture and words of an empty queue, which is also the biggest drop target.
QWidget* emptyQueue(QWidget* parent, QAction* addFiles) {
    const Theme& t = currentTheme();
    auto* page = new QWidget(parent);
    page->setObjectName("emptyQueue");
    auto* layout = new QVBoxLayout(page);
    layout->setAlignment(Qt::AlignCenter);
    layout->setSpacing(10);
    auto* picture = new QLabel(page);
    picture->setPixmap(icon(Glyph::convert, t.accent).pixmap(QSize(56, 56), 2.0));
    picture->setAlignment(Qt::AlignCenter);
    picture->setFixedSize(96, 96);
    QColor ring = t.accent;
    ring.setAlphaF(0.12f);
    picture->setStyleSheet(QStringLiteral("background: rgba(%1,%2,%3,%4); border-radius: 48px;")
                               .arg(ring.red())
                               .arg(ring.green())
                               .arg(ring.blue())
                               .arg(ring.alphaF()));
    auto* title = new QLabel(QObject::tr("Drop files to convert"), page);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() + 5);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    auto* detail = new QLabel(QObject::tr("Images, video, audio, documents, archives and fonts.\n"
                                          "Everything stays on this computer."),
                              page);
    detail->setAlignment(Qt::AlignCenter);
    detail->setStyleSheet(QStringLiteral("color: %1;").arg(t.secondaryText.name()));
    auto* button = new QPushButton(QObject::tr("Add Files…"), page);
    button->setObjectName("primary");
    button->setCursor(Qt::PointingHandCursor);
    QObject::connect(button, &QPushButton::clicked, addFiles, &QAction::trigger);
    layout->addWidget(picture, 0, Qt::AlignHCenter);
    layout->addSpacing(6);
    layout->addWidget(title);
    layout->addWidget(detail);
    layout->addSpacing(8);
    layout->addWidget(button, 0, Qt::AlignHCenter);
    return page;
}

} // namespace

MainWindow::MainWindow(ConversionViewModel& state, FolderAccess& grants, QWidget* parent)
    : QMainWindow(parent), m_state(state), m_grants(grants) {
    setObjectName("mainWindow");
    setWindowTitle("Kelvane");
    setWindowIcon(appIcon());
    setAccessibleName("Kelvane");
    setAcceptDrops(true);
    resize(1120, 720);
    setMinimumSize(760, 480);
    buildMenus();
    applyAppearance();

    connect(&m_state, &ConversionViewModel::jobsChanged, this, [this] {
        refreshActions();
        refreshStatus();
    });
    connect(&m_state, &ConversionViewModel::jobUpdated, this, [this] {
        refreshActions();
        refreshStatus();
    });
    connect(&m_state, &ConversionViewModel::processingChanged, this, &MainWindow::refreshActions);
    connect(&m_state, &ConversionViewModel::selectionChanged, this, [this] {
        syncSelectionFromState();
        refreshActions();
    });
    connect(&m_state, &ConversionViewModel::outputDirectoryChanged, this,
            &MainWindow::refreshStatus);
    connect(&m_state, &ConversionViewModel::toastChanged, this,
            [this] { m_toast->show(m_state.toast()); });
    connect(&m_state, &ConversionViewModel::uiFlagsChanged, this, [this] {
        refreshLogPanel();
        m_dropHighlight->setVisible(m_state.isDragTargeted());
        if (m_state.isFullScreen() != isFullScreen())
            m_state.isFullScreen() ? showFullScreen() : showNormal();
        if (m_sidebar->isHidden() != m_state.sidebarCollapsed())
            m_sidebar->setVisible(!m_state.sidebarCollapsed());
    });
    connect(&m_state, &ConversionViewModel::logChanged, this, [this] {
        if (m_logPanel->isVisible())
            m_logPanel->refresh();
    });
    connect(&m_state, &ConversionViewModel::colorSchemeChanged, this, &MainWindow::applyAppearance);
    connect(&m_state, &ConversionViewModel::settingsChanged, this, [this] {
        const Theme& t = currentTheme();
        const QColor accent =
            accentColor(qs(rawValue(m_state.accent())), QColor::fromRgb(m_state.customAccent()));
        const bool dark = m_state.resolvedColorScheme() == ColorScheme::dark;
        if (accent != t.accent || dark != t.dark || m_state.backgroundTint() ||
            t.window != Theme::make(dark, accent).window)
            applyAppearance();
        refreshStatus();
    });
}

MainWindow::~MainWindow() = default;

void MainWindow::buildMenus() {
    auto action = [this](const QString& text, const QKeySequence& keys, auto slot) {
        auto* a = new QAction(text, this);
        if (!keys.isEmpty())
            a->setShortcut(keys);
        connect(a, &QAction::triggered, this, slot);
        addAction(a);
        return a;
    };
    QMenu* file = menuBar()->addMenu(tr("&File"));
    auto* addFiles = action(tr("Add Files…"), QKeySequence::Open, [this] { addFilesDialog(); });
    addFiles->setObjectName("addFiles");
    file->addAction(addFiles);
    file->addAction(
        action(tr("Add Folder…"), QKeySequence("Ctrl+Shift+O"), [this] { addFolderDialog(); }));
    file->addSeparator();
    file->addAction(action(tr("Choose Output Folder…"), QKeySequence("Ctrl+Shift+D"),
                           [this] { m_state.chooseOutputDirectory(); }));
    file->addSeparator();
    file->addAction(action(tr("Quit"), QKeySequence::Quit, [this] { close(); }));

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    edit->addAction(
        action(tr("Select All"), QKeySequence::SelectAll, [this] { m_state.selectAllVisible(); }));
    m_removeAction =
        action(tr("Remove Selected"), QKeySequence::Delete, [this] { m_state.removeSelected(); });
    edit->addAction(m_removeAction);
    edit->addAction(action(tr("Duplicate"), QKeySequence("Ctrl+D"), [this] {
        if (const auto id = currentJobId())
            m_state.duplicateJob(*id);
    }));
    edit->addSeparator();
    edit->addAction(action(tr("Clear Completed"), QKeySequence("Ctrl+Shift+K"),
                           [this] { m_state.clearCompleted(); }));
    edit->addAction(action(tr("Clear All"), QKeySequence(), [this] { m_state.clearAll(); }));
    edit->addSeparator();
    auto* settings = action(tr("Settings…"), QKeySequence("Ctrl+,"), [this] { openSettings(); });
    settings->setMenuRole(QAction::PreferencesRole);
    edit->addAction(settings);

    QMenu* convert = menuBar()->addMenu(tr("&Convert"));
    m_convertAction =
        action(tr("Convert All"), QKeySequence("Ctrl+Return"), [this] { m_state.convertAll(); });
    m_convertSelectedAction = action(tr("Convert Selected"), QKeySequence("Ctrl+Shift+Return"),
                                     [this] { m_state.convertSelected(); });
    m_retryAction =
        action(tr("Retry Failed"), QKeySequence("Ctrl+R"), [this] { m_state.retryAllFailed(); });
    m_stopAction = action(tr("Stop"), QKeySequence("Ctrl+."), [this] { m_state.cancel(); });
    convert->addAction(m_convertAction);
    convert->addAction(m_convertSelectedAction);
    convert->addAction(m_retryAction);
    convert->addAction(m_stopAction);
    convert->addSeparator();
    convert->addAction(action(tr("Compress…"), QKeySequence("Ctrl+K"), [this] {
        if (const auto id = currentJobId())
            openCompressSheet(*id);
    }));

    QMenu* view = menuBar()->addMenu(tr("&View"));
    m_logAction =
        action(tr("Conversion Log"), QKeySequence("Ctrl+L"), [this] { m_state.toggleLogPanel(); });
    m_logAction->setCheckable(true);
    view->addAction(m_logAction);
    view->addAction(action(tr("Sidebar"), QKeySequence("Ctrl+Shift+S"),
                           [this] { m_state.setSidebarCollapsed(!m_state.sidebarCollapsed()); }));
    view->addAction(action(tr("Find"), QKeySequence::Find, [this] {
        m_search->setFocus();
        m_search->selectAll();
    }));
    view->addAction(action(tr("Full Screen"), QKeySequence::FullScreen,
                           [this] { m_state.setFullScreen(!m_state.isFullScreen()); }));

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(action(tr("Kelvane Help"), QKeySequence::HelpContents, [this] { showHelp(); }));
    help->addAction(action(tr("About Kelvane"), QKeySequence(), [this] {
        QMessageBox::about(this, tr("About Kelvane"),
                           tr("<h3>Kelvane</h3><p>Converts images, video, audio, documents, "
                              "archives and fonts on this computer. Nothing is uploaded; a source "
                              "file is never changed.</p>"));
    }));
}

void MainWindow::applyAppearance() {
    const bool dark = m_state.resolvedColorScheme() == ColorScheme::dark;
    const QColor accent =
        accentColor(qs(rawValue(m_state.accent())), QColor::fromRgb(m_state.customAccent()));
    applyTheme(*qobject_cast<QApplication*>(QApplication::instance()),
               Theme::make(dark, accent,
                           m_state.backgroundTint() ? m_state.backgroundTintStrength() : 0.0));
    buildViews();
}

void MainWindow::buildViews() {
    m_rebuilding = true;
    const Theme& t = currentTheme();
    for (QToolBar* old : findChildren<QToolBar*>())
        delete old;
    if (QWidget* old = centralWidget())
        old->deleteLater();

    // Action icons in this theme's colours.
    auto* addFiles = findChild<QAction*>("addFiles");
    addFiles->setIcon(icon(Glyph::add, t.text));
    m_convertAction->setIcon(icon(Glyph::convert, t.onAccent));
    m_retryAction->setIcon(icon(Glyph::retry, t.text));
    m_stopAction->setIcon(icon(Glyph::stop, t.text));
    m_logAction->setIcon(icon(Glyph::log, t.text));

    auto* bar = new QToolBar(tr("Toolbar"), this);
    bar->setObjectName("toolbar");
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(18, 18));
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addToolBar(Qt::TopToolBarArea, bar);
    auto button = [bar](QAction* action, const QString& accessible, QAction** slot = nullptr) {
        auto* b = new QToolButton(bar);
        b->setDefaultAction(action);
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setAccessibleName(accessible);
        b->setToolTip(action->text() +
                      (action->shortcut().isEmpty()
                           ? QString()
                           : " (" + action->shortcut().toString(QKeySequence::NativeText) + ")"));
        QAction* placed = bar->addWidget(b);
        if (slot)
            *slot = placed;
        return b;
    };
    button(addFiles, tr("Add files"));
    bar->addSeparator();
    m_outputFolder = new QToolButton(bar);
    m_outputFolder->setIcon(icon(Glyph::folder, t.text));
    m_outputFolder->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_outputFolder->setAccessibleName(tr("Output folder"));
    connect(m_outputFolder, &QToolButton::clicked, this,
            [this] { m_state.chooseOutputDirectory(); });
    bar->addWidget(m_outputFolder);

    auto* spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);

    m_search = new QLineEdit(bar);
    m_search->setPlaceholderText(tr("Search files"));
    m_search->setAccessibleName(tr("Search files"));
    m_search->setClearButtonEnabled(true);
    m_search->addAction(icon(Glyph::search, t.secondaryText), QLineEdit::LeadingPosition);
    m_search->setFixedWidth(200);
    m_search->setText(QString::fromStdString(m_state.searchQuery()));
    connect(m_search, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_state.setSearchQuery(text.toStdString()); });
    bar->addWidget(m_search);
    bar->addSeparator();

    m_logButton = button(m_logAction, tr("Show conversion log"));
    m_logButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    auto* settingsButton = new QToolButton(bar);
    settingsButton->setIcon(icon(Glyph::settings, t.text));
    settingsButton->setToolTip(tr("Settings (Ctrl+,)"));
    settingsButton->setAccessibleName(tr("Settings"));
    connect(settingsButton, &QToolButton::clicked, this, [this] { openSettings(); });
    bar->addWidget(settingsButton);
    m_retry = button(m_retryAction, tr("Retry failed conversions"), &m_retrySlot);
    m_stop = button(m_stopAction, tr("Stop converting"), &m_stopSlot);
    m_convert = button(m_convertAction, tr("Convert all"));
    m_convert->setObjectName("primaryAction");
    m_convert->setCursor(Qt::PointingHandCursor);

    // Sidebar | (queue / log panel).
    auto* central = new QWidget(this);
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    m_sidebar = new Sidebar(m_state, central);
    m_sidebar->setVisible(!m_state.sidebarCollapsed());
    row->addWidget(m_sidebar);
    auto* divider = new QWidget(central);
    divider->setFixedWidth(1);
    divider->setStyleSheet(QStringLiteral("background: %1;").arg(t.border.name()));
    row->addWidget(divider);

    m_split = new QSplitter(Qt::Vertical, central);
    m_split->setHandleWidth(1);
    m_split->setChildrenCollapsible(false);
    row->addWidget(m_split, 1);

    auto* queueArea = new QWidget(m_split);
    auto* queueLayout = new QVBoxLayout(queueArea);
    queueLayout->setContentsMargins(8, 10, 8, 6);
    m_queueStack = new QStackedWidget(queueArea);
    queueLayout->addWidget(m_queueStack);

    m_model = new QueueModel(m_state, central);
    m_queue = new QListView(m_queueStack);
    m_queue->setObjectName("queue");
    m_queue->setAccessibleName(tr("Conversion queue"));
    m_queue->setModel(m_model);
    auto* delegate = new QueueDelegate(m_queue);
    m_queue->setItemDelegate(delegate);
    m_queue->setUniformItemSizes(true);
    m_queue->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_queue->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_queue->setFrameShape(QFrame::NoFrame);
    m_queue->setMouseTracking(true);
    m_queue->setContextMenuPolicy(Qt::CustomContextMenu);
    m_queue->viewport()->setAutoFillBackground(false);
    m_queue->setStyleSheet("QListView { background: transparent; }");
    m_queue->viewport()->installEventFilter(this);
    connect(delegate, &QueueDelegate::targetMenuRequested, this, &MainWindow::showTargetMenu);
    connect(m_queue, &QListView::customContextMenuRequested, this, &MainWindow::showRowMenu);
    connect(m_queue->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::syncSelectionToState);
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        m_queueStack->setCurrentIndex(m_model->rowCount() > 0 || !m_state.jobs().empty() ? 0 : 1);
        syncSelectionFromState();
    });
    m_queueStack->addWidget(m_queue);
    m_queueStack->addWidget(emptyQueue(m_queueStack, addFiles));
    m_queueStack->setCurrentIndex(m_state.jobs().empty() ? 1 : 0);

    m_logPanel = new LogPanel(m_state, m_split);
    connect(m_logPanel, &LogPanel::closeRequested, this, [this] { m_state.hideLogPanel(); });
    m_split->addWidget(queueArea);
    m_split->addWidget(m_logPanel);
    m_split->setStretchFactor(0, 3);
    m_split->setStretchFactor(1, 2);
    setCentralWidget(central);

    m_toast = new ToastView(queueArea);
    m_dropHighlight = new QWidget(queueArea);
    m_dropHighlight->setAttribute(Qt::WA_TransparentForMouseEvents);
    QColor wash = t.accent;
    wash.setAlphaF(0.08f);
    m_dropHighlight->setStyleSheet(
        QStringLiteral("background: rgba(%1,%2,%3,%4); border: 2px dashed %5; border-radius: 12px;")
            .arg(wash.red())
            .arg(wash.green())
            .arg(wash.blue())
            .arg(wash.alphaF())
            .arg(t.accent.name()));
    m_dropHighlight->setVisible(m_state.isDragTargeted());
    queueArea->installEventFilter(this);

    if (!statusBar()->findChild<QLabel*>("statusCounts")) {
        m_statusCounts = new QLabel(statusBar());
        m_statusCounts->setObjectName("statusCounts");
        m_statusFolder = new QLabel(statusBar());
        statusBar()->addWidget(m_statusCounts, 1);
        statusBar()->addPermanentWidget(m_statusFolder);
        statusBar()->setSizeGripEnabled(false);
    }

    m_rebuilding = false;
    refreshLogPanel();
    refreshActions();
    refreshStatus();
    syncSelectionFromState();
    m_toast->show(m_state.toast());
}

void MainWindow::refreshActions() {
    const bool processing = m_state.isProcessing();
    m_convertAction->setEnabled(!processing && m_state.canConvert());
    m_convertSelectedAction->setEnabled(!processing && !m_state.selection().empty());
    m_retryAction->setEnabled(!processing && m_state.failedCount() > 0);
    m_stopAction->setEnabled(processing);
    m_removeAction->setEnabled(!m_state.selection().empty());
    if (m_retrySlot)
        m_retrySlot->setVisible(m_state.failedCount() > 0);
    if (m_stopSlot)
        m_stopSlot->setVisible(processing);
    if (m_outputFolder) {
        m_outputFolder->setText(QString::fromStdString(m_state.outputDirName()));
        m_outputFolder->setToolTip(
            m_state.hasChosenOutputLocation()
                ? tr("Saving to %1").arg(QString::fromStdString(m_state.outputDirectory().string()))
                : tr("Choose where converted files are saved"));
    }
}

void MainWindow::refreshStatus() {
    if (m_statusCounts == nullptr)
        return;
    const auto total = static_cast<int>(m_state.jobs().size());
    QString text = total == 1 ? tr("1 file") : tr("%1 files").arg(total);
    if (const int done = m_state.completedCount(); done > 0)
        text += QString::fromUtf8(" \u00b7 ") + tr("%1 converted").arg(done);
    if (const int failed = m_state.failedCount(); failed > 0)
        text += QString::fromUtf8(" \u00b7 ") + tr("%1 failed").arg(failed);
    m_statusCounts->setText(text);
    m_statusFolder->setText(
        m_state.hasChosenOutputLocation()
            ? tr("Saving to %1")
                  .arg(QString::fromStdString(m_state.outputDirectory().filename().string()))
            : tr("No output folder chosen yet"));
    refreshActions();
    if (m_queueStack)
        m_queueStack->setCurrentIndex(m_state.jobs().empty() ? 1 : 0);
}

void MainWindow::refreshLogPanel() {
    const bool show = m_state.showLogPanel();
    m_logAction->setChecked(show);
    if (m_logPanel->isHidden() == show) {
        m_logPanel->setVisible(show);
        if (show)
            m_logPanel->refresh();
    }
}

void MainWindow::syncSelectionFromState() {
    if (m_syncingSelection || m_queue == nullptr)
        return;
    m_syncingSelection = true;
    QItemSelection selection;
    for (const Uuid& id : m_state.selection()) {
        const int row = m_model->rowOf(id);
        if (row >= 0)
            selection.select(m_model->index(row), m_model->index(row));
    }
    m_queue->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    m_syncingSelection = false;
}

void MainWindow::syncSelectionToState() {
    if (m_syncingSelection || m_rebuilding)
        return;
    m_syncingSelection = true;
    std::set<Uuid> wanted;
    for (const QModelIndex& index : m_queue->selectionModel()->selectedIndexes())
        if (const ConversionJob* job = m_model->jobAt(index.row()))
            wanted.insert(job->id);
    const std::set<Uuid> current = m_state.selection();
    for (const Uuid& id : current)
        if (!wanted.count(id))
            m_state.toggleSelection(id);
    for (const Uuid& id : wanted)
        if (!current.count(id))
            m_state.toggleSelection(id);
    m_syncingSelection = false;
    refreshActions();
}

std::optional<Uuid> MainWindow::currentJobId() const {
    if (m_queue == nullptr)
        return std::nullopt;
    const QModelIndex index = m_queue->currentIndex();
    if (const ConversionJob* job = index.isValid() ? m_model->jobAt(index.row()) : nullptr)
        return job->id;
    if (!m_state.selection().empty())
        return *m_state.selection().begin();
    return std::nullopt;
}

void MainWindow::showTargetMenu(const QModelIndex& index, const QPoint& globalPos) {
    const ConversionJob* job = m_model->jobAt(index.row());
    if (job == nullptr)
        return;
    const Uuid id = job->id;
    QMenu menu(this);
    menu.setAccessibleName(tr("Target format"));
    for (const SupportedFormat target : possibleConversions(job->detectedFormat)) {
        if (!FormatCapabilities::canProduce(target))
            continue;
        QAction* choice = menu.addAction(qs(displayName(target)));
        choice->setCheckable(true);
        choice->setChecked(job->targetFormat == target);
        connect(choice, &QAction::triggered, this,
                [this, id, target] { m_state.setTargetFormat(target, id); });
    }
    menu.exec(globalPos);
}

void MainWindow::showRowMenu(const QPoint& pos) {
    const QModelIndex index = m_queue->indexAt(pos);
    const ConversionJob* job = index.isValid() ? m_model->jobAt(index.row()) : nullptr;
    if (job == nullptr)
        return;
    const Uuid id = job->id;
    const Theme& t = currentTheme();
    const bool busy = job->status == ConversionStatus::converting;
    QMenu menu(this);
    QAction* convert = menu.addAction(icon(Glyph::convert, t.text), tr("Convert This File"), this,
                                      [this, id] { m_state.convertSingleJob(id); });
    convert->setEnabled(
        !busy && job->targetFormat &&
        (job->status == ConversionStatus::pending || job->status == ConversionStatus::failed));
    QAction* compress = menu.addAction(icon(Glyph::compress, t.text), tr("Compress…"), this,
                                       [this, id] { openCompressSheet(id); });
    compress->setEnabled(!busy && Compressor::compressionTarget(job->detectedFormat).has_value());
    menu.addAction(icon(Glyph::add, t.text), tr("Duplicate"), this,
                   [this, id] { m_state.duplicateJob(id); });
    menu.addAction(icon(Glyph::folder, t.text), tr("Output Folder for This File…"), this,
                   [this, id] { m_state.pickOutputDirForJob(id); });
    if (job->outputURL) {
        const QString output = QString::fromStdString(job->outputURL->parent_path().string());
        menu.addAction(tr("Show Output"), this,
                       [output] { QDesktopServices::openUrl(QUrl::fromLocalFile(output)); });
    }
    menu.addSeparator();
    QAction* remove = menu.addAction(icon(Glyph::trash, t.text), tr("Remove from Queue"), this,
                                     [this, id] { m_state.removeJob(id); });
    remove->setEnabled(!busy);
    menu.exec(m_queue->viewport()->mapToGlobal(pos));
}

CompressSheet* MainWindow::openCompressSheet(const Uuid& id, bool modal) {
    auto* sheet = new CompressSheet(m_state, id, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    if (modal)
        sheet->open();
    else
        sheet->show();
    return sheet;
}

QWidget* MainWindow::openSettings(bool modal) {
    auto* dialog = new SettingsDialog(m_state, m_grants, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_state.setShowSettingsPopover(true);
    connect(dialog, &QDialog::finished, this, [this] { m_state.setShowSettingsPopover(false); });
    if (modal)
        dialog->open();
    else
        dialog->show();
    return dialog;
}

void MainWindow::addFilesDialog() {
    const QStringList files = QFileDialog::getOpenFileNames(this, tr("Add Files"));
    std::vector<std::filesystem::path> paths;
    for (const QString& file : files)
        paths.emplace_back(file.toStdString());
    if (!paths.empty())
        m_state.addFiles(paths);
}

void MainWindow::addFolderDialog() {
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Add Folder"));
    if (!folder.isEmpty())
        m_state.addFiles({std::filesystem::path(folder.toStdString())});
}

void MainWindow::showHelp() {
    QMessageBox help(this);
    help.setWindowTitle(tr("Kelvane Help"));
    help.setIconPixmap(appIcon().pixmap(64, 64));
    help.setText(tr("<b>Convert files in three steps</b>"));
    help.setInformativeText(
        tr("<p>1. Drop files or folders on the window, or press Ctrl+O.<br>"
           "2. Pick a target for each row with its format button.<br>"
           "3. Press Convert (Ctrl+Return).</p>"
           "<p><b>Keys</b><br>Ctrl+O add files · Ctrl+Return convert all · Delete remove "
           "selected · Ctrl+K compress · Ctrl+L log · Ctrl+, settings · Ctrl+F search</p>"
           "<p>Right-click a row to convert it alone, compress it, or send it to another "
           "folder.</p>"));
    help.exec();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!localPaths(event->mimeData()).empty()) {
        event->acceptProposedAction();
        m_state.setDragTargeted(true);
    }
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (!localPaths(event->mimeData()).empty())
        event->acceptProposedAction();
}

void MainWindow::dragLeaveEvent(QDragLeaveEvent*) {
    m_state.setDragTargeted(false);
}

void MainWindow::dropEvent(QDropEvent* event) {
    m_state.setDragTargeted(false);
    const auto paths = localPaths(event->mimeData());
    if (paths.empty())
        return;
    event->acceptProposedAction();
    m_state.addFiles(paths);
}

void MainWindow::changeEvent(QEvent* event) {
    // The desktop switched between light and dark.
    if (event->type() == QEvent::ThemeChange || event->type() == QEvent::ApplicationPaletteChange) {
        if (!m_rebuilding && event->type() == QEvent::ThemeChange)
            m_state.updateResolvedScheme(desktopPrefersDark() ? ColorScheme::dark
                                                              : ColorScheme::light);
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (m_toast)
        m_toast->reposition();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && m_toast && watched == m_toast->parentWidget()) {
        m_toast->reposition();
        m_dropHighlight->setGeometry(m_toast->parentWidget()->rect().adjusted(6, 6, -6, -6));
    }
    // A click on empty space below the rows clears the selection.
    if (m_queue && watched == m_queue->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (!m_queue->indexAt(mouse->position().toPoint()).isValid())
            m_state.clearSelection();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_state.isProcessing()) {
        const auto answer = QMessageBox::question(
            this, tr("Stop converting?"),
            tr("A batch is still converting. Quitting stops it; files not finished are not "
               "written."),
            QMessageBox::Cancel | QMessageBox::Ok, QMessageBox::Cancel);
        if (answer != QMessageBox::Ok) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

} // namespace kv::ui
