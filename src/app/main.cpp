// Kelvane's entry: decides the mode once, from the arguments, before any window exists.
#include "app/module/ui_module.h"
#include "engine/interruption.h"
#include "engine/leftovers.h"
#include "frontends/cli/command_line.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Before any thread starts, so that every thread inherits the blocked signals.
    kv::Interruption::install();
    // Pending outputs and staging folders of Kelvane processes that were killed.
    kv::Leftovers::sweep();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto mode = kv::CommandLine::selectMode(args);
    // The headless modes never load Qt; only the two below open the window's module.
    if (mode == kv::CommandLine::Mode::renderScreenshots)
        return kv::ui_module::renderScreenshots(args);
    if (mode == kv::CommandLine::Mode::desktop)
        return kv::ui_module::runDesktop(args);
    return kv::CommandLine::run(mode, args);
}
