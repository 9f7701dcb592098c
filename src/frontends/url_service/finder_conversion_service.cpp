// The file-manager service: "kelvane://convert?src=…&fmt=…" and "kelvane://compress?src=…&level=…".
#include "frontends/url_service/finder_conversion_service.h"

#include "compress/compressor.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "engine/logger.h"
#include "frontends/url_service/service_url.h"
#include "platform/notify.h"

#include <algorithm>

namespace kv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Only absolute paths: a relative one would resolve against this process's folder, which for a
// forwarded URL is not the folder of the process that sent it.
bool isUsablePath(const std::string& src) {
    return !src.empty() && src.front() == '/';
}

} // namespace

FinderConversionService::FinderConversionService() : FinderConversionService(Options{}) {}

FinderConversionService::FinderConversionService(Options options) : m_options(std::move(options)) {}

FinderConversionService::~FinderConversionService() {
    std::list<Worker> workers;
    {
        std::lock_guard guard(m_lock);
        workers.swap(m_workers);
    }
    workers.clear(); // joins
}

void FinderConversionService::enterBackgroundMode() {
    std::lock_guard guard(m_lock);
    m_isBackgroundWorker = true;
}

bool FinderConversionService::isBackgroundWorker() const {
    std::lock_guard guard(m_lock);
    return m_isBackgroundWorker;
}

int FinderConversionService::activeJobs() const {
    std::lock_guard guard(m_lock);
    return m_activeJobs;
}

void FinderConversionService::handle(std::string_view text) {
    const auto url = ServiceUrl::parse(text);
    if (!url || url->scheme != "kelvane")
        return;
    if (url->host == "compress") {
        handleCompress(*url);
        return;
    }
    if (url->host != "convert")
        return;
    const auto src = url->item("src");
    if (!src || !isUsablePath(*src))
        return;
    const auto fmt = url->item("fmt");
    const auto target = fmt ? formatFromRawValue(*fmt) : std::nullopt;
    if (!target)
        return;
    const fs::path source(*src);
    start([this, source, target = *target] { return convert(source, target); });
}

void FinderConversionService::handleCompress(const ServiceUrl& url) {
    const auto src = url.item("src");
    if (!src || !isUsablePath(*src))
        return;
    const fs::path source(*src);
    if (url.item("choose") == "1") {
        if (m_options.openCompressPicker) {
            m_options.openCompressPicker(source);
        } else {
            ConversionLogger::shared().warning(
                "Finder compress: choosing a level needs the Kelvane window", "Compress",
                source.filename().string());
        }
        return;
    }
    const auto levelText = url.item("level");
    const auto level = levelText ? compressionLevelFromRaw(*levelText) : std::nullopt;
    if (!level)
        return;
    const auto format = FileDetector::detect(source);
    if (!format)
        return;
    start([this, source, format = *format, level = *level] {
        ConcurrencyLimits::Slot slot(m_limits, categoryOf(format));
        try {
            const auto output = Compressor::compress({.source = source,
                                                      .format = format,
                                                      .level = level,
                                                      .outputDir = source.parent_path(),
                                                      .replacingOriginal = false,
                                                      .progress = {},
                                                      .stop = {}});
            ConversionLogger::shared().success("Finder compress: " + output.filename().string(),
                                               "Compress");
            return Result{true, output.filename().string()};
        } catch (const std::exception& failure) {
            ConversionLogger::shared().error(std::string("Finder compress failed: ") +
                                                 failure.what(),
                                             "Compress", source.filename().string());
            return Result{false, source.filename().string() + " \u2014 " + failure.what()};
        }
    });
}

FinderConversionService::Result FinderConversionService::convert(const fs::path& source,
                                                                 SupportedFormat target) {
    const auto format = FileDetector::detect(source);
    if (!format) {
        ConversionLogger::shared().error("Finder: unrecognised " + source.filename().string(),
                                         "Finder");
        return {false, "Kelvane doesn't recognise " + source.filename().string() + "."};
    }
    ConcurrencyLimits::Slot slot(m_limits, categoryOf(*format));
    ConversionJob job;
    job.sourceURL = source;
    job.fileName = source.filename().string();
    job.fileSize = FileDetector::fileSize(source);
    job.detectedFormat = *format;
    job.targetFormat = target;
    try {
        const auto output = ConversionEngine::convert(job, source.parent_path());
        ConversionLogger::shared().success("Finder: " + output.filename().string(), "Finder");
        return {true, output.filename().string()};
    } catch (const std::exception& failure) {
        const std::string reason = source.filename().string() + " \u2014 " + failure.what();
        ConversionLogger::shared().error("Finder: " + reason, "Finder");
        return {false, reason};
    }
}

void FinderConversionService::start(std::function<Result()> work) {
    std::lock_guard guard(m_lock);
    ++m_activeJobs;
    m_idleQuitAt.reset();
    // Workers that are done are joined here, so the list holds only the ones still running.
    std::erase_if(m_workers, [](const Worker& w) { return w.done->load(); });
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_workers.push_back({std::jthread([this, done, work = std::move(work)] {
                             jobFinished(work());
                             done->store(true);
                         }),
                         done});
}

void FinderConversionService::jobFinished(Result result) {
    std::vector<Result> group;
    {
        std::lock_guard guard(m_lock);
        m_activeJobs = std::max(m_activeJobs - 1, 0);
        m_finished.push_back(std::move(result));
        if (m_activeJobs == 0) {
            group.swap(m_finished);
            if (m_isBackgroundWorker)
                m_idleQuitAt = Clock::now() + m_options.idleQuit;
        }
    }
    m_changed.notify_all();
    if (!group.empty() && m_options.notify)
        m_options.notify(group);
}

void FinderConversionService::waitUntilIdle() {
    std::unique_lock guard(m_lock);
    if (!m_isBackgroundWorker)
        return;
    // A first URL that started nothing must not keep the process alive for ever.
    if (m_activeJobs == 0 && !m_idleQuitAt)
        m_idleQuitAt = Clock::now() + m_options.idleQuit;
    for (;;) {
        if (m_activeJobs == 0 && m_idleQuitAt && Clock::now() >= *m_idleQuitAt)
            return;
        if (m_idleQuitAt)
            m_changed.wait_until(guard, *m_idleQuitAt);
        else
            m_changed.wait(guard);
    }
}

void notifyDesktop(const std::vector<FinderConversionService::Result>& results) {
    if (results.empty())
        return;
    if (results.size() == 1) {
        const auto& r = results.front();
        DesktopNotification::send(r.succeeded ? "Converted" : "Conversion failed", r.text);
        return;
    }
    const auto failed =
        std::count_if(results.begin(), results.end(), [](const auto& r) { return !r.succeeded; });
    const auto done = static_cast<std::ptrdiff_t>(results.size()) - failed;
    std::string summary =
        std::to_string(done) + (done == 1 ? " file converted" : " files converted");
    if (failed > 0)
        summary += ", " + std::to_string(failed) + " failed";
    std::string body;
    for (const auto& r : results) {
        if (!body.empty())
            body += '\n';
        body += (r.succeeded ? "\u2713 " : "\u2717 ") + r.text;
    }
    DesktopNotification::send(summary, body);
}

} // namespace kv
