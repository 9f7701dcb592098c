// WebVTT reader and writer (the reader reduces WebVTT to SRT blocks).
#pragma once

#include "data/srt.h"

#include <string>
#include <string_view>
#include <vector>

namespace kv::DataConverter {

/// Cues of WebVTT text: the header, NOTE, STYLE and REGION blocks are dropped, cue identifiers
/// that are not numbers become positions, times without hours read as minutes and seconds.
std::vector<Cue> parseVTT(std::string_view text, SubtitleReadReport* report = nullptr);

/// Canonical WebVTT: the signature line, then cue timings and texts, no identifiers or settings.
std::string writeVTT(const std::vector<Cue>& cues);

} // namespace kv::DataConverter
