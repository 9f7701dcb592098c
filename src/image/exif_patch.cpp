// In-place edits of an EXIF block for encoders that take the block as bytes.
#include "image/exif_patch.h"

#include "base/byte_reader.h"
#include "image/tiff_format.h"

#include <algorithm>
#include <cstring>

namespace kv::image {
namespace {

using tiff::kEntryBytes;

class Tiff {
  public:
    explicit Tiff(std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}

    bool readHeader() {
        if (m_bytes.size() < 8)
            return false;
        if (m_bytes[0] == 'I' && m_bytes[1] == 'I')
            m_little = true;
        else if (m_bytes[0] == 'M' && m_bytes[1] == 'M')
            m_little = false;
        else
            return false;
        return get16(2) == 42;
    }

    bool has(std::size_t at, std::size_t length) const {
        return at <= m_bytes.size() && length <= m_bytes.size() - at;
    }

    // Reads and writes throw ByteRangeError past the end.
    std::uint32_t get16(std::size_t at) const {
        return static_cast<std::uint32_t>(loadUnsigned(m_bytes, at, 2, order()));
    }
    std::uint32_t get32(std::size_t at) const {
        return static_cast<std::uint32_t>(loadUnsigned(m_bytes, at, 4, order()));
    }
    void put16(std::size_t at, std::uint32_t value) {
        if (!has(at, 2))
            throw ByteRangeError();
        const auto hi = static_cast<std::uint8_t>(value >> 8),
                   lo = static_cast<std::uint8_t>(value);
        m_bytes[at] = m_little ? lo : hi;
        m_bytes[at + 1] = m_little ? hi : lo;
    }
    void put32(std::size_t at, std::uint32_t value) {
        put16(at + (m_little ? 0 : 2), value & 0xFFFF);
        put16(at + (m_little ? 2 : 0), value >> 16);
    }

    // The entries of the directory at `offset`, or false when it does not fit.
    bool directory(std::size_t offset, std::size_t& count) const {
        if (offset == 0 || !has(offset, 2))
            return false;
        count = get16(offset);
        return has(offset + 2, count * kEntryBytes + 4);
    }

    // Bytes of an entry's value; values over 4 bytes live at an offset.
    std::size_t valueBytes(std::size_t entry) const {
        static constexpr std::size_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1,
                                                    1, 2, 4, 8, 4, 8, 4}; // 13: IFD
        const std::uint32_t type = get16(entry + 2);
        const std::size_t unit = type < std::size(kTypeSize) ? kTypeSize[type] : 0;
        return unit * get32(entry + 4);
    }

    void setNumber(std::size_t entry, std::uint32_t value) {
        const std::uint32_t type = get16(entry + 2);
        if (type == 3)
            put16(entry + 8, value);
        else if (type == 4)
            put32(entry + 8, value);
    }

    void zeroEntryAndData(std::size_t entry) {
        const std::size_t size = valueBytes(entry);
        if (size > 4) {
            const std::size_t at = get32(entry + 8);
            if (has(at, size))
                std::fill_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(at), size, 0);
        }
        std::fill_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(entry), kEntryBytes, 0);
    }

    bool littleEndian() const { return m_little; }

  private:
    Endian order() const { return m_little ? Endian::little : Endian::big; }

    std::vector<std::uint8_t>& m_bytes;
    bool m_little = true;
};

} // namespace

// Every offset is checked before use; a field past the end still means "leave the block alone".
std::optional<std::vector<std::uint8_t>> patchExif(std::span<const std::uint8_t> exif,
                                                   const ExifEdits& edits) try {
    static constexpr std::uint8_t kPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (exif.size() >= sizeof kPrefix && std::memcmp(exif.data(), kPrefix, sizeof kPrefix) == 0)
        exif = exif.subspan(sizeof kPrefix);
    std::vector<std::uint8_t> bytes(exif.begin(), exif.end());
    Tiff tiff(bytes);
    if (!tiff.readHeader())
        return std::nullopt;

    const std::size_t ifd0 = tiff.get32(4);
    std::size_t count = 0;
    if (!tiff.directory(ifd0, count))
        return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = ifd0 + 2 + i * kEntryBytes;
        const std::uint32_t tag = tiff.get16(entry);
        if (tag == tiff::orientation && edits.orientation) {
            tiff.setNumber(entry, static_cast<std::uint32_t>(*edits.orientation));
        } else if (tag == tiff::exifDirectory) {
            std::size_t subCount = 0;
            const std::size_t sub = tiff.get32(entry + 8);
            if (sub == ifd0 || !tiff.directory(sub, subCount))
                continue;
            for (std::size_t j = 0; j < subCount; ++j) {
                const std::size_t subEntry = sub + 2 + j * kEntryBytes;
                const std::uint32_t subTag = tiff.get16(subEntry);
                if (subTag == tiff::pixelXDimension && edits.pixelWidth)
                    tiff.setNumber(subEntry, static_cast<std::uint32_t>(*edits.pixelWidth));
                if (subTag == tiff::pixelYDimension && edits.pixelHeight)
                    tiff.setNumber(subEntry, static_cast<std::uint32_t>(*edits.pixelHeight));
            }
        } else if (tag == tiff::gpsDirectory && edits.removeGps) {
            std::size_t gpsCount = 0;
            const std::size_t gps = tiff.get32(entry + 8);
            if (gps != ifd0 && tiff.directory(gps, gpsCount)) {
                for (std::size_t j = 0; j < gpsCount; ++j)
                    tiff.zeroEntryAndData(gps + 2 + j * kEntryBytes);
                tiff.put16(gps, 0);
            }
        }
    }
    if (edits.removeThumbnail) {
        const std::size_t nextAt = ifd0 + 2 + count * kEntryBytes;
        const std::size_t ifd1 = tiff.get32(nextAt);
        std::size_t thumbCount = 0;
        if (ifd1 != ifd0 && tiff.directory(ifd1, thumbCount)) {
            for (std::size_t j = 0; j < thumbCount; ++j) {
                const std::size_t entry = ifd1 + 2 + j * kEntryBytes;
                if (tiff.get16(entry) == tiff::jpegInterchangeFormat) {
                    std::size_t length = 0;
                    for (std::size_t k = 0; k < thumbCount; ++k)
                        if (tiff.get16(ifd1 + 2 + k * kEntryBytes) ==
                            tiff::jpegInterchangeFormatLength)
                            length = tiff.get32(ifd1 + 2 + k * kEntryBytes + 8);
                    const std::size_t at = tiff.get32(entry + 8);
                    if (tiff.has(at, length))
                        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), length, 0);
                }
            }
            for (std::size_t j = 0; j < thumbCount; ++j)
                tiff.zeroEntryAndData(ifd1 + 2 + j * kEntryBytes);
            tiff.put16(ifd1, 0);
        }
        tiff.put32(nextAt, 0);
    }
    return bytes;
} catch (const ByteRangeError&) {
    return std::nullopt;
}

namespace {

// Text fields of the first directory that describe the picture and its maker.
constexpr std::uint16_t kTextTags[] = {tiff::imageDescription, tiff::make,     tiff::model,
                                       tiff::software,         tiff::dateTime, tiff::artist,
                                       tiff::hostComputer,     tiff::copyright};

// Adds `position` to every offset of the directory at `offset` and of the directories it points
// to (`subTags`); its link to a next directory is cut. `seen` stops loops.
void rebaseDirectory(Tiff& tiff, std::size_t offset, std::uint32_t position,
                     std::vector<std::size_t>& seen) {
    std::size_t count = 0;
    if (std::find(seen.begin(), seen.end(), offset) != seen.end() || !tiff.directory(offset, count))
        return;
    seen.push_back(offset);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = offset + 2 + i * kEntryBytes;
        const std::uint32_t tag = tiff.get16(entry);
        if (tag == tiff::interoperabilityDirectory) {
            const std::size_t sub = tiff.get32(entry + 8);
            rebaseDirectory(tiff, sub, position, seen);
            tiff.put32(entry + 8, static_cast<std::uint32_t>(sub + position));
        } else if (tiff.valueBytes(entry) > 4) {
            tiff.put32(entry + 8, tiff.get32(entry + 8) + position);
        }
    }
    tiff.put32(offset + 2 + count * kEntryBytes, 0);
}

} // namespace

std::optional<RelocatedExif> relocateExif(std::span<const std::uint8_t> exif,
                                          std::uint64_t position) try {
    static constexpr std::uint8_t kPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (exif.size() >= sizeof kPrefix && std::memcmp(exif.data(), kPrefix, sizeof kPrefix) == 0)
        exif = exif.subspan(sizeof kPrefix);
    if (position + exif.size() >= (std::uint64_t{1} << 32))
        return std::nullopt;
    const auto base = static_cast<std::uint32_t>(position);
    RelocatedExif result;
    result.bytes.assign(exif.begin(), exif.end());
    Tiff tiff(result.bytes);
    if (!tiff.readHeader())
        return std::nullopt;
    result.bigEndian = !tiff.littleEndian();
    const std::size_t ifd0 = tiff.get32(4);
    std::size_t count = 0;
    if (!tiff.directory(ifd0, count))
        return std::nullopt;
    std::vector<std::size_t> seen{ifd0};
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = ifd0 + 2 + i * kEntryBytes;
        const std::uint32_t tag = tiff.get16(entry);
        if (tag == tiff::exifDirectory || tag == tiff::gpsDirectory) {
            const std::size_t sub = tiff.get32(entry + 8);
            std::size_t subCount = 0;
            if (std::find(seen.begin(), seen.end(), sub) != seen.end() ||
                !tiff.directory(sub, subCount))
                continue;
            rebaseDirectory(tiff, sub, base, seen);
            if (tag == tiff::exifDirectory)
                result.exifDirectory = static_cast<std::uint32_t>(sub + base);
            else if (subCount > 0)
                result.gpsDirectory = static_cast<std::uint32_t>(sub + base);
        } else if (tiff.get16(entry + 2) == tiff::ascii &&
                   std::find(std::begin(kTextTags), std::end(kTextTags), tag) !=
                       std::end(kTextTags)) {
            const std::size_t length = tiff.valueBytes(entry);
            const std::size_t at = length > 4 ? tiff.get32(entry + 8) : entry + 8;
            if (!tiff.has(at, length))
                continue;
            std::string text(reinterpret_cast<const char*>(result.bytes.data() + at), length);
            text.resize(std::min(text.size(), text.find('\0')));
            if (!text.empty())
                result.texts.emplace_back(static_cast<std::uint16_t>(tag), std::move(text));
        }
    }
    return result;
} catch (const ByteRangeError&) {
    return std::nullopt;
}

} // namespace kv::image
