// The desktop start: the window, pre-loaded files, one instance per user, and screenshots.
#pragma once

#include <string>
#include <vector>

namespace kv::ui {

/// Opens the window (files after "--seed-files" pre-loaded). Without a display it says so on
/// stderr and returns 2. A second start hands its files to the running window and returns 0.
int runDesktop(const std::vector<std::string>& args);

/// "--render-screenshots <dir>": draws the main window (light and dark), the compress sheet, the
/// log panel and the settings off-screen into PNG files in <dir> with a fixed set of sample rows.
int renderScreenshots(const std::vector<std::string>& args);

/// Whether a window can be shown: an X11 or Wayland display, or a Qt platform chosen explicitly.
bool hasDisplay();

} // namespace kv::ui
