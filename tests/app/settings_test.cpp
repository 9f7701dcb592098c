// Preferences through the shared settings file, and a damaged file at start.
#include "app/state_fixtures.h"
#include "frontends/in_place/folder_access.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json readJson(const fs::path& file) {
    std::ifstream in(file);
    return json::parse(in);
}

TEST(Settings, RoundTripThroughTheStoreFile) {
    TempDir dir;
    const auto file = dir.path() / "settings.json";
    const auto outDir = dir.path() / "chosen";
    fs::create_directories(outDir);
    Uuid recentId;
    // A folder grant of the in-place entries lives in the same file and must survive.
    FolderAccess(*std::make_unique<SettingsStore>(file)).grant(outDir);
    {
        SettingsStore store(file);
        ConversionViewModel model({.settings = &store, .timers = std::make_shared<ManualTimers>()});
        model.setAppearanceMode(AppearanceMode::light);
        model.setImageQuality(0.5);
        model.setImageMaxEdge(1024);
        model.setStripMetadata(true);
        model.setAudioBitrate(128000);
        model.setAccent(AccentChoice::teal);
        model.setCustomAccent(0x123456);
        model.setKeepOriginals(false);
        model.setBackgroundTint(true);
        model.setBackgroundTintStrength(0.25);
        model.setDefaultTarget(SupportedFormat::webp, FileCategory::image);
        model.toggleSection("Recents");
        model.applyGlobalOutputDirectory(outDir);
        const auto tables = writeTables(dir.path(), 1);
        model.addFiles(tables);
        model.setTargetFormat(SupportedFormat::json, model.jobs()[0].id);
        model.convertAll();
        ASSERT_TRUE(model.waitUntilIdle(120000));
        ASSERT_EQ(model.recents().size(), 1u);
        recentId = model.recents()[0].id;
    }
    const json stored = readJson(file);
    EXPECT_EQ(stored["Kelvane.appearanceMode"], "Light");
    EXPECT_EQ(stored["Kelvane.accent"], "teal");
    EXPECT_EQ(stored["customAccentHex"], 0x123456);
    EXPECT_EQ(stored["Kelvane.defaultTargets"], json({{"Image", "webp"}}));
    EXPECT_EQ(stored["Kelvane.statsTotalConversions"], 1);
    EXPECT_EQ(stored["Kelvane.keepOriginals"], false);
    EXPECT_EQ(stored["Kelvane.folderBookmarks"].size(), 1u);

    SettingsStore store(file);
    ConversionViewModel model({.settings = &store, .timers = std::make_shared<ManualTimers>()});
    EXPECT_EQ(model.appearanceMode(), AppearanceMode::light);
    EXPECT_EQ(model.resolvedColorScheme(), ColorScheme::light);
    EXPECT_EQ(model.imageQuality(), 0.5);
    EXPECT_EQ(model.imageMaxEdge(), 1024);
    EXPECT_TRUE(model.stripMetadata());
    EXPECT_EQ(model.audioBitrate(), 128000);
    EXPECT_EQ(model.accent(), AccentChoice::teal);
    EXPECT_EQ(model.customAccent(), 0x123456u);
    EXPECT_FALSE(model.keepOriginals());
    EXPECT_TRUE(model.backgroundTint());
    EXPECT_EQ(model.backgroundTintStrength(), 0.25);
    EXPECT_EQ(model.defaultTargets().at(FileCategory::image), SupportedFormat::webp);
    EXPECT_EQ(model.expandedSections(), std::set<std::string>{"Recents"});
    EXPECT_TRUE(model.hasChosenOutputLocation());
    EXPECT_EQ(model.outputDirectory(), outDir);
    EXPECT_EQ(model.outputDirName(), "chosen");
    EXPECT_EQ(model.statsTotalConversions(), 1);
    ASSERT_EQ(model.recents().size(), 1u);
    EXPECT_EQ(model.recents()[0].id, recentId);
    EXPECT_EQ(model.recents()[0].targetFormatRaw, "json");
}

TEST(Settings, TruncatedFileStartsWithDefaultsAndIsKeptAside) {
    TempDir dir;
    const auto file = dir.path() / "settings.json";
    const std::string damaged = "{\"Kelvane.imageQuality\": 0.4, \"Kelvane.folderBookmarks\": {";
    writeFile(file, damaged);
    ConversionLogger::shared().clear();
    {
        SettingsStore store(file);
        ConversionViewModel model({.settings = &store, .timers = std::make_shared<ManualTimers>()});
        EXPECT_EQ(model.imageQuality(), 0.92);
        EXPECT_EQ(model.appearanceMode(), AppearanceMode::dark);
        EXPECT_TRUE(model.keepOriginals());
        EXPECT_FALSE(model.hasChosenOutputLocation());
    }
    EXPECT_EQ(logLinesStartingWith("Settings file could not be read"), 1);
    EXPECT_EQ(readFile(fs::path(file).concat(".corrupt")), damaged);
    // The defaults were written back: the file is whole again.
    EXPECT_EQ(readJson(file)["Kelvane.imageQuality"], 0.92);
}

TEST(Settings, WrongTypesAndUnknownValuesFallBackToDefaults) {
    TempDir dir;
    const auto file = dir.path() / "settings.json";
    writeFile(file, R"({
        "Kelvane.imageQuality": "high",
        "Kelvane.keepOriginals": 0,
        "Kelvane.stripMetadata": false,
        "Kelvane.appearanceMode": "Sepia",
        "Kelvane.accent": 7,
        "Kelvane.audioBitrate": -5,
        "Kelvane.defaultTargets": {"Image": "png", "Nope": "jpeg", "Video": "nothing"},
        "Kelvane.recents": "[{\"id\": 3}]",
        "Kelvane.outputDirBookmark": "/nonexistent/folder/kelvane",
        "Kelvane.sidebarExpandedSections": [1, 2],
        "Kelvane.statsBytesSaved": 9007199254740993
    })");
    ConversionLogger::shared().clear();
    {
        SettingsStore store(file);
        ConversionViewModel model({.settings = &store, .timers = std::make_shared<ManualTimers>()});
        EXPECT_EQ(model.imageQuality(), 0.92);
        EXPECT_TRUE(model.keepOriginals());
        EXPECT_FALSE(model.stripMetadata()); // a stored false is kept
        EXPECT_EQ(model.appearanceMode(), AppearanceMode::dark);
        EXPECT_EQ(model.accent(), AccentChoice::paper);
        EXPECT_EQ(model.audioBitrate(), 256000);
        EXPECT_EQ(model.defaultTargets(), (std::map<FileCategory, SupportedFormat>{
                                              {FileCategory::image, SupportedFormat::png}}));
        EXPECT_TRUE(model.recents().empty());
        EXPECT_FALSE(model.hasChosenOutputLocation());
        EXPECT_TRUE(model.expandedSections().empty());
        EXPECT_EQ(model.statsBytesSaved(), 9007199254740993);
    }
    EXPECT_GE(logLinesStartingWith("Setting Kelvane.imageQuality has an unexpected value"), 1);
    const json stored = readJson(file);
    EXPECT_FALSE(stored.contains("Kelvane.outputDirBookmark"));
    EXPECT_EQ(stored["Kelvane.keepOriginals"], true);
}

TEST(Settings, ReviewPromptAtMostOncePerVersionAfterTwoCleanBatches) {
    StateHarness h({.appVersion = "9.9"});
    int prompts = 0;
    QObject::connect(h.model.get(), &ConversionViewModel::reviewRequested, [&] { ++prompts; });
    for (int round = 0; round < 3; ++round) {
        h.model->addFiles(writeTables(h.dir.path(), 1, "r" + std::to_string(round)));
        h.model->convertAll();
        h.settle();
        EXPECT_EQ(prompts, round == 0 ? 0 : 1) << round;
    }
    EXPECT_EQ(h.model->successfulBatches(), 3);
    h.model.reset();
    EXPECT_EQ(h.store->stringValue(ConversionViewModel::kReviewRequestedKey), "9.9");
}

} // namespace
} // namespace kv::test
