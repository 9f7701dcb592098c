// The desktop window's module, kelvane-ui.so: the window, its queue state and the Qt libraries
// they need. The executable opens it only to show the window or draw screenshots, so that the
// command line, the tool server and the services never load Qt.
#pragma once

#include <string>
#include <vector>

namespace kv::ui_module {

/// Bumped whenever the table changes; the executable refuses a module of another version.
inline constexpr int kTableVersion = 1;

struct UITable {
    int version;
    int (*runDesktop)(const std::vector<std::string>& args);
    int (*renderScreenshots)(const std::vector<std::string>& args);
};

/// The window (see kv::ui::runDesktop), through the module. When the module cannot be opened,
/// says why on stderr and returns 1.
int runDesktop(const std::vector<std::string>& args);

/// The screenshots (see kv::ui::renderScreenshots), through the module; 1 when it cannot be opened.
int renderScreenshots(const std::vector<std::string>& args);

} // namespace kv::ui_module

/// The module's one exported entry.
extern "C" const kv::ui_module::UITable* kelvane_ui_module();
