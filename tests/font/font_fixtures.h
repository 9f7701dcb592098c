// Fixtures for the font tests: real fonts from Debian packages and small fonts built in code.
#pragma once

#include "font/font_bytes.h"
#include "font/sfnt.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kv::test::fonts {

using FontConverter::Bytes;

inline const std::filesystem::path kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline const std::filesystem::path kCantarell =
    "/usr/share/fonts/opentype/cantarell/Cantarell-Regular.otf";
inline const std::filesystem::path kCollection = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

Bytes readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const Bytes& bytes);

struct Point {
    int x = 0, y = 0;
    bool onCurve = true;
};

/// A simple TrueType glyph in the form a WOFF2 decoder rebuilds (no repeat flags, shortest
/// coordinate forms), so a round trip must give the same bytes. `box` overrides the computed one.
Bytes simpleGlyph(const std::vector<std::vector<Point>>& contours, const Bytes& instructions = {},
                  std::optional<std::array<std::int16_t, 4>> box = {});

/// A composite glyph: numberOfContours −1, `box`, the raw component records, then the
/// instructions (when `instructions` is set, the last component must carry the flag 0x0100).
Bytes compositeGlyph(std::array<std::int16_t, 4> box, const Bytes& components,
                     std::optional<Bytes> instructions = {});

/// glyf and loca for `glyphs` laid end to end; loca long (indexFormat 1) or short (0).
struct GlyfLoca {
    Bytes glyf, loca;
};
GlyfLoca glyfAndLoca(const std::vector<Bytes>& glyphs, int indexFormat);

/// A small TrueType font around `glyphs`: head, hhea, maxp, hmtx, name, post, glyf, loca.
FontConverter::SFNT makeFont(const std::vector<Bytes>& glyphs, int indexFormat = 1);

/// The big-endian value of `width` bytes at `offset`.
std::uint32_t readBE(const Bytes& bytes, std::size_t offset, std::size_t width);

} // namespace kv::test::fonts
