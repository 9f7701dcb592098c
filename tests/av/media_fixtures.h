// Media fixtures made with the ffmpeg command line, and ffprobe as the independent reader.
#pragma once

#include "engine/convert_request.h"
#include "support/test_support.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kv::test {

/// Runs ffmpeg (quiet, overwriting) with the arguments; fails the test when it fails.
void ffmpeg(const std::vector<std::string>& args);

/// ffprobe's view of one file: "stream.N.key" and "format.key" (tags as "format.tag.title").
using Probe = std::map<std::string, std::string>;
Probe probe(const std::filesystem::path& file);
/// Presentation times (seconds) of the packets of the first video stream.
std::vector<double> videoPacketTimes(const std::filesystem::path& file);
/// The index of the first stream of a type ("video", "audio") in a probe, or -1.
int streamOf(const Probe& info, const std::string& type);
std::string field(const Probe& info, int stream, const std::string& key);
/// A container-level field ("duration", "tags.title"), empty when absent.
std::string formatField(const Probe& info, const std::string& key);
double number(const std::string& text);

/// Every entry in a folder, hidden ones included.
std::vector<std::string> entriesOf(const std::filesystem::path& folder);

/// A request for a converter operation with the defaults the engine passes.
ConvertRequest requestFor(const std::filesystem::path& source, SupportedFormat sourceFormat,
                          SupportedFormat target, const std::filesystem::path& outputDir);

#define KV_REQUIRE_FFMPEG()                                                                        \
    do {                                                                                           \
        if (!::kv::test::haveTool("ffmpeg") || !::kv::test::haveTool("ffprobe"))                   \
            GTEST_SKIP() << "ffmpeg and ffprobe make and read the fixtures";                       \
    } while (false)

} // namespace kv::test
