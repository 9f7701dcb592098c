// Helpers for the state tests: a view model over a private settings file, fixture files made
// with Debian tools, and an engine wrapper that records how many conversions really overlap.
#pragma once

#include "app/state/conversion_view_model.h"
#include "platform/settings_store.h"
#include "support/test_support.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kv::test {

/// Conversions that are inside the real engine at the same moment, counted around the call.
struct EngineProbe {
    std::atomic<int> inFlight{0};
    std::atomic<int> peak{0};
    std::mutex lock;
    std::vector<std::string> started; // file names in start order

    /// The real engine's convert, counted.
    decltype(ViewModelServices::convert) convert();
};

/// A view model whose settings live in `dir`/settings.json and whose toasts run on `timers`.
struct StateHarness {
    TempDir dir;
    std::unique_ptr<SettingsStore> store;
    std::shared_ptr<ManualTimers> timers = std::make_shared<ManualTimers>();
    std::unique_ptr<ConversionViewModel> model;
    std::filesystem::path output;

    /// Services not given take the harness defaults: private settings, manual timers, an output
    /// folder already chosen, no system notifications.
    explicit StateHarness(ViewModelServices services = {}, bool chooseOutput = true);

    std::filesystem::path file(const std::string& name) const { return dir.path() / name; }
    /// Runs the event loop until the model is idle; fails the test on a time-out.
    void settle();
};

/// CSV tables of a few rows ("a.csv" …).
std::vector<std::filesystem::path> writeTables(const std::filesystem::path& folder, int count,
                                               const std::string& prefix = "table");
/// Small PNG pictures made by ImageMagick, `size` "WxH".
std::vector<std::filesystem::path> writePictures(const std::filesystem::path& folder, int count,
                                                 const std::string& size = "320x240");

/// Log lines whose message starts with `prefix`.
int logLinesStartingWith(const std::string& prefix);

} // namespace kv::test
