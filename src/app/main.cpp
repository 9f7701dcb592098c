// Kelvane's entry: decides the mode once, from the arguments, before any window exists.
#include "frontends/cli/command_line.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto mode = kv::CommandLine::selectMode(args);
    return kv::CommandLine::run(mode, args);
}
