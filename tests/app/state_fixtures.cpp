// Helpers for the state tests.
#include "app/state_fixtures.h"

#include "engine/dispatch/conversion_engine.h"

#include <gtest/gtest.h>

namespace kv::test {

decltype(ViewModelServices::convert) EngineProbe::convert() {
    return [this](const ConversionJob& job, const std::filesystem::path& dir,
                  std::function<void(double)> progress, std::stop_token stop) {
        {
            std::lock_guard guard(lock);
            started.push_back(job.fileName);
        }
        const int now = ++inFlight;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        struct Leave {
            std::atomic<int>& count;
            ~Leave() { --count; }
        } leave{inFlight};
        return ConversionEngine::convert(job, dir, std::move(progress), std::move(stop));
    };
}

StateHarness::StateHarness(ViewModelServices services, bool chooseOutput) {
    store = std::make_unique<SettingsStore>(dir.path() / "config" / "settings.json");
    output = dir.path() / "out";
    if (chooseOutput) {
        std::filesystem::create_directories(output);
        store->set(ConversionViewModel::kOutputDirBookmarkKey, output.string());
    }
    services.settings = store.get();
    if (!services.timers)
        services.timers = timers;
    if (!services.notify)
        services.notify = [](const std::string&, const std::string&) {};
    model = std::make_unique<ConversionViewModel>(std::move(services));
}

void StateHarness::settle() {
    ASSERT_TRUE(model->waitUntilIdle(300000)) << "the model did not become idle";
}

std::vector<std::filesystem::path> writeTables(const std::filesystem::path& folder, int count,
                                               const std::string& prefix) {
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < count; ++i) {
        const auto file = folder / (prefix + std::to_string(i) + ".csv");
        writeFile(file, "name,value\nrow" + std::to_string(i) + "," + std::to_string(i * 7) +
                            "\nother,2\n");
        files.push_back(file);
    }
    return files;
}

std::vector<std::filesystem::path> writePictures(const std::filesystem::path& folder, int count,
                                                 const std::string& size) {
    std::vector<std::filesystem::path> files;
    std::filesystem::create_directories(folder);
    for (int i = 0; i < count; ++i) {
        const auto file = folder / ("picture" + std::to_string(i) + ".png");
        const auto made = runProgram({"convert", "-size", size, "-seed", std::to_string(i + 1),
                                      "plasma:fractal", file.string()});
        EXPECT_EQ(made.exitCode, 0) << made.err;
        files.push_back(file);
    }
    return files;
}

int logLinesStartingWith(const std::string& prefix) {
    int count = 0;
    for (const auto& entry : ConversionLogger::shared().entries())
        if (entry.message.rfind(prefix, 0) == 0)
            ++count;
    return count;
}

} // namespace kv::test
