// Measures the desktop state: adding a 10,000-file folder tree to the queue (time, memory), and a
// batch of small conversions (CPU use of the cores, longest stall of the main thread).
// Usage: kelvane_state_bench [files=10000] [conversions=1000]; results on stderr.
#include "app/state/conversion_view_model.h"
#include "engine/dispatch/conversion_engine.h"
#include "platform/settings_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kv;

namespace {

// Resident memory now and at its peak, in MB (from /proc/self/status).
std::pair<double, double> residentMB() {
    std::ifstream status("/proc/self/status");
    double now = 0;
    double peak = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            now = std::stod(line.substr(6)) / 1024.0;
        if (line.rfind("VmHWM:", 0) == 0)
            peak = std::stod(line.substr(6)) / 1024.0;
    }
    return {now, peak};
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::int64_t threadCpuNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The longest gap between ticks of a 5 ms timer on the main thread (the longest time it did not
// get back to its event loop), and the main thread's own CPU time within that gap (the gap less
// the time other processes held the core).
class StallMeter {
  public:
    StallMeter() {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const std::int64_t cpu = threadCpuNanoseconds();
            if (m_last > 0) {
                m_longest = std::max(m_longest, now - m_last);
                m_longestCpu = std::max(m_longestCpu, cpu - m_lastCpu);
            }
            m_last = now;
            m_lastCpu = cpu;
        });
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.start(5);
    }
    double longestMs() const { return static_cast<double>(m_longest) / 1e6; }
    double longestCpuMs() const { return static_cast<double>(m_longestCpu) / 1e6; }

  private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    std::int64_t m_lastCpu = 0;
    std::int64_t m_longestCpu = 0;
};

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one;
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

} // namespace

int main(int argc, char** argv) {
    const int fileCount = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int conversionCount = argc > 2 ? std::atoi(argv[2]) : 1000;
    char pattern[] = "/tmp/kelvane-state-bench-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    QCoreApplication app(argc, argv);
    ConversionLogger::shared().setEcho(ConversionLogger::Echo::standardOutput);

    // 1. A folder tree of small files: 100 folders of 100, four kinds of file.
    const fs::path tree = root / "tree";
    const char* kinds[] = {".csv", ".json", ".md", ".txt"};
    for (int i = 0; i < fileCount; ++i) {
        const fs::path folder = tree / ("d" + std::to_string(i / 100));
        if (i % 100 == 0)
            fs::create_directories(folder);
        writeText(folder / ("f" + std::to_string(i) + kinds[i % 4]), "a,b\n1,2\n");
    }
    SettingsStore store(root / "config" / "settings.json");
    fs::create_directories(root / "out");
    store.set(ConversionViewModel::kOutputDirBookmarkKey, (root / "out").string());
    {
        ConversionViewModel model({.settings = &store, .notify = [](auto&, auto&) {}});
        const double before = residentMB().first;
        const auto start = std::chrono::steady_clock::now();
        model.addFiles({tree});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto [after, peak] = residentMB();
        std::fprintf(stderr,
                     "add %zu files: %.3f s, resident %.1f MB -> %.1f MB (+%.1f MB, peak %.1f "
                     "MB)\n",
                     model.jobs().size(), seconds, before, after, after - before, peak);
    }

    // 2. A batch of small conversions: one PNG picture copied under many names, to JPEG.
    const fs::path pictures = root / "pictures";
    fs::create_directories(pictures);
    const fs::path seed = pictures / "seed.png";
    const std::string make = "convert -size 400x300 -seed 3 plasma:fractal " + seed.string();
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "ImageMagick's convert is needed for the pictures\n");
        return 1;
    }
    std::vector<fs::path> files;
    for (int i = 0; i < conversionCount; ++i) {
        files.push_back(pictures / ("p" + std::to_string(i) + ".png"));
        fs::copy_file(seed, files.back());
    }
    fs::remove(seed);
    {
        // Time spent inside the engine, summed over the workers: divided by the wall time it is
        // the average number of conversions in flight, whatever else the machine runs.
        std::atomic<std::int64_t> engineNanoseconds{0};
        auto convert = [&engineNanoseconds](const ConversionJob& job, const fs::path& dir,
                                            std::function<void(double)> progress,
                                            std::stop_token stop) {
            const auto begin = std::chrono::steady_clock::now();
            auto output = ConversionEngine::convert(job, dir, std::move(progress), std::move(stop));
            engineNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - begin)
                                     .count();
            return output;
        };
        ConversionViewModel model(
            {.settings = &store, .convert = convert, .notify = [](auto&, auto&) {}});
        model.setDefaultTarget(SupportedFormat::jpeg, FileCategory::image);
        model.addFiles(files);
        StallMeter stalls;
        const double cpuBefore = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        model.convertAll();
        model.waitUntilIdle(3600 * 1000);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpuSeconds() - cpuBefore;
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        std::fprintf(stderr,
                     "convert %d pictures (400x300 PNG -> JPEG): %.2f s, %d completed, CPU "
                     "%.2f s = %.0f%% of %u cores, longest main-thread stall %.1f ms (%.1f ms of "
                     "it on the CPU), load average %s\n",
                     conversionCount, wall, model.completedCount(), cpu,
                     100.0 * cpu / (wall * cores), cores, stalls.longestMs(), stalls.longestCpuMs(),
                     loadAverage().c_str());
        std::fprintf(stderr, "average conversions in flight: %.2f (limit %d)\n",
                     static_cast<double>(engineNanoseconds.load()) / 1e9 / wall,
                     std::clamp(static_cast<int>(cores) - 2, 2, 6));
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
