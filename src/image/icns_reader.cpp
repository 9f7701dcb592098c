// Reader of Apple icon files: finds the largest rendition and unpacks the classic RLE encodings.
#include "image/icns_reader.h"

#include "base/byte_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace kv::image {
namespace {

constexpr std::size_t kHeaderBytes = 8; // four-character type + big-endian uint32 length

enum class Payload { embedded, rleRgb, argb }; // embedded: PNG or JPEG 2000, maybe RLE ARGB

struct ElementKind {
    std::string_view type;
    int size;
    Payload payload;
    std::string_view mask; // the 8-bit mask element of a classic RLE RGB entry
};

// The colour element types of the format with their pixel sizes.
constexpr std::array kKinds{
    ElementKind{"is32", 16, Payload::rleRgb, "s8mk"},
    ElementKind{"il32", 32, Payload::rleRgb, "l8mk"},
    ElementKind{"ih32", 48, Payload::rleRgb, "h8mk"},
    ElementKind{"it32", 128, Payload::rleRgb, "t8mk"},
    ElementKind{"ic04", 16, Payload::argb, ""},
    ElementKind{"ic05", 32, Payload::argb, ""},
    ElementKind{"icsb", 36, Payload::argb, ""},
    ElementKind{"icp4", 16, Payload::embedded, ""},
    ElementKind{"icp5", 32, Payload::embedded, ""},
    ElementKind{"icp6", 64, Payload::embedded, ""},
    ElementKind{"ic07", 128, Payload::embedded, ""},
    ElementKind{"ic08", 256, Payload::embedded, ""},
    ElementKind{"ic09", 512, Payload::embedded, ""},
    ElementKind{"ic10", 1024, Payload::embedded, ""},
    ElementKind{"ic11", 32, Payload::embedded, ""},
    ElementKind{"ic12", 64, Payload::embedded, ""},
    ElementKind{"ic13", 256, Payload::embedded, ""},
    ElementKind{"ic14", 512, Payload::embedded, ""},
    ElementKind{"sb24", 24, Payload::embedded, ""},
    ElementKind{"SB24", 48, Payload::embedded, ""},
};

constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::array<std::uint8_t, 12> kJp2Signature{0,   0,   0,    0x0C, 'j',  'P',
                                                     ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr std::array<std::uint8_t, 4> kJ2kCodestream{0xFF, 0x4F, 0xFF, 0x51};

template <std::size_t N>
bool startsWith(std::span<const std::uint8_t> bytes, const std::array<std::uint8_t, N>& prefix) {
    return bytes.size() >= N && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

struct Element {
    std::string_view type;
    std::span<const std::uint8_t> data;
};

std::vector<Element> listElements(std::span<const std::uint8_t> file) {
    if (!looksLikeIcns(file))
        throw IcnsError("not an ICNS file");
    const std::size_t declared = loadU32be(file, 4);
    // A length field larger than the file is damage; smaller ends the element list early.
    if (declared > file.size())
        throw IcnsError("ICNS length exceeds the file");
    const auto body = file.first(declared);
    std::vector<Element> elements;
    std::size_t at = kHeaderBytes;
    while (at + kHeaderBytes <= body.size()) {
        const std::size_t length = loadU32be(body, at + 4);
        if (length < kHeaderBytes || length > body.size() - at)
            throw IcnsError("ICNS element overruns the file");
        elements.push_back({std::string_view(reinterpret_cast<const char*>(body.data() + at), 4),
                            body.subspan(at + kHeaderBytes, length - kHeaderBytes)});
        at += length;
    }
    return elements;
}

// Apple's icon RLE: a control byte below 0x80 copies control + 1 literal bytes; from 0x80 it
// repeats the next byte control − 125 times. Runs may cross channel boundaries; output stops at
// `wanted`.
std::vector<std::uint8_t> unpackRle(std::span<const std::uint8_t> data, std::size_t wanted) {
    std::vector<std::uint8_t> out;
    out.reserve(wanted);
    std::size_t at = 0;
    while (out.size() < wanted) {
        if (at >= data.size())
            throw IcnsError("ICNS RLE data ends early");
        const std::uint8_t control = data[at++];
        if (control < 0x80) {
            const std::size_t count = std::size_t{control} + 1;
            if (count > data.size() - at)
                throw IcnsError("ICNS RLE literal overruns the data");
            const std::size_t take = std::min(count, wanted - out.size());
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                       data.begin() + static_cast<std::ptrdiff_t>(at + take));
            at += count;
        } else {
            if (at >= data.size())
                throw IcnsError("ICNS RLE run overruns the data");
            const std::size_t count = std::size_t{control} - 125;
            out.insert(out.end(), std::min(count, wanted - out.size()), data[at++]);
        }
    }
    return out;
}

// Planar channels (each `pixels` long) into interleaved RGBA; `alpha` empty means opaque.
std::vector<std::uint8_t> interleave(std::span<const std::uint8_t> red,
                                     std::span<const std::uint8_t> green,
                                     std::span<const std::uint8_t> blue,
                                     std::span<const std::uint8_t> alpha, std::size_t pixels) {
    std::vector<std::uint8_t> rgba(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        rgba[i * 4] = red[i];
        rgba[i * 4 + 1] = green[i];
        rgba[i * 4 + 2] = blue[i];
        rgba[i * 4 + 3] = alpha.empty() ? 0xFF : alpha[i];
    }
    return rgba;
}

std::vector<std::uint8_t> decodeRleRgb(const ElementKind& kind, std::span<const std::uint8_t> data,
                                       std::span<const std::uint8_t> mask) {
    const std::size_t pixels =
        static_cast<std::size_t>(kind.size) * static_cast<std::size_t>(kind.size);
    if (mask.size() != pixels)
        mask = {}; // a mask of the wrong size is ignored, the icon shown opaque
    if (kind.type == "it32") {
        if (data.size() < 4)
            throw IcnsError("ICNS it32 element too short");
        data = data.subspan(4); // four zero bytes precede the 128-pixel RLE data
    }
    if (data.size() == pixels * 4) { // uncompressed xRGB, written by some old tools
        std::vector<std::uint8_t> rgba(pixels * 4);
        for (std::size_t i = 0; i < pixels; ++i) {
            std::memcpy(&rgba[i * 4], &data[i * 4 + 1], 3);
            rgba[i * 4 + 3] = mask.empty() ? 0xFF : mask[i];
        }
        return rgba;
    }
    const auto planes = unpackRle(data, pixels * 3);
    const std::span<const std::uint8_t> all(planes);
    return interleave(all.first(pixels), all.subspan(pixels, pixels),
                      all.subspan(2 * pixels, pixels), mask, pixels);
}

std::vector<std::uint8_t> decodeArgb(const ElementKind& kind, std::span<const std::uint8_t> data) {
    const std::size_t pixels =
        static_cast<std::size_t>(kind.size) * static_cast<std::size_t>(kind.size);
    const auto planes = unpackRle(data.subspan(4), pixels * 4); // after the "ARGB" tag
    const std::span<const std::uint8_t> all(planes);
    return interleave(all.subspan(pixels, pixels), all.subspan(2 * pixels, pixels),
                      all.subspan(3 * pixels, pixels), all.first(pixels), pixels);
}

} // namespace

bool looksLikeIcns(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= kHeaderBytes && std::memcmp(bytes.data(), "icns", 4) == 0;
}

IcnsRendition readLargestIcnsRendition(std::span<const std::uint8_t> bytes) {
    const auto elements = listElements(bytes);
    const auto findElement = [&](std::string_view type) -> const Element* {
        for (const auto& element : elements)
            if (element.type == type)
                return &element;
        return nullptr;
    };

    // Rank candidates by size; an embedded file beats RLE at equal size. Try the best first and
    // fall back to smaller ones when an entry is damaged.
    struct Candidate {
        const ElementKind* kind;
        const Element* element;
        int rank;
    };
    std::vector<Candidate> candidates;
    for (const auto& element : elements) {
        for (const auto& kind : kKinds) {
            if (kind.type != element.type)
                continue;
            const bool embedded = startsWith(element.data, kPngSignature) ||
                                  startsWith(element.data, kJp2Signature) ||
                                  startsWith(element.data, kJ2kCodestream);
            candidates.push_back({&kind, &element, kind.size * 2 + (embedded ? 1 : 0)});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.rank > b.rank; });

    std::string lastProblem = "ICNS file has no usable icon";
    for (const auto& candidate : candidates) {
        const auto data = candidate.element->data;
        IcnsRendition rendition;
        rendition.width = rendition.height = candidate.kind->size;
        if (startsWith(data, kPngSignature)) {
            rendition.encoding = IcnsRendition::Encoding::png;
            rendition.data.assign(data.begin(), data.end());
            return rendition;
        }
        if (startsWith(data, kJp2Signature) || startsWith(data, kJ2kCodestream)) {
            rendition.encoding = IcnsRendition::Encoding::jpeg2000;
            rendition.data.assign(data.begin(), data.end());
            return rendition;
        }
        try {
            if (candidate.kind->payload == Payload::rleRgb) {
                const Element* mask = findElement(candidate.kind->mask);
                rendition.data = decodeRleRgb(*candidate.kind, data,
                                              mask ? mask->data : std::span<const std::uint8_t>{});
                return rendition;
            }
            if (data.size() >= 4 && std::memcmp(data.data(), "ARGB", 4) == 0) {
                rendition.data = decodeArgb(*candidate.kind, data);
                return rendition;
            }
            lastProblem =
                "ICNS element " + std::string(candidate.kind->type) + " has an unknown encoding";
        } catch (const IcnsError& damaged) {
            lastProblem = damaged.what();
        }
    }
    throw IcnsError(lastProblem);
}

} // namespace kv::image
