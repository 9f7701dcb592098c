// Fixtures for the font tests: real fonts from Debian packages and small fonts built in code.
#include "font_fixtures.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kv::test::fonts {
namespace {

void put16(Bytes& out, int value) {
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}
void put32(Bytes& out, std::uint32_t value) {
    put16(out, static_cast<int>(value >> 16));
    put16(out, static_cast<int>(value & 0xFFFF));
}

FontConverter::Table table(const char* tag, Bytes data) {
    return {FontConverter::stringToTag(tag), FontConverter::sfntChecksum(data), std::move(data)};
}

} // namespace

Bytes readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes simpleGlyph(const std::vector<std::vector<Point>>& contours, const Bytes& instructions,
                  std::optional<std::array<std::int16_t, 4>> box) {
    std::vector<Point> points;
    Bytes out;
    put16(out, static_cast<int>(contours.size()));
    std::array<int, 4> bounds{0, 0, 0, 0};
    for (const auto& c : contours)
        points.insert(points.end(), c.begin(), c.end());
    if (!points.empty()) {
        bounds = {points[0].x, points[0].y, points[0].x, points[0].y};
        for (const auto& p : points) {
            bounds = {std::min(bounds[0], p.x), std::min(bounds[1], p.y), std::max(bounds[2], p.x),
                      std::max(bounds[3], p.y)};
        }
    }
    for (std::size_t i = 0; i < 4; ++i)
        put16(out, box ? (*box)[i] : bounds[i]);
    int end = -1;
    for (const auto& c : contours)
        put16(out, end += static_cast<int>(c.size()));
    put16(out, static_cast<int>(instructions.size()));
    out.insert(out.end(), instructions.begin(), instructions.end());
    Bytes flags, xs, ys;
    int px = 0, py = 0;
    for (const auto& p : points) {
        std::uint8_t flag = p.onCurve ? 0x01 : 0x00;
        const auto axis = [&flag](int d, Bytes& bytes, std::uint8_t shortBit,
                                  std::uint8_t sameBit) {
            if (d == 0) {
                flag |= sameBit;
            } else if (d >= -255 && d <= 255) {
                flag |= static_cast<std::uint8_t>(shortBit | (d > 0 ? sameBit : 0));
                bytes.push_back(static_cast<std::uint8_t>(d > 0 ? d : -d));
            } else {
                put16(bytes, d);
            }
        };
        axis(p.x - px, xs, 0x02, 0x10);
        axis(p.y - py, ys, 0x04, 0x20);
        px = p.x;
        py = p.y;
        flags.push_back(flag);
    }
    for (const auto* part : {&flags, &xs, &ys})
        out.insert(out.end(), part->begin(), part->end());
    return out;
}

Bytes compositeGlyph(std::array<std::int16_t, 4> box, const Bytes& components,
                     std::optional<Bytes> instructions) {
    Bytes out;
    put16(out, -1);
    for (const auto v : box)
        put16(out, v);
    out.insert(out.end(), components.begin(), components.end());
    if (instructions) {
        put16(out, static_cast<int>(instructions->size()));
        out.insert(out.end(), instructions->begin(), instructions->end());
    }
    return out;
}

GlyfLoca glyfAndLoca(const std::vector<Bytes>& glyphs, int indexFormat) {
    GlyfLoca result;
    const auto entry = [&](std::size_t offset) {
        if (indexFormat) {
            put32(result.loca, static_cast<std::uint32_t>(offset));
        } else {
            put16(result.loca, static_cast<int>(offset / 2));
        }
    };
    for (const auto& g : glyphs) {
        entry(result.glyf.size());
        result.glyf.insert(result.glyf.end(), g.begin(), g.end());
        if (indexFormat == 0 && result.glyf.size() % 2)
            result.glyf.push_back(0);
    }
    entry(result.glyf.size());
    return result;
}

FontConverter::SFNT makeFont(const std::vector<Bytes>& glyphs, int indexFormat) {
    const auto numGlyphs = static_cast<int>(glyphs.size());
    const auto [glyf, loca] = glyfAndLoca(glyphs, indexFormat);

    Bytes head;
    put32(head, 0x00010000); // version
    put32(head, 0x00010000); // fontRevision
    put32(head, 0);          // checkSumAdjustment
    put32(head, 0x5F0F3CF5); // magicNumber
    put16(head, 0x000B);     // flags
    put16(head, 1000);       // unitsPerEm
    for (int i = 0; i < 4; ++i)
        put32(head, 0); // created, modified
    for (const int v : {-100, -200, 900, 800})
        put16(head, v);       // xMin, yMin, xMax, yMax
    put16(head, 0);           // macStyle
    put16(head, 8);           // lowestRecPPEM
    put16(head, 2);           // fontDirectionHint
    put16(head, indexFormat); // indexToLocFormat
    put16(head, 0);           // glyphDataFormat

    Bytes hhea;
    put32(hhea, 0x00010000);
    for (const int v : {800, -200, 0, 1000, -100, -100, 900, 1, 0, 0})
        put16(hhea, v);
    for (int i = 0; i < 5; ++i)
        put16(hhea, 0);     // reserved, metricDataFormat
    put16(hhea, numGlyphs); // numberOfHMetrics

    Bytes maxp;
    put32(maxp, 0x00010000);
    put16(maxp, numGlyphs);
    for (int i = 0; i < 13; ++i)
        put16(maxp, i == 0 ? 100 : (i == 1 ? 10 : 2));

    Bytes hmtx;
    for (int i = 0; i < numGlyphs; ++i) {
        put16(hmtx, 600);
        put16(hmtx, glyphs[static_cast<std::size_t>(i)].size() >= 4
                        ? static_cast<std::int16_t>(glyphs[static_cast<std::size_t>(i)][2] << 8 |
                                                    glyphs[static_cast<std::size_t>(i)][3])
                        : 0);
    }

    // name: format 0, one Windows Unicode record holding the PostScript name (nameID 6).
    const std::string psName = "KelvaneTest-Regular";
    Bytes name;
    put16(name, 0);
    put16(name, 1);
    put16(name, 6 + 12);
    for (const int v : {3, 1, 0x409, 6, static_cast<int>(psName.size() * 2), 0})
        put16(name, v);
    for (const char c : psName)
        put16(name, c);

    Bytes post;
    put32(post, 0x00030000);
    for (int i = 0; i < 7; ++i)
        put32(post, 0);

    FontConverter::SFNT font;
    font.tables = {table("head", head), table("hhea", hhea), table("maxp", maxp),
                   table("hmtx", hmtx), table("name", name), table("post", post),
                   table("glyf", glyf), table("loca", loca)};
    return font;
}

std::uint32_t readBE(const Bytes& bytes, std::size_t offset, std::size_t width) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v = v << 8 | bytes.at(offset + i);
    return v;
}

} // namespace kv::test::fonts
