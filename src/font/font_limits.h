// Size limits shared by the font decoders.
#pragma once

#include <cstdint>

namespace kv::FontConverter {

/// Largest decoded font accepted: far above any real font (the largest CJK fonts are ~30 MB),
/// low enough that a hostile header cannot make us allocate gigabytes.
constexpr std::uint64_t kMaxFontBytes = 256ull << 20;
inline constexpr const char* kFontTooLargeMessage = "Font would decode to more than 256 MB.";

/// A WOFF2 whose tables add up to more than this many times its Brotli stream is refused, as the
/// reference decoder does: real fonts compress 2–5×.
constexpr std::uint64_t kMaxWOFF2ExpansionRatio = 100;

/// DEFLATE cannot expand data by more than about 1032:1 (258-byte matches in 2-bit codes), so a
/// WOFF table declaring more than this many times its zlib bytes is malformed.
constexpr std::uint64_t kMaxDeflateExpansionRatio = 1032;

} // namespace kv::FontConverter
