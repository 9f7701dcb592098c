// Subtitle cues and the SubRip (SRT) reader and writer; timestamps in both subtitle formats.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::DataConverter {

/// One subtitle: its number in the source, start and end in seconds, text lines joined by LF.
struct Cue {
    int index = 0;
    double start = 0;
    double end = 0;
    std::string text;

    friend bool operator==(const Cue&, const Cue&) = default;
};

/// What a subtitle reader had to leave out: blocks with text but no usable timing line.
struct SubtitleReadReport {
    std::size_t skippedBlocks = 0;
    std::size_t firstSkippedBlock = 0; // 1-based block position
};

/// Seconds from "hh:mm:ss,ttt", "mm:ss.ttt", "ss" and the like; settings after a space are ignored.
std::optional<double> parseTimestamp(std::string_view field);

/// "hh:mm:ss,ttt" (srt) or "hh:mm:ss.ttt"; negative, non-finite and absurdly large times give zero.
std::string stamp(double seconds, bool srt);

/// Cues of SRT text, in source order; unusable blocks are skipped (and counted in `report`).
std::vector<Cue> parseSRT(std::string_view text, SubtitleReadReport* report = nullptr);

/// Canonical SRT: cues numbered by position, a blank line between cues.
std::string writeSRT(const std::vector<Cue>& cues);

} // namespace kv::DataConverter
