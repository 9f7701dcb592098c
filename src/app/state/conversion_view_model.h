// The desktop application's single source of state: the queue, its batches, settings, recents,
// statistics and notices. Lives on the main thread; the window reads it and calls its commands.
#pragma once

#include "app/state/app_types.h"
#include "app/state/log_filter.h"
#include "app/state/thumbnail_cache.h"
#include "app/state/timers.h"
#include "compress/compression_level.h"
#include "compress/compressor.h"
#include "engine/job.h"
#include "engine/logger.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

namespace kv {

class SettingsStore;

/// Everything the state reaches outside itself; tests replace single members. An empty member
/// takes the real service.
struct ViewModelServices {
    /// The settings file; default: `SettingsStore::shared()` (the one the headless entries use).
    SettingsStore* settings = nullptr;
    /// One conversion on a worker thread; default `ConversionEngine::convert`.
    std::function<std::filesystem::path(const ConversionJob&,
                                        const std::filesystem::path& outputDir,
                                        std::function<void(double)> progress, std::stop_token)>
        convert = {};
    /// One compressed copy on a worker thread; default `Compressor::compress`.
    std::function<std::filesystem::path(const Compressor::CompressRequest&)> compress = {};
    /// Moves a file to the user's Trash; throws with the reason on failure. Default: GIO.
    std::function<void(const std::filesystem::path&)> trash = {};
    /// Posts a system notification; runs on a worker thread. Default: the freedesktop.org
    /// Notifications service on the session bus.
    std::function<void(const std::string& title, const std::string& body)> notify = {};
    /// The modal folder panel; none when cancelled. The window installs a dialog; without one
    /// every panel counts as cancelled.
    std::function<std::optional<std::filesystem::path>(const FolderPanelRequest&)> folderPanel = {};
    /// Whether Kelvane is the active application; default: never (no window).
    std::function<bool()> isApplicationActive = {};
    /// Delayed calls for toast dismissal; default: QTimers on the main thread.
    std::shared_ptr<Timers> timers = {};
    /// Makes row pictures; default: the media modules' decoders.
    ThumbnailCache::Maker thumbnails = {};
    /// Active processor cores for the batch limits; 0 = this machine's.
    int activeCores = 0;
    /// The application's short version string (for the review prompt).
    std::string appVersion = {};
};

class ConversionViewModel : public QObject {
    Q_OBJECT

  public:
    // Settings keys, exactly as stored.
    static constexpr const char* kStatsTotalConversionsKey = "Kelvane.statsTotalConversions";
    static constexpr const char* kStatsBytesSavedKey = "Kelvane.statsBytesSaved";
    static constexpr const char* kAppearanceModeKey = "Kelvane.appearanceMode";
    static constexpr const char* kImageQualityKey = "Kelvane.imageQuality";
    static constexpr const char* kImageMaxEdgeKey = "Kelvane.imageMaxEdge";
    static constexpr const char* kStripMetadataKey = "Kelvane.stripMetadata";
    static constexpr const char* kAudioBitrateKey = "Kelvane.audioBitrate";
    static constexpr const char* kAccentKey = "Kelvane.accent";
    static constexpr const char* kCustomAccentKey = "customAccentHex";
    static constexpr const char* kKeepOriginalsKey = "Kelvane.keepOriginals";
    static constexpr const char* kBackgroundTintKey = "Kelvane.backgroundTint";
    static constexpr const char* kBackgroundTintStrengthKey = "Kelvane.backgroundTintStrength";
    static constexpr const char* kDefaultTargetsKey = "Kelvane.defaultTargets";
    static constexpr const char* kRecentsKey = "Kelvane.recents";
    static constexpr const char* kOutputDirBookmarkKey = "Kelvane.outputDirBookmark";
    static constexpr const char* kExpandedSectionsKey = "Kelvane.sidebarExpandedSections";
    static constexpr const char* kSuccessfulBatchesKey = "Kelvane.successfulBatches";
    static constexpr const char* kReviewRequestedKey = "Kelvane.reviewRequestedForVersion";

    static constexpr std::size_t kMaxRecents = 10;

    /// Loads every setting once (a corrupt value falls back to its default and is logged).
    explicit ConversionViewModel(ViewModelServices services = {}, QObject* parent = nullptr);
    /// Cancels a running batch and single conversions and waits for their workers: no partial
    /// output stays behind. Unfinished jobs are not kept for the next start.
    ~ConversionViewModel() override;

    ConversionViewModel(const ConversionViewModel&) = delete;
    ConversionViewModel& operator=(const ConversionViewModel&) = delete;

    // ---- Published fields (read) -------------------------------------------------------------
    const std::vector<ConversionJob>& jobs() const { return m_jobs; }
    /// The job with this id, or null.
    const ConversionJob* job(const Uuid& id) const;
    bool isProcessing() const { return m_isProcessing; }
    bool showFilePicker() const { return m_showFilePicker; }
    bool isDragTargeted() const { return m_isDragTargeted; }
    const std::filesystem::path& outputDirectory() const { return m_outputDirectory; }
    bool hasChosenOutputLocation() const { return m_hasChosenOutputLocation; }
    AppearanceMode appearanceMode() const { return m_appearanceMode; }
    bool showOutputDirPicker() const { return m_showOutputDirPicker; }
    bool showLogPanel() const { return m_showLogPanel; }
    const std::optional<Toast>& toast() const { return m_toast; }
    double imageQuality() const { return m_imageQuality; }
    int imageMaxEdge() const { return m_imageMaxEdge; }
    bool stripMetadata() const { return m_stripMetadata; }
    int audioBitrate() const { return m_audioBitrate; }
    const std::vector<RecentJob>& recents() const { return m_recents; }
    const std::set<std::string>& expandedSections() const { return m_expandedSections; }
    std::int64_t statsTotalConversions() const { return m_statsTotalConversions; }
    std::int64_t statsBytesSaved() const { return m_statsBytesSaved; }
    bool showConversionsInfo() const { return m_showConversionsInfo; }
    const std::optional<FileCategory>& libraryFilter() const { return m_libraryFilter; }
    const std::string& searchQuery() const { return m_searchQuery; }
    const std::set<Uuid>& selection() const { return m_selection; }
    bool showSettingsPopover() const { return m_showSettingsPopover; }
    bool isFullScreen() const { return m_isFullScreen; }
    bool sidebarCollapsed() const { return m_sidebarCollapsed; }
    AccentChoice accent() const { return m_accent; }
    /// 0xRRGGBB.
    std::uint32_t customAccent() const { return m_customAccent; }
    bool keepOriginals() const { return m_keepOriginals; }
    bool backgroundTint() const { return m_backgroundTint; }
    double backgroundTintStrength() const { return m_backgroundTintStrength; }
    const std::map<FileCategory, SupportedFormat>& defaultTargets() const {
        return m_defaultTargets;
    }
    const std::optional<FileCategory>& filePickerCategory() const { return m_filePickerCategory; }
    ColorScheme resolvedColorScheme() const { return m_resolvedColorScheme; }
    ConversionLogger& logger() const { return ConversionLogger::shared(); }
    /// A copy of the log, as of the last `logChanged`.
    std::vector<LogEntry> logEntries() const { return logger().entries(); }
    const std::optional<ConversionJob>& compressingJob() const { return m_compressingJob; }
    bool notificationsRequested() const { return m_notificationsRequested; }
    /// "Kelvane.successfulBatches".
    std::int64_t successfulBatches() const { return m_successfulBatches; }

    // ---- Published fields (write; each persisted one writes its key) -------------------------
    void setShowFilePicker(bool value);
    void setDragTargeted(bool value);
    void setAppearanceMode(AppearanceMode mode);
    void setShowOutputDirPicker(bool value);
    void setImageQuality(double quality);
    void setImageMaxEdge(int pixels);
    void setStripMetadata(bool value);
    void setAudioBitrate(int bitsPerSecond);
    void setShowConversionsInfo(bool value);
    void setLibraryFilter(std::optional<FileCategory> category);
    void setSearchQuery(const std::string& query);
    void setShowSettingsPopover(bool value);
    void setFullScreen(bool value);
    void setSidebarCollapsed(bool value);
    void setAccent(AccentChoice accent);
    void setCustomAccent(std::uint32_t rgb);
    void setKeepOriginals(bool value);
    void setBackgroundTint(bool value);
    void setBackgroundTintStrength(double strength);
    void setFilePickerCategory(std::optional<FileCategory> category);
    /// Opens or closes the compress sheet for a queued job (none closes it).
    void setCompressingJob(std::optional<Uuid> id);
    /// The desktop's effective appearance changed (`updateResolvedScheme`).
    void updateResolvedScheme(std::optional<ColorScheme> systemScheme = {});

    // ---- Commands ----------------------------------------------------------------------------
    /// Adds sources to the queue: unsupported and duplicate files are skipped (log lines, one
    /// toast for the unsupported ones). A folder adds the files inside it, recursively, in name
    /// order.
    void addFiles(const std::vector<std::filesystem::path>& urls);

    void convertAll();
    void convertSelected();
    void retryAllFailed();
    /// One row outside a batch: no label, no `isProcessing`, no summary.
    void convertSingleJob(const Uuid& id);
    /// The stop button: cancels the running batch.
    void cancel();

    void removeJob(const Uuid& id);
    void removeSelected();
    void clearCompleted();
    void clearAll();
    void duplicateJob(const Uuid& id);
    void setTargetFormat(SupportedFormat format, const Uuid& id);
    void setCustomOutputDir(const std::filesystem::path& dir, const Uuid& id);
    void pickOutputDirForJob(const Uuid& id);

    std::optional<SupportedFormat> defaultTarget(const ConversionJob& job) const;
    void setDefaultTarget(SupportedFormat format, FileCategory category);

    /// True when an output folder was chosen before or is chosen now in the panel.
    bool ensureOutputLocationChosen();
    /// Sets the global output folder and stores it.
    void applyGlobalOutputDirectory(const std::filesystem::path& folder);
    /// Asks for the global output folder (the toolbar's folder button); cancelled: nothing.
    void chooseOutputDirectory();

    /// Compresses one queued file at a level into its output folder; the source stays.
    void compress(const Uuid& id, CompressionLevel level);

    void replayRecent(const RecentJob& recent);

    void toggleSelection(const Uuid& id);
    void selectAllVisible();
    void clearSelection();
    void toggleSection(const std::string& name);
    void toggleLogPanel();
    void hideLogPanel();
    void showToast(const Toast& toast);
    void dismissToast();

    // ---- Derived values ----------------------------------------------------------------------
    /// Queue order, filtered by `libraryFilter` and `searchQuery`.
    std::vector<ConversionJob> visibleJobs() const;
    int count(FileCategory category) const;
    std::vector<ConversionJob> selectedJobs() const;
    int completedCount() const;
    int failedCount() const;
    bool canConvert() const;
    /// "Choose folder…" until a folder is chosen, then its name.
    std::string outputDirName() const;
    bool isAnyModalOpen() const;
    /// MIME types for the file picker of `filePickerCategory`; empty = every file.
    std::vector<std::string> allowedContentTypes() const;
    /// The total and per-category batch limits in force here.
    int activeCores() const { return m_activeCores; }

    // ---- Log panel ---------------------------------------------------------------------------
    const LogFilter& logFilter() const { return m_logFilter; }
    void setLogLevelFilter(std::optional<LogEntry::Level> level);
    void setLogSearchText(const std::string& text);
    std::vector<LogEntry> visibleLogEntries() const;
    /// "No logs yet", "No matching logs" or empty.
    std::string logEmptyText() const;
    /// The whole log as text, for the clipboard.
    std::string exportLogText() const;
    void clearLog();

    // ---- Row pictures ------------------------------------------------------------------------
    /// The job's picture when ready; otherwise starts making it (`thumbnailReady` follows).
    std::optional<Thumbnail> thumbnail(const Uuid& id);

    /// Waits (running the event loop) until no batch, single conversion, compression or
    /// notification is running, or `timeoutMs` passed. For tests and orderly shutdown.
    bool waitUntilIdle(int timeoutMs = 600000);

  signals:
    /// Rows were added, removed or reordered.
    void jobsChanged();
    /// One row's fields changed (status, progress, target, output…).
    void jobUpdated(const kv::Uuid& id);
    void processingChanged(bool processing);
    void toastChanged();
    /// Any persisted preference, default targets or the output folder changed.
    void settingsChanged();
    void outputDirectoryChanged();
    void recentsChanged();
    void statisticsChanged();
    void selectionChanged();
    /// `libraryFilter` or `searchQuery` changed.
    void filterChanged();
    /// A UI flag (pickers, panels, popover, full screen, sidebar, compress sheet) changed.
    void uiFlagsChanged();
    void colorSchemeChanged();
    /// The conversion log or the log panel's filter changed.
    void logChanged();
    void thumbnailReady(const kv::Uuid& id);
    /// The rating prompt should be shown (at most once per version).
    void reviewRequested();
    /// A system notification was handed to the notification service.
    void notificationPosted(const QString& title, const QString& body);
    /// A batch ended; arguments are its completed, failed and still pending counts.
    void batchFinished(int completed, int failed, int pending);

  private:
    struct Worker;
    struct Batch;

    void loadSettings();
    void persist(const char* key, const nlohmann::json& value);
    void persistMany(std::map<std::string, nlohmann::json> values);

    ConversionJob* findJob(const Uuid& id);
    void startBatch(std::vector<Uuid> ids, const std::string& label);
    void startEligible();
    void childFinished(const Uuid& id, FileCategory category);
    void finishBatch();
    void startConversion(const Uuid& id, bool inBatch, std::function<void()> done);
    void reportProgress(const Uuid& id, double value);
    void conversionSucceeded(const Uuid& id, const std::filesystem::path& output);
    void conversionFailed(const Uuid& id, const std::string& message, bool cancelled);
    void recordStats(std::int64_t sourceSize, std::optional<std::int64_t> outputSize);
    void recordRecent(const ConversionJob& job);
    void trashOriginalIfWanted(const ConversionJob& job);
    void postCompletionNotification(int completed, int failed);
    void maybeRequestReview();
    void runInBackground(std::function<void()> work);
    void reapWorkers();
    void changeJob(const Uuid& id, const std::function<void(ConversionJob&)>& change);
    void setOutputDirectoryFromStore();

    ViewModelServices m_services;
    int m_activeCores = 2;

    std::vector<ConversionJob> m_jobs;
    bool m_isProcessing = false;
    bool m_showFilePicker = false;
    bool m_isDragTargeted = false;
    std::filesystem::path m_outputDirectory;
    bool m_hasChosenOutputLocation = false;
    AppearanceMode m_appearanceMode = AppearanceMode::dark;
    bool m_showOutputDirPicker = false;
    bool m_showLogPanel = false;
    std::optional<Toast> m_toast;
    std::optional<Timers::Id> m_toastDismissTask;
    double m_imageQuality = 0.92;
    int m_imageMaxEdge = 0;
    bool m_stripMetadata = false;
    int m_audioBitrate = 256000;
    std::vector<RecentJob> m_recents;
    std::set<std::string> m_expandedSections;
    std::int64_t m_statsTotalConversions = 0;
    std::int64_t m_statsBytesSaved = 0;
    bool m_showConversionsInfo = false;
    std::optional<FileCategory> m_libraryFilter;
    std::string m_searchQuery;
    std::set<Uuid> m_selection;
    bool m_showSettingsPopover = false;
    bool m_isFullScreen = false;
    bool m_sidebarCollapsed = false;
    AccentChoice m_accent = AccentChoice::paper;
    std::uint32_t m_customAccent = 0x4C9AFF;
    bool m_keepOriginals = true;
    bool m_backgroundTint = false;
    double m_backgroundTintStrength = 0.5;
    std::map<FileCategory, SupportedFormat> m_defaultTargets;
    std::optional<FileCategory> m_filePickerCategory;
    ColorScheme m_resolvedColorScheme = ColorScheme::dark;
    std::optional<ConversionJob> m_compressingJob;
    bool m_notificationsRequested = false;
    std::int64_t m_successfulBatches = 0;
    LogFilter m_logFilter;

    std::unique_ptr<Batch> m_batch; // the running batch (`conversionTask`)
    std::map<std::uint64_t, std::unique_ptr<Worker>> m_workers;
    std::uint64_t m_nextWorker = 1;
    std::unique_ptr<ThumbnailCache> m_thumbnails;
    struct SettingsWriter;
    std::unique_ptr<SettingsWriter> m_settingsWriter;
};

} // namespace kv

Q_DECLARE_METATYPE(kv::Uuid)
