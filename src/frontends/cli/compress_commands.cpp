// "--estimate" and "--compress": the compression levels of one file, and one compressed copy.
#include "base/size_text.h"
#include "compress/compressor.h"
#include "engine/file_detector.h"
#include "frontends/cli/command_line.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace kv::CommandLine {
namespace {

constexpr std::size_t kLevelColumn = 17; // characters, left-aligned
constexpr std::size_t kSizeColumn = 11;  // right-aligned
constexpr std::size_t kSavedColumn = 8;  // right-aligned

void printOut(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}
void printErr(const std::string& text) {
    std::fputs(text.c_str(), stderr);
}

// Characters, not bytes: "—" is one column.
std::size_t characters(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++count;
    return count;
}

// A value longer than its column is not cut.
std::string padRight(std::string_view text, std::size_t width) {
    const std::size_t length = characters(text);
    return std::string(text) + std::string(length < width ? width - length : 0, ' ');
}
std::string padLeft(std::string_view text, std::size_t width) {
    const std::size_t length = characters(text);
    return std::string(length < width ? width - length : 0, ' ') + std::string(text);
}

std::string tableRow(std::string_view level, std::string_view size, std::string_view saved,
                     std::string_view quality) {
    return padRight(level, kLevelColumn) + padLeft(size, kSizeColumn) +
           padLeft(saved, kSavedColumn) + "  " + std::string(quality) + "\n";
}

} // namespace

std::string estimateTable(const std::vector<CompressionEstimate>& rows) {
    std::string table = tableRow("LEVEL", "SIZE", "SAVED", "QUALITY");
    for (const auto& row : rows)
        table += tableRow(title(row.level), sizeText(row), savedText(row), qualityText(row));
    return table;
}

int runEstimate(const std::vector<std::string>& args) {
    const auto file = operand(args, "--estimate", 1);
    if (!file) {
        printErr("usage: --estimate <file>\n");
        return 2;
    }
    const auto format = FileDetector::detect(*file);
    if (!format) {
        printOut("unrecognised file\n");
        return 1;
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(*file, error);
    const auto target = Compressor::compressionTarget(*format);
    printOut("source: " + std::string(displayName(*format)) + "  " +
             formatByteCount(error ? 0 : static_cast<std::int64_t>(size)) + "  -> compresses as " +
             (target ? std::string(displayName(*target)) : std::string("n/a")) + "\n");

    const auto started = std::chrono::steady_clock::now();
    const auto rows = Compressor::estimates(*file, *format);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    printOut(estimateTable(rows) + "measured in " + formatFixed(elapsed.count(), 2) + "s\n");
    return 0;
}

int runCompress(const std::vector<std::string>& args) {
    const auto file = operand(args, "--compress", 1);
    const auto levelText = operand(args, "--compress", 2);
    const auto outputDir = operand(args, "--compress", 3);
    const auto level = levelText ? compressionLevelFromRaw(*levelText) : std::nullopt;
    if (!file || !level || !outputDir) {
        printErr("usage: --compress <file> <maximum|high|balanced|small|tiny> <outdir>\n");
        return 2;
    }
    const auto format = FileDetector::detect(*file);
    if (!format) {
        printErr("unrecognised file\n");
        return 1;
    }
    try {
        const auto output = Compressor::compress({.source = *file,
                                                  .format = *format,
                                                  .level = *level,
                                                  .outputDir = *outputDir,
                                                  .replacingOriginal = false});
        printOut(output.string() + "\n");
        return 0;
    } catch (const std::exception& failure) {
        printErr(std::string("compress failed: ") + failure.what() + "\n");
        return 1;
    }
}

} // namespace kv::CommandLine
