// Byte helpers shared by the ZIP, TAR and GZIP code.
#include "archive/archive_bytes.h"

#include "base/size_text.h"
#include "base/utf8.h"

#include <array>
#include <libdeflate.h>

namespace kv::ArchiveConverter {
namespace {

// Windows-1252 0x80..0x9F; 0 marks the five undefined bytes.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool isValidUtf8(ByteView bytes) {
    return kv::isValidUtf8(bytes);
}

} // namespace

std::uint32_t crc32Checksum(ByteView data) {
    // libdeflate's CRC-32 is the same ISO-HDLC checksum, folded with carry-less multiplies.
    return data.empty() ? 0u : libdeflate_crc32(0, data.data(), data.size());
}

std::string decodeArchiveName(ByteView bytes) {
    if (isValidUtf8(bytes))
        return std::string(asText(bytes));
    bool cp1252 = true;
    for (const std::uint8_t b : bytes) {
        if (b >= 0x80 && b <= 0x9F && kCp1252High[b - 0x80u] == 0)
            cp1252 = false;
    }
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        const char32_t c =
            (cp1252 && b >= 0x80 && b <= 0x9F) ? kCp1252High[b - 0x80u] : char32_t{b};
        appendUtf8(text, c);
    }
    return text;
}

std::string sanitizePath(std::string_view name) {
    if (name.find('\0') != std::string_view::npos)
        return {};
    std::string result;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && name[end] != '/' && name[end] != '\\')
            ++end;
        const std::string_view part = name.substr(start, end - start);
        if (!part.empty() && part != "." && part != "..") {
            if (!result.empty())
                result.push_back('/');
            result.append(part);
        }
        start = end + 1;
    }
    return result;
}

std::string formattedArchiveLimit() {
    return formatByteCount(static_cast<std::int64_t>(kMaxArchiveBytes));
}

} // namespace kv::ArchiveConverter
