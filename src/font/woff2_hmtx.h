// WOFF2's transformed hmtx, read only: bearings left out where they equal the glyph's xMin.
#pragma once

#include "font/font_bytes.h"

namespace kv::WOFF2Hmtx {

/// Rebuilds hmtx; omitted bearings come from the glyph boxes of the (rebuilt) glyf through loca.
/// Throws corruptFile on a bad metric count or short data.
FontConverter::Bytes reconstruct(FontConverter::ByteView data, int numGlyphs, int numberOfHMetrics,
                                 FontConverter::ByteView glyf, FontConverter::ByteView loca,
                                 int indexFormat);

} // namespace kv::WOFF2Hmtx
