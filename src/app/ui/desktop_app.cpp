// The desktop start: the window, pre-loaded files, one instance per user, and screenshots.
#include "app/ui/desktop_app.h"

#include "app/state/conversion_view_model.h"
#include "app/ui/main_window.h"
#include "app/ui/theme.h"
#include "engine/logger.h"
#include "frontends/in_place/folder_access.h"

#include <QApplication>
#include <QDataStream>
#include <QFileDialog>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <unistd.h>

namespace kv::ui {

namespace {

constexpr int kForwardTimeoutMs = 1500;

// Paths after the first "--seed-files" that exist, in argument order.
std::vector<std::filesystem::path> seedFiles(const std::vector<std::string>& args) {
    std::vector<std::filesystem::path> files;
    bool seeding = false;
    for (const auto& arg : args) {
        if (!seeding) {
            seeding = arg == "--seed-files";
            continue;
        }
        std::error_code error;
        if (std::filesystem::exists(arg, error))
            files.push_back(std::filesystem::absolute(arg, error));
    }
    return files;
}

QString instanceName() {
    return QStringLiteral("kelvane-desktop-%1").arg(::getuid());
}

// Hands `files` to a window that already runs; false when none answers.
bool forwardToRunningWindow(const std::vector<std::filesystem::path>& files) {
    QLocalSocket socket;
    socket.connectToServer(instanceName());
    if (!socket.waitForConnected(kForwardTimeoutMs))
        return false;
    QStringList paths;
    for (const auto& file : files)
        paths << QString::fromStdString(file.string());
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << paths;
    socket.write(message);
    socket.waitForBytesWritten(kForwardTimeoutMs);
    socket.disconnectFromServer();
    return true;
}

// Receives the files of later starts (a file manager's "Open with", a launcher drop).
void listenForLaterStarts(QLocalServer& server, ConversionViewModel& state, MainWindow& window) {
    QLocalServer::removeServer(instanceName()); // a stale socket of a killed process
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(instanceName()))
        return;
    QObject::connect(&server, &QLocalServer::newConnection, &server, [&server, &state, &window] {
        QLocalSocket* client = server.nextPendingConnection();
        QObject::connect(client, &QLocalSocket::disconnected, client, [client, &state, &window] {
            QStringList paths;
            const QByteArray message = client->readAll();
            QDataStream in(message);
            in >> paths;
            client->deleteLater();
            std::vector<std::filesystem::path> files;
            for (const QString& path : paths)
                files.emplace_back(path.toStdString());
            if (!files.empty())
                state.addFiles(files);
            window.showNormal();
            window.raise();
            window.activateWindow();
        });
    });
}

// Reports the moment of the first paint (CLOCK_MONOTONIC, ms) on stderr and quits, for the
// start-up benchmark.
class FirstPaintProbe final : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !m_done) {
            m_done = true;
            QTimer::singleShot(0, [] {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::fprintf(stderr, "first-paint-monotonic-ms %.3f\n",
                             static_cast<double>(now.tv_sec) * 1000.0 +
                                 static_cast<double>(now.tv_nsec) / 1e6);
                QApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    bool m_done = false;
};

} // namespace

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0')
            return true;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return platform != nullptr && *platform != '\0';
}

ViewModelServices desktopServices(QWidget** dialogParent) {
    ViewModelServices services;
    services.appVersion = QCoreApplication::applicationVersion().toStdString();
    services.isApplicationActive = [] {
        return QGuiApplication::applicationState() == Qt::ApplicationActive;
    };
    services.folderPanel =
        [dialogParent](const FolderPanelRequest& request) -> std::optional<std::filesystem::path> {
        QFileDialog dialog(*dialogParent, QString::fromStdString(request.title));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(request.prompt));
        dialog.setToolTip(QString::fromStdString(request.message));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return std::filesystem::path(dialog.selectedFiles().front().toStdString());
    };
    return services;
}

int runDesktop(const std::vector<std::string>& args) {
    if (!hasDisplay()) {
        std::fputs("kelvane: no display to open the window on (neither DISPLAY nor "
                   "WAYLAND_DISPLAY is set); use --convert to convert from the command line\n",
                   stderr);
        return 2;
    }
    ConversionLogger::shared().setEcho(ConversionLogger::Echo::standardOutput);
    int argc = 1;
    char name[] = "kelvane";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kelvane");
    QApplication::setApplicationVersion(KV_VERSION);
    QApplication::setDesktopFileName("kelvane");
    QApplication::setWindowIcon(QIcon(":/kelvane/kelvane.svg"));

    const auto files = seedFiles(args);
    const bool probeFirstPaint = std::getenv("KELVANE_REPORT_FIRST_PAINT") != nullptr;
    if (!probeFirstPaint && forwardToRunningWindow(files))
        return 0;

    QWidget* dialogParent = nullptr;
    ConversionViewModel state(desktopServices(&dialogParent));
    state.updateResolvedScheme(desktopPrefersDark() ? ColorScheme::dark : ColorScheme::light);
    MainWindow window(state, FolderAccess::shared());
    dialogParent = &window;
    QLocalServer server;
    if (!probeFirstPaint)
        listenForLaterStarts(server, state, window);
    FirstPaintProbe probe;
    if (probeFirstPaint)
        window.installEventFilter(&probe);
    window.show();
    if (!files.empty())
        state.addFiles(files);
    // Leaving cancels a running batch (the state's destructor): no partial outputs stay.
    return QApplication::exec();
}

} // namespace kv::ui
