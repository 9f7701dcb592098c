// A window over a state with private settings and an output folder already chosen.
#pragma once

#include "app/state/conversion_view_model.h"
#include "app/ui/main_window.h"
#include "frontends/in_place/folder_access.h"
#include "platform/settings_store.h"
#include "support/test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

namespace kv::test {

struct WindowHarness {
    TempDir dir;
    std::filesystem::path output = dir.path() / "out";
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<FolderAccess> grants;
    std::unique_ptr<ConversionViewModel> state;
    std::unique_ptr<ui::MainWindow> window;

    WindowHarness() {
        std::filesystem::create_directories(output);
        store = std::make_unique<SettingsStore>(dir.path() / "settings.json");
        store->set(ConversionViewModel::kOutputDirBookmarkKey, output.string());
        grants = std::make_unique<FolderAccess>(*store);
        ViewModelServices services;
        services.settings = store.get();
        services.notify = [](const std::string&, const std::string&) {};
        state = std::make_unique<ConversionViewModel>(services);
        window = std::make_unique<ui::MainWindow>(*state, *grants);
        window->show();
        // Shortcuts reach only the active window; there is no window manager to activate it.
        QApplication::setActiveWindow(window.get());
        window->queueView()->setFocus();
        QCoreApplication::processEvents();
    }

    ~WindowHarness() {
        window.reset();
        state.reset(); // cancels and joins whatever still runs
    }
};

/// Runs the event loop until `done` holds or `timeoutMs` passed; the final value of `done`.
template <typename Done> bool waitFor(Done done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

/// A 1600 × 1067 landscape with texture, saved as JPEG (what a phone photo compresses like).
void writePhoto(const std::filesystem::path& file);
/// A small PNG picture.
void writePicture(const std::filesystem::path& file, int width = 64, int height = 48);

} // namespace kv::test
