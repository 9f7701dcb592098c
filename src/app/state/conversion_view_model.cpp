// The desktop application's single source of state.
#include "app/state/conversion_view_model.h"

#include "app/state/batch_limits.h"
#include "engine/conversion_error.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "engine/output_name_registry.h"
#include "engine/progress_throttle.h"
#include "platform/notify.h"
#include "platform/settings_store.h"
#include "platform/trash.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <unordered_set>

#ifndef KV_VERSION
#define KV_VERSION "0.0.0"
#endif

namespace kv {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string plural(std::size_t count, std::string_view noun) {
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string nameOf(const fs::path& path) {
    return path.filename().string();
}

// Paths compare as absolute, lexically normal text: "a/./b.png" and "/cwd/a/b.png" are one file.
fs::path normalised(const fs::path& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return (error ? path : absolute).lexically_normal();
}

std::optional<FileCategory> categoryFromRaw(std::string_view raw) {
    for (const FileCategory category : allFileCategories())
        if (rawValue(category) == raw)
            return category;
    return std::nullopt;
}

} // namespace

// ---- Workers -----------------------------------------------------------------------------------

// One background operation (a conversion, a compression, a trash or a notification). Its thread
// posts its results to the main thread and is joined there once it has ended.
struct ConversionViewModel::Worker {
    std::stop_source stop;
    bool inBatch = false;
    std::jthread thread;
};

// The running batch: its job ids, the waiting queue and the cancellation state.
struct ConversionViewModel::Batch {
    std::vector<Uuid> ids;
    BatchQueue queue;
    bool cancelled = false;
};

// Settings are written on a thread of their own (each write is an fsync'd file replacement), in
// order, pending writes merged into one.
struct ConversionViewModel::SettingsWriter {
    explicit SettingsWriter(SettingsStore& store) : m_store(store) {
        m_thread = std::jthread([this](std::stop_token stop) { run(stop); });
    }
    ~SettingsWriter() {
        m_thread.request_stop();
        m_wake.notify_all();
    }

    void write(std::map<std::string, json> values) {
        {
            std::lock_guard guard(m_lock);
            for (auto& [key, value] : values)
                m_pending[key] = std::move(value);
        }
        m_wake.notify_all();
    }

    void flush() {
        std::unique_lock guard(m_lock);
        m_idle.wait(guard, [this] { return m_pending.empty() && !m_writing; });
    }

  private:
    void run(std::stop_token stop) {
        for (;;) {
            std::map<std::string, json> batch;
            {
                std::unique_lock guard(m_lock);
                m_wake.wait(guard, [&] { return !m_pending.empty() || stop.stop_requested(); });
                if (m_pending.empty())
                    return;
                batch.swap(m_pending);
                m_writing = true;
            }
            try {
                m_store.setValues(batch);
            } catch (const std::exception& failure) {
                ConversionLogger::shared().warning(
                    std::string("Could not save settings: ") + failure.what(), "Settings");
            }
            {
                std::lock_guard guard(m_lock);
                m_writing = false;
            }
            m_idle.notify_all();
        }
    }

    SettingsStore& m_store;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::map<std::string, json> m_pending;
    bool m_writing = false;
    std::jthread m_thread;
};

namespace {

// Log changes arrive on any thread; at most one notice is queued to the main thread at a time.
struct LogRelay {
    std::mutex lock;
    QObject* target = nullptr;
    std::function<void()> notify;
    bool queued = false;
};

std::shared_ptr<LogRelay>& logRelay() {
    static std::shared_ptr<LogRelay> relay;
    return relay;
}

} // namespace

// ---- Construction ------------------------------------------------------------------------------

ConversionViewModel::ConversionViewModel(ViewModelServices services, QObject* parent)
    : QObject(parent), m_services(std::move(services)) {
    qRegisterMetaType<kv::Uuid>("kv::Uuid");
    if (m_services.settings == nullptr)
        m_services.settings = &SettingsStore::shared();
    if (!m_services.convert)
        m_services.convert = [](const ConversionJob& job, const fs::path& dir,
                                std::function<void(double)> progress, std::stop_token stop) {
            return ConversionEngine::convert(job, dir, std::move(progress), std::move(stop));
        };
    if (!m_services.compress)
        m_services.compress = &Compressor::compress;
    if (!m_services.trash)
        m_services.trash = &Trash::moveToTrash;
    if (!m_services.notify)
        m_services.notify = [](const std::string& title, const std::string& body) {
            DesktopNotification::send(title, body);
        };
    if (!m_services.isApplicationActive)
        m_services.isApplicationActive = [] { return false; };
    if (!m_services.timers)
        m_services.timers = Timers::eventLoop();
    if (m_services.appVersion.empty())
        m_services.appVersion = KV_VERSION;
    m_activeCores =
        m_services.activeCores > 0 ? m_services.activeCores : BatchLimits::activeCores();

    m_thumbnails = std::make_unique<ThumbnailCache>(m_services.thumbnails, this);
    connect(m_thumbnails.get(), &ThumbnailCache::ready, this, [this](const QString& file) {
        const fs::path path = file.toStdString();
        for (const auto& job : m_jobs)
            if (job.sourceURL == path)
                emit thumbnailReady(job.id);
    });

    SettingsStore::setWarningSink(
        [](const std::string& text) { ConversionLogger::shared().warning(text, "Settings"); });
    auto relay = std::make_shared<LogRelay>();
    relay->target = this;
    relay->notify = [this] { emit logChanged(); };
    logRelay() = relay;
    ConversionLogger::shared().setObserver([relay] {
        std::lock_guard guard(relay->lock);
        if (relay->target == nullptr || relay->queued)
            return;
        relay->queued = true;
        QMetaObject::invokeMethod(
            relay->target,
            [relay] {
                std::function<void()> notify;
                {
                    std::lock_guard inner(relay->lock);
                    relay->queued = false;
                    notify = relay->notify;
                }
                if (notify)
                    notify();
            },
            Qt::QueuedConnection);
    });

    m_settingsWriter = std::make_unique<SettingsWriter>(*m_services.settings);
    loadSettings();
}

ConversionViewModel::~ConversionViewModel() {
    {
        auto& relay = logRelay();
        if (relay) {
            std::lock_guard guard(relay->lock);
            relay->target = nullptr;
            relay->notify = nullptr;
        }
    }
    ConversionLogger::shared().setObserver({});
    // Quitting cancels every conversion; the engine removes what an interrupted one wrote.
    for (auto& [id, worker] : m_workers)
        worker->stop.request_stop();
    m_workers.clear(); // joins
    m_settingsWriter->flush();
    m_settingsWriter.reset();
}

// ---- Settings ----------------------------------------------------------------------------------

void ConversionViewModel::persist(const char* key, const json& value) {
    m_settingsWriter->write({{key, value}});
}

void ConversionViewModel::persistMany(std::map<std::string, json> values) {
    m_settingsWriter->write(std::move(values));
}

void ConversionViewModel::loadSettings() {
    SettingsStore& store = *m_services.settings;
    auto& log = ConversionLogger::shared();

    // A file that is no JSON object at all is kept aside before the defaults replace it.
    {
        std::error_code error;
        if (fs::is_regular_file(store.file(), error)) {
            std::ifstream in(store.file(), std::ios::binary);
            const json parsed = json::parse(in, nullptr, false);
            if (parsed.is_discarded() || !parsed.is_object()) {
                const fs::path kept = fs::path(store.file()).concat(".corrupt");
                fs::copy_file(store.file(), kept, fs::copy_options::overwrite_existing, error);
                log.warning("Settings file could not be read; starting with defaults", "Settings",
                            error ? store.file().string() : kept.string());
            }
        }
    }

    m_statsTotalConversions = store.intValue(kStatsTotalConversionsKey).value_or(0);
    m_statsBytesSaved = store.intValue(kStatsBytesSavedKey).value_or(0);
    m_appearanceMode = appearanceModeFromRaw(store.stringValue(kAppearanceModeKey).value_or(""))
                           .value_or(AppearanceMode::dark);
    const double quality = store.doubleValue(kImageQualityKey).value_or(0.92);
    m_imageQuality = std::isfinite(quality) ? std::clamp(quality, 0.0, 1.0) : 0.92;
    const auto maxEdge = store.intValue(kImageMaxEdgeKey).value_or(0);
    m_imageMaxEdge = maxEdge > 0 && maxEdge <= 1'000'000 ? static_cast<int>(maxEdge) : 0;
    m_stripMetadata = store.boolValue(kStripMetadataKey).value_or(false);
    const auto bitrate = store.intValue(kAudioBitrateKey).value_or(256000);
    m_audioBitrate = bitrate > 0 && bitrate <= 10'000'000 ? static_cast<int>(bitrate) : 256000;
    m_accent = accentChoiceFromRaw(store.stringValue(kAccentKey).value_or(""))
                   .value_or(AccentChoice::paper);
    const auto custom = store.intValue(kCustomAccentKey).value_or(0x4C9AFF);
    m_customAccent =
        custom >= 0 && custom <= 0xFFFFFF ? static_cast<std::uint32_t>(custom) : 0x4C9AFFu;
    m_keepOriginals = store.boolValue(kKeepOriginalsKey).value_or(true);
    m_backgroundTint = store.boolValue(kBackgroundTintKey).value_or(false);
    const double strength = store.doubleValue(kBackgroundTintStrengthKey).value_or(0.5);
    m_backgroundTintStrength = std::isfinite(strength) ? std::clamp(strength, 0.0, 1.0) : 0.5;
    m_defaultTargets.clear();
    for (const auto& [categoryRaw, formatRaw] :
         store.stringMap(kDefaultTargetsKey).value_or(std::map<std::string, std::string>{})) {
        const auto category = categoryFromRaw(categoryRaw);
        const auto format = formatFromRawValue(formatRaw);
        if (category && format)
            m_defaultTargets[*category] = *format;
    }
    m_recents.clear();
    if (const auto text = store.stringValue(kRecentsKey)) {
        m_recents = decodeRecents(*text);
        if (m_recents.empty() && *text != "[]")
            log.warning("Recent conversions could not be read; starting with none", "Settings");
        if (m_recents.size() > kMaxRecents)
            m_recents.resize(kMaxRecents);
    }
    m_expandedSections.clear();
    if (const auto sections = store.stringList(kExpandedSectionsKey))
        m_expandedSections = std::set<std::string>(sections->begin(), sections->end());
    m_successfulBatches =
        std::max<std::int64_t>(0, store.intValue(kSuccessfulBatchesKey).value_or(0));
    m_resolvedColorScheme =
        m_appearanceMode == AppearanceMode::dark ? ColorScheme::dark : ColorScheme::light;

    setOutputDirectoryFromStore();

    // Every preference writes its key once loaded, so a damaged value is replaced by its default.
    json targets = json::object();
    for (const auto& [category, format] : m_defaultTargets)
        targets[std::string(rawValue(category))] = std::string(rawValue(format));
    persistMany({
        {kStatsTotalConversionsKey, m_statsTotalConversions},
        {kStatsBytesSavedKey, m_statsBytesSaved},
        {kAppearanceModeKey, std::string(rawValue(m_appearanceMode))},
        {kImageQualityKey, m_imageQuality},
        {kImageMaxEdgeKey, m_imageMaxEdge},
        {kStripMetadataKey, m_stripMetadata},
        {kAudioBitrateKey, m_audioBitrate},
        {kAccentKey, std::string(rawValue(m_accent))},
        {kCustomAccentKey, m_customAccent},
        {kKeepOriginalsKey, m_keepOriginals},
        {kBackgroundTintKey, m_backgroundTint},
        {kBackgroundTintStrengthKey, m_backgroundTintStrength},
        {kDefaultTargetsKey, targets},
        {kRecentsKey, encodeRecents(m_recents)},
        {kExpandedSectionsKey,
         std::vector<std::string>(m_expandedSections.begin(), m_expandedSections.end())},
    });
}

void ConversionViewModel::setOutputDirectoryFromStore() {
    SettingsStore& store = *m_services.settings;
    // On Linux the output folder's "bookmark" is its absolute path.
    if (const auto stored = store.stringValue(kOutputDirBookmarkKey)) {
        std::error_code error;
        const fs::path folder(*stored);
        if (folder.is_absolute() && fs::is_directory(folder, error)) {
            m_outputDirectory = folder;
            m_hasChosenOutputLocation = true;
            return;
        }
        ConversionLogger::shared().warning("Saved output folder is no longer available", "Settings",
                                           *stored);
        persist(kOutputDirBookmarkKey, nullptr);
    } else if (store.intValue(kOutputDirBookmarkKey) || store.boolValue(kOutputDirBookmarkKey)) {
        persist(kOutputDirBookmarkKey, nullptr);
    }
    m_outputDirectory = defaultOutputDirectory();
    m_hasChosenOutputLocation = false;
}

// ---- Simple fields -----------------------------------------------------------------------------

namespace {
template <typename T> bool assign(T& field, const T& value) {
    if (field == value)
        return false;
    field = value;
    return true;
}
} // namespace

void ConversionViewModel::setShowFilePicker(bool value) {
    if (assign(m_showFilePicker, value))
        emit uiFlagsChanged();
}
void ConversionViewModel::setDragTargeted(bool value) {
    if (assign(m_isDragTargeted, value))
        emit uiFlagsChanged();
}
void ConversionViewModel::setAppearanceMode(AppearanceMode mode) {
    m_appearanceMode = mode;
    persist(kAppearanceModeKey, std::string(rawValue(mode)));
    updateResolvedScheme();
    emit settingsChanged();
}
void ConversionViewModel::setShowOutputDirPicker(bool value) {
    if (assign(m_showOutputDirPicker, value))
        emit uiFlagsChanged();
}
void ConversionViewModel::setImageQuality(double quality) {
    m_imageQuality = std::isfinite(quality) ? std::clamp(quality, 0.0, 1.0) : 0.92;
    persist(kImageQualityKey, m_imageQuality);
    emit settingsChanged();
}
void ConversionViewModel::setImageMaxEdge(int pixels) {
    m_imageMaxEdge = std::max(0, pixels);
    persist(kImageMaxEdgeKey, m_imageMaxEdge);
    emit settingsChanged();
}
void ConversionViewModel::setStripMetadata(bool value) {
    m_stripMetadata = value;
    persist(kStripMetadataKey, value);
    emit settingsChanged();
}
void ConversionViewModel::setAudioBitrate(int bitsPerSecond) {
    m_audioBitrate = bitsPerSecond > 0 ? bitsPerSecond : 256000;
    persist(kAudioBitrateKey, m_audioBitrate);
    emit settingsChanged();
}
void ConversionViewModel::setShowConversionsInfo(bool value) {
    if (assign(m_showConversionsInfo, value))
        emit uiFlagsChanged();
}
void ConversionViewModel::setLibraryFilter(std::optional<FileCategory> category) {
    if (assign(m_libraryFilter, category))
        emit filterChanged();
}
void ConversionViewModel::setSearchQuery(const std::string& query) {
    if (assign(m_searchQuery, query))
        emit filterChanged();
}
void ConversionViewModel::setShowSettingsPopover(bool value) {
    if (assign(m_showSettingsPopover, value))
        emit uiFlagsChanged();
}
void ConversionViewModel::setFullScreen(bool value) {
    if (assign(m_isFullScreen, value))
        emit uiFlagsChanged();
}
void ConversionViewModel::setSidebarCollapsed(bool value) {
    if (assign(m_sidebarCollapsed, value))
        emit uiFlagsChanged();
}
void ConversionViewModel::setAccent(AccentChoice accent) {
    m_accent = accent;
    persist(kAccentKey, std::string(rawValue(accent)));
    emit settingsChanged();
}
void ConversionViewModel::setCustomAccent(std::uint32_t rgb) {
    m_customAccent = rgb & 0xFFFFFFu;
    persist(kCustomAccentKey, m_customAccent);
    emit settingsChanged();
}
void ConversionViewModel::setKeepOriginals(bool value) {
    m_keepOriginals = value;
    persist(kKeepOriginalsKey, value);
    emit settingsChanged();
}
void ConversionViewModel::setBackgroundTint(bool value) {
    m_backgroundTint = value;
    persist(kBackgroundTintKey, value);
    emit settingsChanged();
}
void ConversionViewModel::setBackgroundTintStrength(double strength) {
    m_backgroundTintStrength = std::isfinite(strength) ? std::clamp(strength, 0.0, 1.0) : 0.5;
    persist(kBackgroundTintStrengthKey, m_backgroundTintStrength);
    emit settingsChanged();
}
void ConversionViewModel::setFilePickerCategory(std::optional<FileCategory> category) {
    if (assign(m_filePickerCategory, category))
        emit uiFlagsChanged();
}
void ConversionViewModel::setCompressingJob(std::optional<Uuid> id) {
    std::optional<ConversionJob> next;
    if (id)
        if (const ConversionJob* found = job(*id))
            next = *found;
    m_compressingJob = std::move(next);
    emit uiFlagsChanged();
}
void ConversionViewModel::updateResolvedScheme(std::optional<ColorScheme> /*systemScheme*/) {
    // The chosen mode decides; the desktop's own scheme only triggers the recomputation.
    const ColorScheme scheme =
        m_appearanceMode == AppearanceMode::dark ? ColorScheme::dark : ColorScheme::light;
    if (assign(m_resolvedColorScheme, scheme))
        emit colorSchemeChanged();
}

// ---- Jobs --------------------------------------------------------------------------------------

const ConversionJob* ConversionViewModel::job(const Uuid& id) const {
    for (const auto& candidate : m_jobs)
        if (candidate.id == id)
            return &candidate;
    return nullptr;
}

ConversionJob* ConversionViewModel::findJob(const Uuid& id) {
    for (auto& candidate : m_jobs)
        if (candidate.id == id)
            return &candidate;
    return nullptr;
}

void ConversionViewModel::changeJob(const Uuid& id,
                                    const std::function<void(ConversionJob&)>& change) {
    if (ConversionJob* found = findJob(id)) {
        change(*found);
        emit jobUpdated(id);
    }
}

void ConversionViewModel::addFiles(const std::vector<fs::path>& urls) {
    auto& log = ConversionLogger::shared();
    // Folders add the files inside them, in name order; hidden entries stay out.
    std::vector<fs::path> files;
    for (const auto& url : urls) {
        std::error_code error;
        if (fs::is_directory(url, error)) {
            std::vector<fs::path> inside;
            for (fs::recursive_directory_iterator
                     it(url, fs::directory_options::skip_permission_denied, error),
                 end;
                 !error && it != end; it.increment(error)) {
                const std::string name = it->path().filename().string();
                if (!name.empty() && name.front() == '.') {
                    if (it->is_directory(error))
                        it.disable_recursion_pending();
                    continue;
                }
                if (it->is_regular_file(error))
                    inside.push_back(it->path());
            }
            std::sort(inside.begin(), inside.end());
            files.insert(files.end(), inside.begin(), inside.end());
        } else {
            files.push_back(url);
        }
    }

    std::unordered_set<std::string> present;
    present.reserve(m_jobs.size() + files.size());
    for (const auto& existing : m_jobs)
        present.insert(existing.sourceURL.string());

    std::vector<std::string> skipped;
    std::size_t added = 0;
    for (const auto& file : files) {
        const fs::path source = normalised(file);
        const std::string name = nameOf(source);
        const auto format = FileDetector::detect(source);
        if (!format) {
            skipped.push_back(name);
            log.warning("Unsupported file skipped: " + name, "Files");
            continue;
        }
        if (present.count(source.string()) != 0) {
            log.warning("Skipping duplicate: " + name, "Files");
            continue;
        }
        present.insert(source.string());
        ConversionJob job;
        job.sourceURL = source;
        job.fileName = name;
        job.fileSize = FileDetector::fileSize(source);
        job.detectedFormat = *format;
        job.imageQuality = m_imageQuality;
        job.imageMaxEdge = m_imageMaxEdge > 0 ? std::optional<int>(m_imageMaxEdge) : std::nullopt;
        job.stripMetadata = m_stripMetadata;
        job.audioBitrate = m_audioBitrate;
        job.targetFormat = defaultTarget(job);
        if (!job.targetFormat) {
            const auto targets = possibleConversions(*format);
            if (!targets.empty())
                job.targetFormat = targets.front();
        }
        log.info("Added: " + name + " (" + std::string(displayName(*format)) + ")", "Files");
        m_jobs.push_back(std::move(job));
        ++added;
    }
    if (added > 0)
        emit jobsChanged();

    if (skipped.size() == 1) {
        showToast(Toast::make(Toast::Kind::warning, "Skipped unsupported file", skipped.front()));
    } else if (skipped.size() > 1) {
        showToast(Toast::make(Toast::Kind::warning,
                              "Skipped " + std::to_string(skipped.size()) + " unsupported files",
                              "Including " + skipped.front()));
    }
}

std::optional<SupportedFormat> ConversionViewModel::defaultTarget(const ConversionJob& job) const {
    const auto found = m_defaultTargets.find(categoryOf(job.detectedFormat));
    if (found == m_defaultTargets.end())
        return std::nullopt;
    const auto targets = possibleConversions(job.detectedFormat);
    if (std::find(targets.begin(), targets.end(), found->second) == targets.end())
        return std::nullopt;
    return found->second;
}

void ConversionViewModel::setDefaultTarget(SupportedFormat format, FileCategory category) {
    m_defaultTargets[category] = format;
    json targets = json::object();
    for (const auto& [c, f] : m_defaultTargets)
        targets[std::string(rawValue(c))] = std::string(rawValue(f));
    persist(kDefaultTargetsKey, targets);
    for (auto& job : m_jobs) {
        if (categoryOf(job.detectedFormat) != category || job.status != ConversionStatus::pending)
            continue;
        const auto possible = possibleConversions(job.detectedFormat);
        if (std::find(possible.begin(), possible.end(), format) == possible.end())
            continue;
        job.targetFormat = format;
        emit jobUpdated(job.id);
    }
    emit settingsChanged();
}

// ---- Output folder -----------------------------------------------------------------------------

bool ConversionViewModel::ensureOutputLocationChosen() {
    if (m_hasChosenOutputLocation)
        return true;
    std::optional<fs::path> chosen;
    if (m_services.folderPanel) {
        chosen = m_services.folderPanel(
            {.title = "Choose Output Folder",
             .message = "Choose where Kelvane should save your converted files.",
             .prompt = "Choose Folder"});
    }
    if (!chosen) {
        showToast(Toast::make(Toast::Kind::warning, "Choose an output folder",
                              "Pick where your converted files should be saved, then convert."));
        return false;
    }
    applyGlobalOutputDirectory(*chosen);
    return true;
}

void ConversionViewModel::applyGlobalOutputDirectory(const fs::path& folder) {
    m_outputDirectory = normalised(folder);
    m_hasChosenOutputLocation = true;
    persist(kOutputDirBookmarkKey, m_outputDirectory.string());
    ConversionLogger::shared().info("Output directory: " + m_outputDirectory.string(), "Settings");
    emit outputDirectoryChanged();
    emit settingsChanged();
}

void ConversionViewModel::chooseOutputDirectory() {
    if (!m_services.folderPanel)
        return;
    const auto chosen =
        m_services.folderPanel({.title = "Choose Output Folder",
                                .message = "Choose where Kelvane should save your converted files.",
                                .prompt = "Choose Folder"});
    if (chosen)
        applyGlobalOutputDirectory(*chosen);
}

void ConversionViewModel::pickOutputDirForJob(const Uuid& id) {
    if (!m_services.folderPanel)
        return;
    const auto chosen =
        m_services.folderPanel({.title = "Choose Output Folder for This File",
                                .message = "Choose where Kelvane should save your converted files.",
                                .prompt = "Choose Folder"});
    if (chosen)
        setCustomOutputDir(*chosen, id);
}

void ConversionViewModel::setCustomOutputDir(const fs::path& dir, const Uuid& id) {
    changeJob(id, [&](ConversionJob& job) { job.customOutputDir = normalised(dir); });
}

std::string ConversionViewModel::outputDirName() const {
    if (!m_hasChosenOutputLocation)
        return "Choose folder\u2026";
    const fs::path name = m_outputDirectory.filename();
    return name.empty() ? m_outputDirectory.string() : name.string();
}

// ---- Batches -----------------------------------------------------------------------------------

void ConversionViewModel::convertAll() {
    if (m_isProcessing)
        return;
    std::vector<Uuid> ids;
    for (const auto& job : m_jobs)
        if (job.status == ConversionStatus::pending && job.targetFormat)
            ids.push_back(job.id);
    if (ids.empty() || !ensureOutputLocationChosen())
        return;
    startBatch(std::move(ids), "batch conversion");
}

void ConversionViewModel::convertSelected() {
    if (m_isProcessing)
        return;
    std::vector<Uuid> ids;
    for (const auto& job : m_jobs)
        if (m_selection.count(job.id) != 0 &&
            (job.status == ConversionStatus::pending || job.status == ConversionStatus::failed) &&
            job.targetFormat)
            ids.push_back(job.id);
    if (ids.empty() || !ensureOutputLocationChosen())
        return;
    m_selection.clear();
    emit selectionChanged();
    startBatch(std::move(ids), "selection");
}

void ConversionViewModel::retryAllFailed() {
    if (m_isProcessing)
        return;
    std::vector<Uuid> ids;
    for (const auto& job : m_jobs)
        if (job.status == ConversionStatus::failed && job.targetFormat)
            ids.push_back(job.id);
    if (ids.empty() || !ensureOutputLocationChosen())
        return;
    for (const auto& id : ids)
        changeJob(id, [](ConversionJob& job) {
            job.status = ConversionStatus::pending;
            job.progress = 0;
            job.errorMessage.reset();
        });
    startBatch(std::move(ids), "retry");
}

bool ConversionViewModel::canConvert() const {
    return std::any_of(m_jobs.begin(), m_jobs.end(), [](const ConversionJob& job) {
        return job.status == ConversionStatus::pending && job.targetFormat;
    });
}

void ConversionViewModel::startBatch(std::vector<Uuid> ids, const std::string& label) {
    m_isProcessing = true;
    ConversionLogger::shared().info(
        "Starting " + label + ": " + plural(ids.size(), "file") + " queued", "Engine");
    std::deque<BatchQueue::Entry> waiting;
    for (const auto& id : ids)
        if (const ConversionJob* found = job(id))
            waiting.push_back({id, categoryOf(found->detectedFormat)});
    m_batch = std::make_unique<Batch>(
        Batch{.ids = std::move(ids), .queue = BatchQueue(std::move(waiting), m_activeCores)});
    emit processingChanged(true);
    startEligible();
}

void ConversionViewModel::startEligible() {
    while (m_batch && !m_batch->cancelled) {
        const auto next = m_batch->queue.nextEligible();
        if (!next)
            break;
        const ConversionJob* found = job(next->id);
        // A row removed, or started on its own, since the batch began: nothing to run.
        if (found == nullptr || found->status != ConversionStatus::pending) {
            m_batch->queue.finished(next->category);
            continue;
        }
        const FileCategory category = next->category;
        const Uuid id = next->id;
        startConversion(id, true, [this, id, category] { childFinished(id, category); });
    }
    // With nothing running every waiting job would be eligible: the batch is over or cancelled.
    if (m_batch && m_batch->queue.running() == 0)
        finishBatch();
}

void ConversionViewModel::childFinished(const Uuid& /*id*/, FileCategory category) {
    if (!m_batch)
        return;
    m_batch->queue.finished(category);
    startEligible();
}

void ConversionViewModel::cancel() {
    if (!m_batch)
        return;
    m_batch->cancelled = true;
    for (auto& [id, worker] : m_workers)
        if (worker->inBatch)
            worker->stop.request_stop();
    ConversionLogger::shared().warning("Conversion cancelled by user", "Engine");
}

void ConversionViewModel::finishBatch() {
    if (!m_batch)
        return;
    const std::vector<Uuid> ids = std::move(m_batch->ids);
    m_batch.reset();
    m_isProcessing = false;
    emit processingChanged(false);

    int completed = 0;
    int failed = 0;
    int pending = 0;
    const std::set<Uuid> batchIds(ids.begin(), ids.end());
    for (const auto& job : m_jobs) {
        if (batchIds.count(job.id) == 0)
            continue;
        if (job.status == ConversionStatus::completed)
            ++completed;
        else if (job.status == ConversionStatus::failed)
            ++failed;
        else if (job.status == ConversionStatus::pending)
            ++pending;
    }
    ConversionLogger::shared().info("Batch complete: " + std::to_string(completed) +
                                        " converted, " + std::to_string(failed) + " failed",
                                    "Engine");
    emit batchFinished(completed, failed, pending);

    if (pending > 0) {
        showToast(Toast::make(Toast::Kind::warning, "Cancelled",
                              std::to_string(completed) + " done \u00B7 " +
                                  std::to_string(pending) + " not started"));
        return;
    }
    if (completed == 0 && failed == 0)
        return;
    if (completed == 0) {
        showToast(Toast::make(Toast::Kind::error, "Conversion failed",
                              plural(static_cast<std::size_t>(failed), "file") +
                                  " could not be converted"));
    } else if (failed > 0) {
        showToast(Toast::make(Toast::Kind::warning, "Finished with errors",
                              std::to_string(completed) + " converted \u00B7 " +
                                  std::to_string(failed) + " failed"));
    } else {
        showToast(Toast::make(Toast::Kind::success, "Done",
                              plural(static_cast<std::size_t>(completed), "file") + " converted"));
    }
    if (!m_services.isApplicationActive())
        postCompletionNotification(completed, failed);
    if (failed == 0 && completed > 0)
        maybeRequestReview();
}

void ConversionViewModel::postCompletionNotification(int completed, int failed) {
    // The freedesktop.org service needs no permission; the first post of a run stands for it.
    m_notificationsRequested = true;
    const std::string title =
        failed > 0 ? "Conversion finished with errors" : "Conversion complete";
    std::string body = plural(static_cast<std::size_t>(completed), "file") + " converted";
    if (failed > 0)
        body += " \u00B7 " + std::to_string(failed) + " failed";
    emit notificationPosted(QString::fromStdString(title), QString::fromStdString(body));
    auto notify = m_services.notify;
    runInBackground([notify, title, body] { notify(title, body); });
}

void ConversionViewModel::maybeRequestReview() {
    ++m_successfulBatches;
    persist(kSuccessfulBatchesKey, m_successfulBatches);
    if (m_successfulBatches < 2)
        return;
    const auto shown = m_services.settings->stringValue(kReviewRequestedKey);
    if (shown && *shown == m_services.appVersion)
        return;
    persist(kReviewRequestedKey, m_services.appVersion);
    emit reviewRequested();
}

// ---- One conversion ----------------------------------------------------------------------------

void ConversionViewModel::runInBackground(std::function<void()> work) {
    const std::uint64_t key = m_nextWorker++;
    auto worker = std::make_unique<Worker>();
    worker->thread = std::jthread([this, key, work = std::move(work)] {
        work();
        QMetaObject::invokeMethod(
            this, [this, key] { m_workers.erase(key); }, Qt::QueuedConnection);
    });
    m_workers.emplace(key, std::move(worker));
}

// From a worker thread: the job's progress, applied on the main thread while it converts.
void ConversionViewModel::reportProgress(const Uuid& id, double value) {
    QMetaObject::invokeMethod(
        this,
        [this, id, value] {
            changeJob(id, [value](ConversionJob& job) {
                if (job.status == ConversionStatus::converting)
                    job.progress = value;
            });
        },
        Qt::QueuedConnection);
}

void ConversionViewModel::startConversion(const Uuid& id, bool inBatch,
                                          std::function<void()> done) {
    ConversionJob* found = findJob(id);
    if (found == nullptr) {
        if (done)
            done();
        return;
    }
    found->status = ConversionStatus::converting;
    found->progress = 0;
    found->errorMessage.reset();
    emit jobUpdated(id);
    const ConversionJob snapshot = *found;
    const fs::path outputDir = found->customOutputDir.value_or(m_outputDirectory);

    const std::uint64_t key = m_nextWorker++;
    auto worker = std::make_unique<Worker>();
    worker->inBatch = inBatch;
    const std::stop_token stop = worker->stop.get_token();
    auto convert = m_services.convert;
    worker->thread = std::jthread(
        [this, key, id, snapshot, outputDir, stop, convert, done = std::move(done)]() mutable {
            ProgressThrottle throttle(
                id, [this](const Uuid& jobID, double value) { reportProgress(jobID, value); });
            std::optional<fs::path> output;
            std::string message;
            bool cancelled = false;
            try {
                output = convert(snapshot, outputDir, throttle.handler(), stop);
            } catch (const ConversionError& failure) {
                cancelled = failure.kind() == ConversionError::Kind::cancelled;
                message = failure.what();
            } catch (const std::exception& failure) {
                message = failure.what();
            }
            if (!output && stop.stop_requested())
                cancelled = true;
            QMetaObject::invokeMethod(
                this,
                [this, key, id, output, message, cancelled, done = std::move(done)] {
                    m_workers.erase(key);
                    if (output)
                        conversionSucceeded(id, *output);
                    else
                        conversionFailed(id, message, cancelled);
                    if (done)
                        done();
                },
                Qt::QueuedConnection);
        });
    m_workers.emplace(key, std::move(worker));
}

void ConversionViewModel::conversionSucceeded(const Uuid& id, const fs::path& output) {
    ConversionJob* found = findJob(id);
    if (found == nullptr)
        return;
    found->status = ConversionStatus::completed;
    found->progress = 1.0;
    found->outputURL = output;
    std::error_code error;
    const auto size = fs::is_regular_file(output, error) ? fs::file_size(output, error) : 0;
    found->outputSize = error || !fs::is_regular_file(output, error)
                            ? std::nullopt
                            : std::optional<std::int64_t>(static_cast<std::int64_t>(size));
    const ConversionJob done = *found;
    emit jobUpdated(id);
    recordStats(done.fileSize, done.outputSize);
    recordRecent(done);
    trashOriginalIfWanted(done);
}

void ConversionViewModel::conversionFailed(const Uuid& id, const std::string& message,
                                           bool cancelled) {
    changeJob(id, [&](ConversionJob& job) {
        if (cancelled) {
            job.status = ConversionStatus::pending;
            job.progress = 0;
            job.errorMessage.reset();
        } else {
            job.status = ConversionStatus::failed;
            job.errorMessage = message;
        }
    });
}

void ConversionViewModel::convertSingleJob(const Uuid& id) {
    const ConversionJob* found = job(id);
    if (found == nullptr || !found->targetFormat ||
        (found->status != ConversionStatus::pending && found->status != ConversionStatus::failed))
        return;
    if (!found->customOutputDir && !ensureOutputLocationChosen())
        return;
    changeJob(id, [](ConversionJob& job) {
        job.status = ConversionStatus::pending;
        job.progress = 0;
        job.errorMessage.reset();
    });
    startConversion(id, false, {});
}

// ---- Outcomes ----------------------------------------------------------------------------------

void ConversionViewModel::recordStats(std::int64_t sourceSize,
                                      std::optional<std::int64_t> outputSize) {
    ++m_statsTotalConversions;
    if (outputSize && *outputSize < sourceSize)
        m_statsBytesSaved += sourceSize - *outputSize;
    persistMany({{kStatsTotalConversionsKey, m_statsTotalConversions},
                 {kStatsBytesSavedKey, m_statsBytesSaved}});
    emit statisticsChanged();
}

void ConversionViewModel::recordRecent(const ConversionJob& job) {
    if (!job.targetFormat)
        return;
    RecentJob recent{
        .id = Uuid::random(),
        .sourcePath = job.sourceURL.string(),
        .sourceFormatRaw = std::string(rawValue(job.detectedFormat)),
        .targetFormatRaw = std::string(rawValue(*job.targetFormat)),
        .timestamp = std::chrono::system_clock::now(),
        .bookmark = job.sourceURL.string(),
    };
    std::erase_if(m_recents, [&](const RecentJob& other) {
        return other.sourcePath == recent.sourcePath &&
               other.targetFormatRaw == recent.targetFormatRaw;
    });
    m_recents.insert(m_recents.begin(), std::move(recent));
    if (m_recents.size() > kMaxRecents)
        m_recents.resize(kMaxRecents);
    persist(kRecentsKey, encodeRecents(m_recents));
    emit recentsChanged();
}

void ConversionViewModel::replayRecent(const RecentJob& recent) {
    const fs::path source =
        recent.bookmark ? fs::path(*recent.bookmark) : fs::path(recent.sourcePath);
    std::error_code error;
    if (!fs::exists(source, error)) {
        ConversionLogger::shared().warning(
            "Recents: source file missing \u2014 " + recent.sourcePath, "Recents");
        showToast(Toast::make(Toast::Kind::warning, "File not found",
                              nameOf(recent.sourcePath) + " has moved or been deleted"));
        return;
    }
    addFiles({source});
    const auto target = formatFromRawValue(recent.targetFormatRaw);
    if (!target)
        return;
    const fs::path key = normalised(source);
    for (auto it = m_jobs.rbegin(); it != m_jobs.rend(); ++it) {
        if (it->sourceURL == key) {
            setTargetFormat(*target, it->id);
            break;
        }
    }
}

void ConversionViewModel::trashOriginalIfWanted(const ConversionJob& done) {
    if (m_keepOriginals)
        return;
    // Every target of this source must have succeeded first.
    for (const auto& other : m_jobs)
        if (other.sourceURL == done.sourceURL && other.status != ConversionStatus::completed)
            return;
    const fs::path source = done.sourceURL;
    const std::string name = done.fileName;
    auto trash = m_services.trash;
    runInBackground([this, source, name, trash] {
        std::optional<std::string> failure;
        try {
            trash(source);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!failure) {
            ConversionLogger::shared().info("Moved original to Trash: " + name, "Files");
            return;
        }
        ConversionLogger::shared().warning("Could not trash original " + name + ": " + *failure,
                                           "Files");
        QMetaObject::invokeMethod(
            this,
            [this, name] {
                showToast(Toast::make(Toast::Kind::warning, "Original kept",
                                      name + " couldn't be moved to the Trash"));
            },
            Qt::QueuedConnection);
    });
}

// ---- Compression -------------------------------------------------------------------------------

void ConversionViewModel::compress(const Uuid& id, CompressionLevel level) {
    const ConversionJob* found = job(id);
    if (found == nullptr || found->status == ConversionStatus::converting)
        return;
    if (!found->customOutputDir && !ensureOutputLocationChosen())
        return;
    m_compressingJob.reset();
    emit uiFlagsChanged();
    changeJob(id, [](ConversionJob& job) {
        job.status = ConversionStatus::converting;
        job.progress = 0;
        job.errorMessage.reset();
    });
    const ConversionJob snapshot = *job(id);
    const fs::path outputDir = snapshot.customOutputDir.value_or(m_outputDirectory);

    const std::uint64_t key = m_nextWorker++;
    auto worker = std::make_unique<Worker>();
    const std::stop_token stop = worker->stop.get_token();
    auto compressFile = m_services.compress;
    worker->thread = std::jthread([this, key, id, snapshot, outputDir, level, stop, compressFile] {
        ProgressThrottle throttle(
            id, [this](const Uuid& jobID, double value) { reportProgress(jobID, value); });
        std::optional<fs::path> output;
        std::string message;
        try {
            std::error_code ignored;
            fs::create_directories(outputDir, ignored);
            output = compressFile({.source = snapshot.sourceURL,
                                   .format = snapshot.detectedFormat,
                                   .level = level,
                                   .outputDir = outputDir,
                                   .replacingOriginal = false,
                                   .progress = throttle.handler(),
                                   .stop = stop});
        } catch (const std::exception& failure) {
            message = failure.what();
        }
        QMetaObject::invokeMethod(
            this,
            [this, key, id, output, message, name = snapshot.fileName] {
                m_workers.erase(key);
                if (!output) {
                    changeJob(id, [&](ConversionJob& job) {
                        job.status = ConversionStatus::failed;
                        job.errorMessage = message;
                    });
                    ConversionLogger::shared().error("Compress failed: " + message, "Compress",
                                                     name);
                    return;
                }
                std::error_code error;
                const auto size = fs::file_size(*output, error);
                changeJob(id, [&](ConversionJob& job) {
                    if (error || size < 1) {
                        job.status = ConversionStatus::failed;
                        job.errorMessage = "Compressed file was not written.";
                        return;
                    }
                    job.status = ConversionStatus::completed;
                    job.progress = 1.0;
                    job.outputURL = *output;
                    job.outputSize = static_cast<std::int64_t>(size);
                });
            },
            Qt::QueuedConnection);
    });
    m_workers.emplace(key, std::move(worker));
}

// ---- Editing the queue -------------------------------------------------------------------------

void ConversionViewModel::removeJob(const Uuid& id) {
    const ConversionJob* found = job(id);
    if (found == nullptr || found->status == ConversionStatus::converting)
        return;
    std::erase_if(m_jobs, [&](const ConversionJob& job) { return job.id == id; });
    if (m_selection.erase(id) != 0)
        emit selectionChanged();
    emit jobsChanged();
}

void ConversionViewModel::removeSelected() {
    const auto before = m_jobs.size();
    std::erase_if(m_jobs, [&](const ConversionJob& job) {
        return m_selection.count(job.id) != 0 && job.status != ConversionStatus::converting;
    });
    std::erase_if(m_selection, [&](const Uuid& id) { return job(id) == nullptr; });
    emit selectionChanged();
    if (m_jobs.size() != before)
        emit jobsChanged();
}

void ConversionViewModel::clearCompleted() {
    std::size_t count = 0;
    std::erase_if(m_jobs, [&](const ConversionJob& job) {
        if (job.status != ConversionStatus::completed)
            return false;
        m_selection.erase(job.id);
        ++count;
        return true;
    });
    ConversionLogger::shared().info("Cleared " + std::to_string(count) + " completed items",
                                    "Files");
    emit selectionChanged();
    emit jobsChanged();
}

void ConversionViewModel::clearAll() {
    std::erase_if(m_jobs, [](const ConversionJob& job) {
        return job.status != ConversionStatus::converting;
    });
    std::erase_if(m_selection, [&](const Uuid& id) { return job(id) == nullptr; });
    if (m_jobs.empty())
        ConversionLogger::shared().info("Cleared all files", "Files");
    else
        ConversionLogger::shared().info(
            "Cleared all files (" + std::to_string(m_jobs.size()) + " converting kept)", "Files");
    emit selectionChanged();
    emit jobsChanged();
}

void ConversionViewModel::duplicateJob(const Uuid& id) {
    const auto at = std::find_if(m_jobs.begin(), m_jobs.end(),
                                 [&](const ConversionJob& job) { return job.id == id; });
    if (at == m_jobs.end())
        return;
    ConversionJob copy;
    copy.sourceURL = at->sourceURL;
    copy.fileName = at->fileName;
    copy.fileSize = at->fileSize;
    copy.detectedFormat = at->detectedFormat;
    copy.imageQuality = at->imageQuality;
    copy.imageMaxEdge = at->imageMaxEdge;
    copy.stripMetadata = at->stripMetadata;
    copy.audioBitrate = at->audioBitrate;
    copy.videoGifFPS = at->videoGifFPS;
    copy.videoGifWidth = at->videoGifWidth;
    copy.customOutputDir = at->customOutputDir;
    const auto targets = possibleConversions(at->detectedFormat);
    if (targets.size() >= 2) {
        copy.targetFormat = targets.front();
        if (at->targetFormat)
            for (const auto candidate : targets)
                if (candidate != *at->targetFormat) {
                    copy.targetFormat = candidate;
                    break;
                }
    } else {
        copy.targetFormat = at->targetFormat;
    }
    const std::string name = copy.fileName;
    m_jobs.insert(at + 1, std::move(copy));
    ConversionLogger::shared().info("Duplicated: " + name, "Files");
    emit jobsChanged();
}

void ConversionViewModel::setTargetFormat(SupportedFormat format, const Uuid& id) {
    changeJob(id, [format](ConversionJob& job) {
        job.targetFormat = format;
        if (job.status == ConversionStatus::completed) {
            job.status = ConversionStatus::pending;
            job.progress = 0;
            job.outputURL.reset();
            job.outputSize.reset();
        }
    });
}

// ---- Selection, sections, panels, toasts ----------------------------------------------------

void ConversionViewModel::toggleSelection(const Uuid& id) {
    if (m_selection.erase(id) == 0)
        m_selection.insert(id);
    emit selectionChanged();
}

void ConversionViewModel::selectAllVisible() {
    m_selection.clear();
    for (const auto& job : visibleJobs())
        m_selection.insert(job.id);
    emit selectionChanged();
}

void ConversionViewModel::clearSelection() {
    m_selection.clear();
    emit selectionChanged();
}

void ConversionViewModel::toggleSection(const std::string& name) {
    if (m_expandedSections.erase(name) == 0)
        m_expandedSections.insert(name);
    persist(kExpandedSectionsKey,
            std::vector<std::string>(m_expandedSections.begin(), m_expandedSections.end()));
    emit uiFlagsChanged();
}

void ConversionViewModel::toggleLogPanel() {
    m_showLogPanel = !m_showLogPanel;
    emit uiFlagsChanged();
}

void ConversionViewModel::hideLogPanel() {
    if (assign(m_showLogPanel, false))
        emit uiFlagsChanged();
}

void ConversionViewModel::showToast(const Toast& toast) {
    m_toast = toast;
    if (m_toastDismissTask)
        m_services.timers->cancel(*m_toastDismissTask);
    const auto delay = std::chrono::milliseconds(
        static_cast<std::int64_t>(std::llround(toastDisplaySeconds(toast) * 1000.0)));
    const Uuid id = toast.id;
    m_toastDismissTask = m_services.timers->after(delay, [this, id] {
        m_toastDismissTask.reset();
        if (m_toast && m_toast->id == id) {
            m_toast.reset();
            emit toastChanged();
        }
    });
    emit toastChanged();
}

void ConversionViewModel::dismissToast() {
    if (m_toastDismissTask)
        m_services.timers->cancel(*m_toastDismissTask);
    m_toastDismissTask.reset();
    if (m_toast) {
        m_toast.reset();
        emit toastChanged();
    }
}

// ---- Derived values ----------------------------------------------------------------------------

std::vector<ConversionJob> ConversionViewModel::visibleJobs() const {
    std::vector<ConversionJob> visible;
    for (const auto& job : m_jobs) {
        if (m_libraryFilter && categoryOf(job.detectedFormat) != *m_libraryFilter)
            continue;
        if (!m_searchQuery.empty() && !localizedContains(job.fileName, m_searchQuery))
            continue;
        visible.push_back(job);
    }
    return visible;
}

int ConversionViewModel::count(FileCategory category) const {
    return static_cast<int>(std::count_if(m_jobs.begin(), m_jobs.end(), [&](const auto& job) {
        return categoryOf(job.detectedFormat) == category;
    }));
}

std::vector<ConversionJob> ConversionViewModel::selectedJobs() const {
    std::vector<ConversionJob> selected;
    for (const auto& job : m_jobs)
        if (m_selection.count(job.id) != 0)
            selected.push_back(job);
    return selected;
}

int ConversionViewModel::completedCount() const {
    return static_cast<int>(std::count_if(m_jobs.begin(), m_jobs.end(), [](const auto& job) {
        return job.status == ConversionStatus::completed;
    }));
}

int ConversionViewModel::failedCount() const {
    return static_cast<int>(std::count_if(m_jobs.begin(), m_jobs.end(), [](const auto& job) {
        return job.status == ConversionStatus::failed;
    }));
}

bool ConversionViewModel::isAnyModalOpen() const {
    return m_showFilePicker || m_showOutputDirPicker || m_compressingJob.has_value() ||
           m_showSettingsPopover || m_showConversionsInfo;
}

std::vector<std::string> ConversionViewModel::allowedContentTypes() const {
    if (!m_filePickerCategory)
        return {};
    switch (*m_filePickerCategory) {
    case FileCategory::image:
        return {"image/png",    "image/jpeg",    "image/tiff",
                "image/bmp",    "image/gif",     "image/heic",
                "image/heif",   "image/webp",    "image/vnd.microsoft.icon",
                "image/avif",   "image/svg+xml", "image/vnd.adobe.photoshop",
                "image/x-tga",  "image/jp2",     "image/jxl",
                "image/x-icns", "image/x-dcraw"};
    case FileCategory::video:
        return {"video/mp4", "video/quicktime", "video/x-m4v", "video/x-msvideo", "video/webm"};
    case FileCategory::audio:
        return {"audio/mpeg",  "audio/aac",    "audio/mp4",
                "audio/x-wav", "audio/x-aiff", "audio/flac"};
    case FileCategory::document:
        return {"text/plain",
                "application/rtf",
                "text/html",
                "application/pdf",
                "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                "text/markdown",
                "application/epub+zip",
                "text/csv",
                "text/tab-separated-values",
                "application/json",
                "application/x-subrip",
                "text/vtt"};
    case FileCategory::archive:
        return {"application/zip", "application/gzip", "application/x-tar", "application/x-xz",
                "application/x-bzip2"};
    case FileCategory::font: return {"font/ttf", "font/otf", "font/woff", "font/woff2"};
    case FileCategory::unknown: return {};
    }
    return {};
}

// ---- Log panel ---------------------------------------------------------------------------------

void ConversionViewModel::setLogLevelFilter(std::optional<LogEntry::Level> level) {
    m_logFilter.level = level;
    emit logChanged();
}

void ConversionViewModel::setLogSearchText(const std::string& text) {
    m_logFilter.searchText = text;
    emit logChanged();
}

std::vector<LogEntry> ConversionViewModel::visibleLogEntries() const {
    return m_logFilter.apply(logger().entries());
}

std::string ConversionViewModel::logEmptyText() const {
    const auto all = logger().entries();
    return std::string(kv::logEmptyText(all.size(), m_logFilter.apply(all).size()));
}

std::string ConversionViewModel::exportLogText() const {
    return logger().exportText();
}

void ConversionViewModel::clearLog() {
    logger().clear();
    emit logChanged();
}

// ---- Pictures and waiting ----------------------------------------------------------------------

std::optional<Thumbnail> ConversionViewModel::thumbnail(const Uuid& id) {
    const ConversionJob* found = job(id);
    if (found == nullptr)
        return std::nullopt;
    return m_thumbnails->request(found->sourceURL, found->detectedFormat);
}

bool ConversionViewModel::waitUntilIdle(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_batch || !m_workers.empty()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (m_batch || !m_workers.empty())
            QThread::msleep(1);
    }
    QCoreApplication::processEvents();
    return true;
}

} // namespace kv
