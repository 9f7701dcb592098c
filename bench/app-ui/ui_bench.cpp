// Start-up and scrolling figures of the window: time to first paint of a fresh `kelvane`, and the
// longest main-thread task while a 10,000-row queue scrolls from top to bottom.
//
//   xvfb-run -a build/bench/app-ui/kelvane_ui_bench build/kelvane
#include "app/state/conversion_view_model.h"
#include "app/ui/main_window.h"
#include "app/ui/queue_model.h"
#include "frontends/in_place/folder_access.h"
#include "platform/settings_store.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRows = 10000;
constexpr int kStartRuns = 5;

double monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Every event the main thread delivers, timed: the longest one is the longest main-thread task.
class TimedApplication final : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!recording)
            return QApplication::notify(receiver, event);
        const auto start = std::chrono::steady_clock::now();
        const bool result = QApplication::notify(receiver, event);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        // A nested delivery (a paint inside a wheel event) is shorter than the task around it.
        if (ms > 16.0)
            ++overBudget;
        if (ms > longest) {
            longest = ms;
            longestWhat = std::string(receiver->metaObject()->className()) + " event " +
                          std::to_string(static_cast<int>(event->type()));
        }
        return result;
    }
    bool recording = false;
    double longest = 0;
    std::string longestWhat;
    int overBudget = 0; // tasks over 16 ms
};

// One fresh process from fork to its first paint, in milliseconds.
double timeToFirstPaint(const std::string& kelvane, const std::string& config) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    const double start = monotonicMs();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        setenv("KELVANE_REPORT_FIRST_PAINT", "1", 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        execl(kelvane.c_str(), kelvane.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string err;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        err.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    const auto at = err.find("first-paint-monotonic-ms ");
    if (at == std::string::npos)
        return -1;
    return std::stod(err.substr(at + 25)) - start;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: kelvane_ui_bench <path to kelvane>\n", stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string kelvane = argv[1];
    QTemporaryDir work;
    const std::string root = work.path().toStdString();

    std::vector<double> starts;
    for (int run = 0; run < kStartRuns; ++run)
        starts.push_back(timeToFirstPaint(kelvane, root + "/config"));
    std::sort(starts.begin(), starts.end());
    std::printf("time to first paint: median %.0f ms, best %.0f ms, worst %.0f ms (%d starts)\n",
                starts[starts.size() / 2], starts.front(), starts.back(), kStartRuns);

    int qtArgc = 1;
    TimedApplication app(qtArgc, argv);
    kv::ConversionLogger::shared().setEcho(kv::ConversionLogger::Echo::none);
    // 10,000 small tables in one folder, added the way a dropped folder is.
    const std::string folder = root + "/rows";
    std::filesystem::create_directories(folder);
    for (int i = 0; i < kRows; ++i)
        std::ofstream(folder + "/table " + std::to_string(i) + ".csv") << "a,b\n" << i << ",2\n";
    kv::SettingsStore store(root + "/settings.json");
    kv::FolderAccess grants(store);
    kv::ViewModelServices services;
    services.settings = &store;
    kv::ConversionViewModel state(services);
    kv::ui::MainWindow window(state, grants);
    window.resize(1180, 760);
    window.show();
    QElapsedTimer adding;
    adding.start();
    state.addFiles({folder});
    QCoreApplication::processEvents();
    std::printf("queue of %d rows shown in %lld ms\n", window.queueModel()->rowCount(),
                static_cast<long long>(adding.elapsed()));

    // Let the first layout and paint of the full queue finish: scrolling is measured alone.
    for (QElapsedTimer settle; !settle.isValid() || settle.elapsed() < 300;) {
        if (!settle.isValid())
            settle.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }

    // Scroll from top to bottom with wheel notches (three rows each), letting every paint happen.
    QListView* view = window.queueView();
    QScrollBar* bar = view->verticalScrollBar();
    app.recording = true;
    QElapsedTimer scrolling;
    scrolling.start();
    int notches = 0;
    std::vector<double> steps; // one wheel notch: scroll, repaint, pending events
    while (bar->value() < bar->maximum() && notches < 20000) {
        const QPointF at(view->viewport()->width() / 2.0, view->viewport()->height() / 2.0);
        QWheelEvent wheel(at, view->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        const auto stepStart = std::chrono::steady_clock::now();
        QCoreApplication::sendEvent(view->viewport(), &wheel);
        view->viewport()->repaint();
        QCoreApplication::processEvents();
        steps.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stepStart)
                .count());
        ++notches;
    }
    app.recording = false;
    std::printf(
        "scrolled %d rows in %d wheel steps over %lld ms; longest main-thread task %.2f ms\n",
        window.queueModel()->rowCount(), notches, static_cast<long long>(scrolling.elapsed()),
        app.longest);
    std::sort(steps.begin(), steps.end());
    if (!steps.empty())
        std::printf("per wheel step: median %.2f ms, 99th percentile %.2f ms\n",
                    steps[steps.size() / 2], steps[steps.size() * 99 / 100]);
    std::printf("longest task: %s; tasks over 16 ms: %d\n", app.longestWhat.c_str(),
                app.overBudget);
    return 0;
}
