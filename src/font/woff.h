// WOFF 1.0: the SFNT tables, each zlib-compressed when that makes it smaller.
#pragma once

#include "font/font_bytes.h"
#include "font/sfnt.h"

#include <cstdint>

namespace kv::FontConverter {

/// Throws corruptFile with a fixed message on any damage.
SFNT decodeWOFF(ByteView data);
/// Tables in tag order; no metadata or private block.
Bytes encodeWOFF(const SFNT& sfnt);

/// zlib framing (0x78 0x9C, raw DEFLATE, Adler-32) of the whole buffer.
Bytes zlibCompress(ByteView data);
/// Inflates a zlib stream that must yield exactly `expected` bytes.
Bytes zlibDecompress(ByteView data, std::size_t expected);
std::uint32_t adler32(ByteView data);

} // namespace kv::FontConverter
