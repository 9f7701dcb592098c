// "--help" and "--version".
#include "formats/supported_format.h"
#include "frontends/cli/command_line.h"

#ifndef KV_VERSION
#define KV_VERSION "0.0.0"
#endif

namespace kv::CommandLine {
namespace {

std::string levelList(char separator = '|') {
    std::string list;
    for (const auto level : allCompressionLevels) {
        if (!list.empty())
            list += separator;
        list += rawValue(level);
    }
    return list;
}

// "  Image:    png jpeg …", wrapped under its label.
std::string formatLines() {
    constexpr std::size_t kWidth = 78;
    constexpr std::size_t kIndent = 14;
    std::string text;
    for (const auto category : allFileCategories()) {
        std::string line = "  " + std::string(rawValue(category)) + ":";
        line += std::string(line.size() < kIndent ? kIndent - line.size() : 1, ' ');
        bool any = false;
        for (const auto format : allFormats()) {
            if (categoryOf(format) != category)
                continue;
            const std::string id(rawValue(format));
            if (any && line.size() + 1 + id.size() > kWidth) {
                text += line + "\n";
                line = std::string(kIndent, ' ');
                any = false;
            }
            if (any)
                line += ' ';
            line += id;
            any = true;
        }
        if (any)
            text += line + "\n";
    }
    return text;
}

} // namespace

std::string helpText() {
    return "Usage:\n"
           "  kelvane                                      open the desktop window\n"
           "  kelvane --seed-files <file>...               open the window with these files "
           "queued\n"
           "  kelvane --convert <input> <target-format> <output-dir> [--strip-metadata]\n"
           "                                               convert one file; prints the output "
           "path\n"
           "  kelvane --estimate <file>                    print what each compression level would "
           "save\n"
           "  kelvane --compress <file> <" +
           levelList() +
           "> <outdir>\n"
           "                                               write a compressed copy; prints its "
           "path\n"
           "  kelvane --mcp                                serve tools as JSON-RPC over "
           "stdin/stdout\n"
           "  kelvane --test                               convert generated files through every "
           "pair\n"
           "  kelvane 'kelvane://convert?src=<path>&fmt=<format-id>'\n"
           "  kelvane 'kelvane://compress?src=<path>&level=<level>'\n"
           "                                               convert or compress beside the file, in "
           "the background\n"
           "  kelvane --dbus-service                       serve the automation actions on the "
           "session bus\n"
           "  kelvane --install-desktop-integration | --uninstall-desktop-integration\n"
           "                                               add or remove the URL handler and "
           "file-manager actions\n"
           "  kelvane --help | --version\n"
           "\n"
           "Format ids (<target-format>), by category:\n" +
           formatLines() +
           "\n"
           "Compression levels, best quality first: " +
           levelList(' ') +
           "\n"
           "\n"
           "Exit status: 0 success; 1 the work failed (unrecognised input, conversion or "
           "compression\n"
           "error, output folder not creatable); 2 bad usage (missing operands, unknown format or "
           "level).\n";
}

std::string versionText() {
    return std::string("kelvane ") + KV_VERSION + "\n";
}

} // namespace kv::CommandLine
