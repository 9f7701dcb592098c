// Adding files, default targets, editing the queue, toasts and the log panel's filter.
#include "app/state/batch_limits.h"
#include "app/state_fixtures.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

TEST(ConversionViewModel, DuplicateDropAddsOneJobAndLogsOneSkip) {
    StateHarness h;
    const auto tables = writeTables(h.dir.path(), 1);
    ConversionLogger::shared().clear();
    h.model->addFiles({tables[0]});
    // The same file again, once spelled through "." so the paths differ as text.
    h.model->addFiles({tables[0].parent_path() / "." / tables[0].filename()});
    ASSERT_EQ(h.model->jobs().size(), 1u);
    EXPECT_EQ(logLinesStartingWith("Skipping duplicate: table0.csv"), 1);
    EXPECT_EQ(logLinesStartingWith("Added: table0.csv (CSV)"), 1);
    const auto& job = h.model->jobs()[0];
    EXPECT_EQ(job.status, ConversionStatus::pending);
    ASSERT_TRUE(job.targetFormat.has_value());
    EXPECT_EQ(*job.targetFormat, possibleConversions(SupportedFormat::csv).front());
    EXPECT_FALSE(h.model->toast().has_value());
}

TEST(ConversionViewModel, UnsupportedFilesGiveOneToast) {
    StateHarness h;
    for (const char* name : {"one.xyz", "two.qqq", "three.zzz"})
        writeFile(h.file(name), std::string(64, '\x01'));
    h.model->addFiles({h.file("one.xyz"), h.file("two.qqq"), h.file("three.zzz")});
    EXPECT_TRUE(h.model->jobs().empty());
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->kind, Toast::Kind::warning);
    EXPECT_EQ(h.model->toast()->title, "Skipped 3 unsupported files");
    EXPECT_EQ(h.model->toast()->detail, "Including one.xyz");

    h.model->addFiles({h.file("two.qqq")});
    EXPECT_EQ(h.model->toast()->title, "Skipped unsupported file");
    EXPECT_EQ(h.model->toast()->detail, "two.qqq");
}

TEST(ConversionViewModel, FolderAddsItsFilesInNameOrderSkippingHiddenOnes) {
    StateHarness h;
    const auto folder = h.dir.path() / "drop";
    writeTables(folder / "b", 2, "t");
    writeTables(folder, 1, "a");
    writeTables(folder / ".hidden", 1, "h");
    h.model->addFiles({folder});
    ASSERT_EQ(h.model->jobs().size(), 3u);
    EXPECT_EQ(h.model->jobs()[0].fileName, "a0.csv");
    EXPECT_EQ(h.model->jobs()[1].sourceURL, folder / "b" / "t0.csv");
    EXPECT_EQ(h.model->jobs()[2].sourceURL, folder / "b" / "t1.csv");
}

TEST(ConversionViewModel, DefaultTargetsApplyToNewAndPendingJobsOnly) {
    StateHarness h;
    const auto tables = writeTables(h.dir.path(), 3);
    h.model->addFiles({tables[0], tables[1]});
    h.model->setDefaultTarget(SupportedFormat::tsv, FileCategory::document);
    EXPECT_EQ(h.model->jobs()[0].targetFormat, SupportedFormat::tsv);
    EXPECT_EQ(h.model->jobs()[1].targetFormat, SupportedFormat::tsv);
    h.model->addFiles({tables[2]});
    EXPECT_EQ(h.model->jobs()[2].targetFormat, SupportedFormat::tsv);

    // A default the format cannot reach is not applied: a TSV table cannot become TSV.
    writeFile(h.file("t.tsv"), "a\tb\n1\t2\n");
    h.model->addFiles({h.file("t.tsv")});
    EXPECT_NE(h.model->jobs()[3].targetFormat, SupportedFormat::tsv);
    EXPECT_FALSE(h.model->defaultTarget(h.model->jobs()[3]).has_value());
}

TEST(ConversionViewModel, EditingTheQueue) {
    StateHarness h;
    const auto tables = writeTables(h.dir.path(), 3);
    h.model->addFiles(tables);
    const Uuid first = h.model->jobs()[0].id;
    h.model->duplicateJob(first);
    ASSERT_EQ(h.model->jobs().size(), 4u);
    const auto& copy = h.model->jobs()[1];
    EXPECT_EQ(copy.sourceURL, tables[0]);
    EXPECT_NE(copy.id, first);
    EXPECT_NE(copy.targetFormat, h.model->jobs()[0].targetFormat);
    EXPECT_EQ(logLinesStartingWith("Duplicated: table0.csv"), 1);

    h.model->toggleSelection(first);
    h.model->toggleSelection(copy.id);
    EXPECT_EQ(h.model->selectedJobs().size(), 2u);
    h.model->removeSelected();
    EXPECT_EQ(h.model->jobs().size(), 2u);
    EXPECT_TRUE(h.model->selection().empty());

    h.model->setSearchQuery("TABLE2");
    ASSERT_EQ(h.model->visibleJobs().size(), 1u);
    h.model->selectAllVisible();
    EXPECT_EQ(h.model->selection().size(), 1u);
    h.model->setLibraryFilter(FileCategory::image);
    EXPECT_TRUE(h.model->visibleJobs().empty());
    EXPECT_EQ(h.model->count(FileCategory::document), 2);

    h.model->clearAll();
    EXPECT_TRUE(h.model->jobs().empty());
    EXPECT_TRUE(h.model->selection().empty());
}

TEST(ConversionViewModel, TargetChangeReturnsCompletedJobToPending) {
    StateHarness h;
    const auto tables = writeTables(h.dir.path(), 1);
    h.model->addFiles(tables);
    const Uuid id = h.model->jobs()[0].id;
    h.model->setTargetFormat(SupportedFormat::json, id);
    h.model->convertSingleJob(id);
    h.settle();
    ASSERT_EQ(h.model->job(id)->status, ConversionStatus::completed)
        << h.model->job(id)->errorMessage.value_or("");
    ASSERT_TRUE(h.model->job(id)->outputURL.has_value());
    EXPECT_TRUE(std::filesystem::exists(*h.model->job(id)->outputURL));
    // A single row shows no batch summary.
    EXPECT_FALSE(h.model->toast().has_value());

    h.model->setTargetFormat(SupportedFormat::tsv, id);
    const ConversionJob* job = h.model->job(id);
    EXPECT_EQ(job->status, ConversionStatus::pending);
    EXPECT_EQ(job->progress, 0.0);
    EXPECT_FALSE(job->outputURL.has_value());
    EXPECT_TRUE(h.model->canConvert());
}

TEST(ConversionViewModel, ToastStaysForItsWordCountByTheClock) {
    StateHarness h;
    h.model->showToast(Toast::make(Toast::Kind::success, "Done", std::string("now")));
    h.timers->advance(std::chrono::milliseconds(2399));
    EXPECT_TRUE(h.model->toast().has_value());
    h.timers->advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(h.model->toast().has_value());

    std::string thirty;
    for (int i = 0; i < 29; ++i)
        thirty += "word ";
    h.model->showToast(Toast::make(Toast::Kind::warning, "Title", thirty));
    h.timers->advance(std::chrono::milliseconds(7999));
    EXPECT_TRUE(h.model->toast().has_value());
    h.timers->advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(h.model->toast().has_value());

    // A newer toast replaces the old one and the old one's dismissal no longer applies.
    h.model->showToast(Toast::make(Toast::Kind::error, "First", std::string("one")));
    h.timers->advance(std::chrono::milliseconds(2000));
    h.model->showToast(Toast::make(Toast::Kind::error, "Second", std::string("two")));
    h.timers->advance(std::chrono::milliseconds(1000));
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->title, "Second");
    EXPECT_EQ(h.timers->pending(), 1u);
}

TEST(BatchLimits, FollowTheCoreCount) {
    EXPECT_EQ(BatchLimits::total(1), 2);
    EXPECT_EQ(BatchLimits::total(8), 6);
    EXPECT_EQ(BatchLimits::total(16), 6);
    EXPECT_EQ(BatchLimits::forCategory(FileCategory::image, 8), 6);
    EXPECT_EQ(BatchLimits::forCategory(FileCategory::audio, 8), 4);
    EXPECT_EQ(BatchLimits::forCategory(FileCategory::video, 16), 2);
    EXPECT_EQ(BatchLimits::forCategory(FileCategory::document, 16), 1);

    // A waiting document does not hold back the images queued behind it.
    BatchQueue queue({{Uuid::random(), FileCategory::document},
                      {Uuid::random(), FileCategory::document},
                      {Uuid::random(), FileCategory::image},
                      {Uuid::random(), FileCategory::image}},
                     8);
    EXPECT_EQ(queue.nextEligible()->category, FileCategory::document);
    EXPECT_EQ(queue.nextEligible()->category, FileCategory::image);
    EXPECT_EQ(queue.nextEligible()->category, FileCategory::image);
    EXPECT_FALSE(queue.nextEligible().has_value());
    queue.finished(FileCategory::document);
    EXPECT_EQ(queue.nextEligible()->category, FileCategory::document);
}

TEST(LogFilter, LevelAndCaseInsensitiveSearchOverMessageCategoryAndDetail) {
    const auto entry = [](LogEntry::Level level, std::string category, std::string message,
                          std::optional<std::string> detail) {
        LogEntry e;
        e.level = level;
        e.category = std::move(category);
        e.message = std::move(message);
        e.detail = std::move(detail);
        return e;
    };
    const std::vector<LogEntry> entries{
        entry(LogEntry::Level::error, "Image", "Failed", std::string("photo.PNG")),
        entry(LogEntry::Level::error, "Engine", "Output failed", std::nullopt),
        entry(LogEntry::Level::warning, "Files", "Skipping png", std::nullopt),
        entry(LogEntry::Level::error, "Png", "Failed", std::nullopt),
        entry(LogEntry::Level::info, "Straße", "ok", std::nullopt),
    };
    LogFilter filter{.level = LogEntry::Level::error, .searchText = "PNG"};
    const auto visible = filter.apply(entries);
    ASSERT_EQ(visible.size(), 2u);
    EXPECT_EQ(visible[0].detail, "photo.PNG");
    EXPECT_EQ(visible[1].category, "Png");
    EXPECT_EQ(LogFilter{}.apply(entries).size(), entries.size());
    EXPECT_EQ((LogFilter{.level = std::nullopt, .searchText = "STRASSE"}.apply(entries).size()),
              1u);
    EXPECT_EQ(logEmptyText(0, 0), "No logs yet");
    EXPECT_EQ(logEmptyText(5, 0), "No matching logs");
    EXPECT_EQ(logEmptyText(5, 1), "");
}

} // namespace
} // namespace kv::test
