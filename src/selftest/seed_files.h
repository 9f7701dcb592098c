// The seed files of the self-test: one small, valid file per starting format.
#pragma once

#include "formats/supported_format.h"

#include <filesystem>
#include <map>
#include <string_view>
#include <vector>

namespace kv::SeedFiles {

/// The name every seed shares before its extension: a space, non-ASCII letters and an emoji, as
/// users' file names have them.
inline constexpr std::string_view kSeedStem = "seed café Ünïcode 🎞";

/// "/tmp/kv-test-" + the process id, emptied and created.
std::filesystem::path makeTempRoot();

/// 64 × 64 RGB picture through the image encoder.
std::filesystem::path makeSeedPNG(const std::filesystem::path& dir);
/// Half a second of a 440 Hz sine at half scale, mono 16-bit, 44.1 kHz.
std::filesystem::path makeSeedWAV(const std::filesystem::path& dir);
/// H.264 frames of changing hue with a silent AAC track.
std::filesystem::path makeSeedMP4(const std::filesystem::path& dir);
std::filesystem::path makeSeedTXT(const std::filesystem::path& dir);
/// An animated, looping GIF of 32 × 32 frames in different colours.
std::filesystem::path makeSeedGIF(const std::filesystem::path& dir);
std::filesystem::path makeSeedCSV(const std::filesystem::path& dir);
/// Three cues, the last an hour in.
std::filesystem::path makeSeedSRT(const std::filesystem::path& dir);
/// "zip-staging/hello.txt" packed by our ZIP writer.
std::filesystem::path makeSeedZIP(const std::filesystem::path& dir);
/// Copies the first font under the system font folders with extension `ext`, preferring the file
/// names in `candidates` in order; for "otf" only CFF-flavoured fonts count.
std::filesystem::path copyFirstSystemFont(const std::vector<std::string_view>& candidates,
                                          std::string_view ext, const std::filesystem::path& dir);

/// Every seed in order, the formats no conversion produces included (jpg, heif, webp, jxl, raw,
/// avi, webm, mp3). Throws on the first seed that cannot be made.
std::map<SupportedFormat, std::filesystem::path> makeAllSeeds(const std::filesystem::path& dir);

} // namespace kv::SeedFiles
