// WOFF2: a directory with a flags byte per table and one Brotli stream holding every table.
#pragma once

#include "font/font_bytes.h"
#include "font/sfnt.h"

#include <cstdint>

namespace kv::FontConverter {

/// glyf and loca are transformed when the font allows it; other tables are stored as they are.
Bytes encodeWOFF2(const SFNT& sfnt);
/// Throws corruptFile with a fixed message on any damage.
SFNT decodeWOFF2(ByteView data);

/// One-shot Brotli at the strongest setting, in font mode.
Bytes brotliCompress(ByteView data);
/// Decodes a Brotli stream that must yield exactly `expected` bytes.
Bytes brotliDecompress(ByteView data, std::size_t expected);

/// The index of `tag` in WOFF2's table of 63 known tags, or 63 for any other.
std::uint8_t knownTagIndex(std::uint32_t tag);

} // namespace kv::FontConverter
