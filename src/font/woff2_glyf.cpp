// WOFF2 glyf/loca transform and its reconstruction.
#include "font/woff2_glyf.h"

#include "engine/conversion_error.h"
#include "font/font_limits.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

namespace kv::WOFF2Glyf {
namespace {

constexpr std::size_t kHeaderBytes =
    36; // version, optionFlags, numGlyphs, indexFormat, 7 stream sizes
constexpr std::size_t kStreamCount = 7;
constexpr std::size_t kGlyphHeaderBytes = 10; // numberOfContours and the box
constexpr std::uint32_t kMaxPointsPerGlyph = 65534;
constexpr std::uint64_t kMaxShortLocaOffset = 131070; // offset / 2 must fit 16 bits

// TrueType composite component flags.
constexpr std::uint16_t kArg1And2AreWords = 0x0001;
constexpr std::uint16_t kWeHaveAScale = 0x0008;
constexpr std::uint16_t kMoreComponents = 0x0020;
constexpr std::uint16_t kWeHaveAnXAndYScale = 0x0040;
constexpr std::uint16_t kWeHaveATwoByTwo = 0x0080;
constexpr std::uint16_t kWeHaveInstructions = 0x0100;

// TrueType simple-glyph point flags.
constexpr std::uint8_t kOnCurve = 0x01;
constexpr std::uint8_t kXShort = 0x02;
constexpr std::uint8_t kYShort = 0x04;
constexpr std::uint8_t kRepeat = 0x08;
constexpr std::uint8_t kXSameOrPositive = 0x10;
constexpr std::uint8_t kYSameOrPositive = 0x20;

constexpr std::uint8_t kOffCurveBit = 0x80; // in the WOFF2 flag stream

struct Box {
    std::int16_t xMin = 0, yMin = 0, xMax = 0, yMax = 0;
    friend bool operator==(const Box&, const Box&) = default;
};

Box readBox(Cursor& c) {
    Box box;
    box.xMin = c.i16();
    box.yMin = c.i16();
    box.xMax = c.i16();
    box.yMax = c.i16();
    return box;
}

void writeBox(ByteOut& out, const Box& box) {
    out.i16(box.xMin);
    out.i16(box.yMin);
    out.i16(box.xMax);
    out.i16(box.yMax);
}

std::int16_t clamp16(std::int64_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

Box boxOfPoints(const std::vector<std::int64_t>& xs, const std::vector<std::int64_t>& ys) {
    if (xs.empty())
        return {};
    const auto [xMin, xMax] = std::minmax_element(xs.begin(), xs.end());
    const auto [yMin, yMax] = std::minmax_element(ys.begin(), ys.end());
    return {clamp16(*xMin), clamp16(*yMin), clamp16(*xMax), clamp16(*yMax)};
}

/// Advances over a composite glyph's component records; returns whether any asks for instructions.
bool skipComposite(Cursor& c) {
    bool hasInstructions = false;
    std::uint16_t flags = kMoreComponents;
    while (flags & kMoreComponents) {
        flags = c.u16();
        hasInstructions = hasInstructions || (flags & kWeHaveInstructions) != 0;
        std::size_t size = 2;                        // glyphIndex
        size += (flags & kArg1And2AreWords) ? 4 : 2; // argument1, argument2
        if (flags & kWeHaveAScale)
            size += 2; // scale
        else if (flags & kWeHaveAnXAndYScale)
            size += 4; // xscale, yscale
        else if (flags & kWeHaveATwoByTwo)
            size += 8; // 2×2 matrix
        (void)c.take(size);
    }
    return hasInstructions;
}

// ---- transform -------------------------------------------------------------------------------

struct Streams {
    ByteOut nContour, nPoints, flag, glyph, composite, bbox, instruction;
    std::vector<std::uint8_t> bboxBitmap;

    void markBox(std::size_t index) {
        bboxBitmap[index >> 3] |= static_cast<std::uint8_t>(0x80u >> (index & 7));
    }
};

// Each glyph transform returns false when the glyph cannot be carried over losslessly; the
// font's glyf and loca are then stored untransformed.

bool transformComposite(ByteView glyph, Streams& s, std::size_t index) {
    Cursor c(glyph);
    (void)c.i16(); // numberOfContours: always written back as -1
    const Box box = readBox(c);
    const auto start = c.offset();
    const bool hasInstructions = skipComposite(c);
    s.composite.append(glyph.subspan(start, c.offset() - start));
    if (hasInstructions) {
        const auto length = c.u16();
        s.instruction.append(c.take(length));
        encode255UInt16(s.glyph, length);
    }
    s.nContour.i16(-1);
    s.markBox(index);
    writeBox(s.bbox, box);
    return true;
}

bool transformSimple(ByteView glyph, Streams& s, std::size_t index) {
    Cursor c(glyph);
    const auto numberOfContours = c.i16();
    const Box stored = readBox(c);
    if (numberOfContours == 0) {
        // No points: nothing to keep but instructions, which the empty form cannot carry.
        if (glyph.size() >= kGlyphHeaderBytes + 2 && c.u16() != 0)
            return false;
        s.nContour.i16(0);
        return true;
    }
    std::vector<std::uint16_t> contourPoints;
    std::int32_t lastEnd = -1;
    for (int i = 0; i < numberOfContours; ++i) {
        const std::int32_t end = c.u16();
        if (end < lastEnd)
            return false;
        contourPoints.push_back(static_cast<std::uint16_t>(end - lastEnd));
        lastEnd = end;
    }
    const auto pointCount = static_cast<std::size_t>(lastEnd + 1);
    if (pointCount > kMaxPointsPerGlyph)
        return false;
    const auto instructionLength = c.u16();
    const auto instructions = c.take(instructionLength);

    std::vector<std::uint8_t> flags;
    flags.reserve(pointCount);
    while (flags.size() < pointCount) {
        const auto f = c.u8();
        flags.push_back(f);
        if (f & kRepeat) {
            for (auto repeat = c.u8(); repeat > 0 && flags.size() < pointCount; --repeat)
                flags.push_back(f);
        }
    }
    std::vector<std::int64_t> xs(pointCount), ys(pointCount);
    const auto readAxis = [&](std::vector<std::int64_t>& out, std::uint8_t shortBit,
                              std::uint8_t sameBit) {
        std::int64_t v = 0;
        for (std::size_t i = 0; i < pointCount; ++i) {
            if (flags[i] & shortBit) {
                const std::int64_t d = c.u8();
                v += (flags[i] & sameBit) ? d : -d;
            } else if ((flags[i] & sameBit) == 0) {
                v += c.i16();
            }
            out[i] = v;
        }
    };
    readAxis(xs, kXShort, kXSameOrPositive);
    readAxis(ys, kYShort, kYSameOrPositive);

    s.nContour.i16(numberOfContours);
    for (const auto n : contourPoints)
        encode255UInt16(s.nPoints, n);
    std::int64_t px = 0, py = 0;
    for (std::size_t i = 0; i < pointCount; ++i) {
        const auto dx = xs[i] - px, dy = ys[i] - py;
        px = xs[i];
        py = ys[i];
        if (std::abs(dx) > 65535 || std::abs(dy) > 65535)
            return false;
        const auto triplet = encodeTriplet(static_cast<int>(dx), static_cast<int>(dy));
        if (!triplet)
            return false;
        s.flag.u8(
            static_cast<std::uint8_t>(triplet->code | ((flags[i] & kOnCurve) ? 0 : kOffCurveBit)));
        s.glyph.append(ByteView(triplet->bytes).first(triplet->size));
    }
    encode255UInt16(s.glyph, instructionLength);
    s.instruction.append(instructions);
    if (boxOfPoints(xs, ys) != stored) {
        s.markBox(index);
        writeBox(s.bbox, stored);
    }
    return true;
}

std::uint32_t locaEntry(ByteView loca, int indexFormat, std::size_t i) {
    if (indexFormat != 0)
        return loadU32be(loca, 4 * i);
    return loadU16be(loca, 2 * i) * 2u;
}

} // namespace

std::optional<Bytes> transform(ByteView glyf, ByteView loca, int indexFormat, int numGlyphs) {
    if (numGlyphs < 1 || numGlyphs > 65535)
        return std::nullopt;
    const auto glyphCount = static_cast<std::size_t>(numGlyphs);
    const std::size_t entryBytes = indexFormat != 0 ? 4 : 2;
    // Decoders rebuild exactly numGlyphs + 1 entries (and the reference decoder insists on that
    // length), so a loca of any other size is stored as it is.
    if (loca.size() != (glyphCount + 1) * entryBytes)
        return std::nullopt;

    Streams s;
    s.bboxBitmap.assign(4 * ((glyphCount + 31) / 32), 0);
    try {
        for (std::size_t i = 0; i < glyphCount; ++i) {
            const auto start = locaEntry(loca, indexFormat, i),
                       end = locaEntry(loca, indexFormat, i + 1);
            if (end < start || end > glyf.size())
                return std::nullopt;
            const auto glyph = glyf.subspan(start, end - start);
            if (glyph.empty()) {
                s.nContour.i16(0);
                continue;
            }
            if (glyph.size() < kGlyphHeaderBytes)
                return std::nullopt;
            const bool composite = static_cast<std::int16_t>(loadU16be(glyph, 0)) < 0;
            if (!(composite ? transformComposite(glyph, s, i) : transformSimple(glyph, s, i)))
                return std::nullopt;
        }
    } catch (const ConversionError&) { // a glyph that ends inside its own data
        return std::nullopt;
    }

    ByteOut bbox;
    bbox.append(s.bboxBitmap);
    bbox.append(s.bbox.bytes());
    const ByteOut* streams[kStreamCount] = {&s.nContour,  &s.nPoints, &s.flag,       &s.glyph,
                                            &s.composite, &bbox,      &s.instruction};
    std::uint64_t total = kHeaderBytes;
    for (const auto* stream : streams)
        total += stream->size();
    if (total > 0xFFFFFFFFu)
        return std::nullopt;

    ByteOut out;
    out.reserve(static_cast<std::size_t>(total));
    out.u16(0);                                            // version
    out.u16(0);                                            // optionFlags: no overlap bitmap
    out.u16(static_cast<std::uint16_t>(numGlyphs));        // numGlyphs
    out.u16(static_cast<std::uint16_t>(indexFormat != 0)); // indexFormat
    for (const auto* stream : streams)
        out.u32(static_cast<std::uint32_t>(stream->size()));
    for (const auto* stream : streams)
        out.append(stream->bytes());
    return out.take();
}

Result reconstruct(ByteView data) {
    if (data.size() < kHeaderBytes)
        throw ConversionError::corruptFile("Transformed glyf table is too short.");
    Cursor header(data);
    (void)header.u16(); // version
    (void)header.u16(); // optionFlags: an overlap bitmap after the streams is not needed
    const std::size_t numGlyphs = header.u16();
    const auto indexFormat = header.u16();
    std::array<ByteView, kStreamCount> streams;
    std::size_t offset = kHeaderBytes;
    for (auto& stream : streams) {
        const std::uint64_t high = header.u16();
        const std::uint64_t size = high << 16 | header.u16();
        if (size > data.size() - offset) {
            throw ConversionError::corruptFile(
                "Transformed glyf stream runs past the end of the table.");
        }
        stream = data.subspan(offset, static_cast<std::size_t>(size));
        offset += static_cast<std::size_t>(size);
    }
    const std::size_t bitmapBytes = 4 * ((numGlyphs + 31) / 32);
    if (streams[5].size() < bitmapBytes)
        throw ConversionError::corruptFile("WOFF2 bbox bitmap is truncated.");
    const auto bitmap = streams[5].first(bitmapBytes);
    const auto hasBox = [&](std::size_t i) { return (bitmap[i >> 3] & (0x80u >> (i & 7))) != 0; };

    Cursor nContour(streams[0]), nPoints(streams[1]), flagStream(streams[2]),
        glyphStream(streams[3]), composite(streams[4]), boxes(streams[5].subspan(bitmapBytes)),
        instructionStream(streams[6]);

    ByteOut glyf;
    std::vector<std::uint32_t> offsets(numGlyphs + 1, 0);
    std::vector<std::int64_t> xs, ys;
    std::vector<bool> onCurve;
    for (std::size_t i = 0; i < numGlyphs; ++i) {
        offsets[i] = static_cast<std::uint32_t>(glyf.size());
        const auto numberOfContours = nContour.i16();
        if (numberOfContours < 0) {
            if (!hasBox(i)) {
                throw ConversionError::corruptFile("Composite glyph " + std::to_string(i) +
                                                   " is missing its bounding box.");
            }
            const auto start = composite.offset();
            const bool hasInstructions = skipComposite(composite);
            const auto records = streams[4].subspan(start, composite.offset() - start);
            glyf.i16(-1);
            glyf.append(boxes.take(8));
            glyf.append(records);
            if (hasInstructions) {
                const auto length = glyphStream.read255UInt16();
                glyf.u16(length);
                glyf.append(instructionStream.take(length));
            }
        } else if (numberOfContours > 0) {
            std::vector<std::uint16_t> endPts;
            endPts.reserve(static_cast<std::size_t>(numberOfContours));
            std::uint32_t points = 0;
            for (int c = 0; c < numberOfContours; ++c) {
                points += nPoints.read255UInt16();
                if (points > kMaxPointsPerGlyph) {
                    throw ConversionError::corruptFile("Glyph " + std::to_string(i) +
                                                       " has an invalid point count.");
                }
                endPts.push_back(static_cast<std::uint16_t>(points - 1));
            }
            xs.resize(points);
            ys.resize(points);
            onCurve.resize(points);
            std::int64_t x = 0, y = 0;
            for (std::uint32_t p = 0; p < points; ++p) {
                const auto flag = flagStream.u8();
                const auto [dx, dy] = readTriplet(flag & 0x7F, glyphStream);
                x += dx;
                y += dy;
                xs[p] = x;
                ys[p] = y;
                onCurve[p] = (flag & kOffCurveBit) == 0;
            }
            const auto instructionLength = glyphStream.read255UInt16();
            const auto instructions = instructionStream.take(instructionLength);

            glyf.i16(numberOfContours);
            if (hasBox(i)) {
                glyf.append(boxes.take(8));
            } else {
                writeBox(glyf, boxOfPoints(xs, ys));
            }
            for (const auto end : endPts)
                glyf.u16(end);
            glyf.u16(instructionLength);
            glyf.append(instructions);
            encodePoints(xs, ys, onCurve, glyf);
        }
        if (glyf.size() > FontConverter::kMaxFontBytes)
            throw ConversionError::corruptFile(FontConverter::kFontTooLargeMessage);
    }
    offsets[numGlyphs] = static_cast<std::uint32_t>(glyf.size());

    Result result;
    const bool shortFits =
        indexFormat == 0 && std::all_of(offsets.begin(), offsets.end(), [](std::uint32_t o) {
            return o % 2 == 0 && o <= kMaxShortLocaOffset;
        });
    ByteOut loca;
    for (const auto o : offsets) {
        if (shortFits) {
            loca.u16(static_cast<std::uint16_t>(o / 2));
        } else {
            loca.u32(o);
        }
    }
    result.indexFormat = shortFits ? 0 : 1;
    result.glyf = glyf.take();
    result.loca = loca.take();
    return result;
}

} // namespace kv::WOFF2Glyf
