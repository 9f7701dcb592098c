// Limits and tables shared by the RTF reader and writer.
#pragma once

#include <cstddef>

namespace kv::richtext::rtf {

/// Group nesting the reader follows; word processors write fewer than 50 levels.
constexpr std::size_t kMaxGroupDepth = 1000;
/// Control-word names longer than this are not RTF (the format caps them at 32 letters).
constexpr std::size_t kMaxControlWordLetters = 32;
/// Default font size in half-points (12 pt), as RTF defines it.
constexpr int kDefaultHalfPoints = 24;
/// Largest \fs the reader takes, in half-points (the 1,638 pt word processors allow).
constexpr int kMaxHalfPoints = 3276;
/// Default ANSI code page when the header names none.
constexpr int kDefaultCodePage = 1252;

/// The Windows code page behind an \fcharset value; 0 when the document's own code page applies.
constexpr int codePageForCharset(int charset) {
    switch (charset) {
    case 77: return 10000;
    case 128: return 932;
    case 129: return 949;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    default: return 0;
    }
}

} // namespace kv::richtext::rtf
