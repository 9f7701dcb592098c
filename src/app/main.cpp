// Kelvane's entry: decides the mode once, from the arguments, before any window exists.
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
    return kv::CommandLine::run(mode, args);
}
