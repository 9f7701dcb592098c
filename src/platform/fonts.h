// The font engine (FreeType): loads SFNT bytes from memory and reports what the validator needs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kv::platform {

struct FontFacts {
    std::string postScriptName; // empty when the font has none
    long glyphCount = 0;
};

/// Loads face 0 of the font in `data`; nothing when FreeType cannot load it.
std::optional<FontFacts> loadFontFacts(std::span<const std::uint8_t> data);

} // namespace kv::platform
