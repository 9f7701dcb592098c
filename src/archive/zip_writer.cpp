// ZIP writer.
#include "archive/zip_writer.h"

#include "archive/archive_tree.h"
#include "archive/deflate_codec.h"
#include "archive/ordered_parallel.h"
#include "archive/zip_format.h"
#include "base/byte_reader.h"
#include "engine/conversion_error.h"
#include "engine/output_file.h"

#include <algorithm>
#include <ctime>

namespace kv::ArchiveConverter {
namespace {

struct PreparedEntry {
    std::string name;
    bool folder = false;
    std::uint16_t method = zip::kMethodStored;
    DosTimestamp stamp;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    Bytes payload;
};

std::uint16_t checkedU16(std::size_t value, const std::string& quantity) {
    if (value > zip::kMaxU16Field) {
        throw ConversionError::corruptFile("Archive has too many " + quantity +
                                           " for ZIP (max 65,535) \u2014 try TAR instead");
    }
    return static_cast<std::uint16_t>(value);
}

std::uint32_t checkedU32(std::uint64_t value, const std::string& quantity) {
    if (value >= zip::kZip64Marker) {
        throw ConversionError::corruptFile("Archive " + quantity +
                                           " exceeds the 4 GB ZIP limit \u2014 try TAR instead");
    }
    return static_cast<std::uint32_t>(value);
}

std::int64_t now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

PreparedEntry prepareFolder(std::string name) {
    if (name.empty() || name.back() != '/')
        name.push_back('/');
    PreparedEntry entry;
    entry.name = std::move(name);
    entry.folder = true;
    return entry;
}

// CRC and payload of one file: DEFLATE when it shrinks the bytes, else the bytes as they are.
PreparedEntry prepareFile(std::string name, Bytes content, ZipMethod method,
                          std::int64_t modified) {
    PreparedEntry entry;
    entry.name = std::move(name);
    entry.stamp = dosTimestamp(modified);
    entry.crc = crc32Checksum(content);
    entry.size = content.size();
    if (method == ZipMethod::deflated) {
        Bytes deflated = compressDeflate(content);
        if (deflated.size() < content.size()) {
            entry.method = zip::kMethodDeflated;
            entry.payload = std::move(deflated);
            return entry;
        }
    }
    entry.payload = std::move(content);
    return entry;
}

// Appends entries in order: the archive body, and the central directory beside it.
class ZipAssembler {
  public:
    void append(const PreparedEntry& entry) {
        const std::uint32_t offset = checkedU32(m_body.size(), "size");
        const std::uint32_t compressedSize = checkedU32(entry.payload.size(), "entry size");
        const std::uint32_t size = checkedU32(entry.size, "entry size");
        const std::uint16_t nameLength = checkedU16(entry.name.size(), "filename bytes");

        // Local header: version, flags 0, method, time, date, CRC, sizes, name length, extra 0.
        m_body.u32le(zip::kLocalHeaderSignature);
        m_body.u16le(zip::kVersionNeeded);
        m_body.u16le(0);
        appendFields(m_body, entry, compressedSize, size, nameLength);
        m_body.append(entry.name);
        m_body.append(entry.payload);

        // Central header: made by, needed, flags 0, same fields, then comment 0, disk 0,
        // internal attributes 0, external attributes, local header offset.
        m_central.u32le(zip::kCentralHeaderSignature);
        m_central.u16le(zip::kVersionMadeBy);
        m_central.u16le(zip::kVersionNeeded);
        m_central.u16le(0);
        appendFields(m_central, entry, compressedSize, size, nameLength);
        m_central.u16le(0);
        m_central.u16le(0);
        m_central.u16le(0);
        m_central.u32le(entry.folder ? zip::kDirectoryAttributes : zip::kFileAttributes);
        m_central.u32le(offset);
        m_central.append(entry.name);
        ++m_count;
    }

    Bytes finish() && {
        const std::uint16_t count = checkedU16(m_count, "entries");
        const std::uint32_t directoryOffset = checkedU32(m_body.size(), "size");
        const std::uint32_t directorySize = checkedU32(m_central.size(), "central directory size");
        m_body.reserve(m_body.size() + m_central.size() + zip::kEndRecordBytes);
        m_body.append(m_central.bytes());
        m_body.u32le(zip::kEndRecordSignature);
        m_body.u16le(0); // this disk
        m_body.u16le(0); // disk of the central directory
        m_body.u16le(count);
        m_body.u16le(count);
        m_body.u32le(directorySize);
        m_body.u32le(directoryOffset);
        m_body.u16le(0); // comment length
        return m_body.take();
    }

  private:
    // method, time, date, CRC-32, compressed size, size, name length, extra length
    static void appendFields(ByteWriter& out, const PreparedEntry& entry,
                             std::uint32_t compressedSize, std::uint32_t size,
                             std::uint16_t nameLength) {
        out.u16le(entry.method);
        out.u16le(entry.stamp.time);
        out.u16le(entry.stamp.date);
        out.u32le(entry.crc);
        out.u32le(compressedSize);
        out.u32le(size);
        out.u16le(nameLength);
        out.u16le(0);
    }

    ByteWriter m_body;
    ByteWriter m_central;
    std::size_t m_count = 0;
};

} // namespace

DosTimestamp dosTimestamp(std::int64_t unixSeconds) {
    const auto seconds = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    int year = 1980;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (::localtime_r(&seconds, &local) != nullptr) {
        year = local.tm_year + 1900;
        month = local.tm_mon + 1;
        day = local.tm_mday;
        hour = local.tm_hour;
        minute = local.tm_min;
        second = local.tm_sec;
    }
    year = std::clamp(year, 1980, 2107);
    DosTimestamp stamp;
    stamp.time = static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
    stamp.date = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    return stamp;
}

Bytes buildZIP(std::span<const ZipEntry> entries) {
    ZipAssembler assembler;
    const std::int64_t current = now();
    prepareInOrder<PreparedEntry>(
        entries.size(),
        [&](std::size_t index) {
            const ZipEntry& entry = entries[index];
            if (!entry.name.empty() && entry.name.back() == '/')
                return prepareFolder(entry.name);
            const ByteView data = asBytes(entry.data);
            return prepareFile(entry.name, Bytes(data.begin(), data.end()), entry.method,
                               entry.modified.value_or(current));
        },
        [&](PreparedEntry&& entry) { assembler.append(entry); });
    return std::move(assembler).finish();
}

std::filesystem::path createZIP(const std::filesystem::path& from,
                                const std::filesystem::path& to) {
    const std::vector<std::string> folders = gatherDirectories(from, from);
    const auto files = gatherFiles(from, from);
    ZipAssembler assembler;
    for (const std::string& folder : folders)
        assembler.append(prepareFolder(folder));
    const std::int64_t current = now();
    prepareInOrder<PreparedEntry>(
        files.size(),
        [&](std::size_t index) {
            const auto& [name, location] = files[index];
            Bytes content;
            appendFileContents(content, location);
            return prepareFile(name, std::move(content), ZipMethod::deflated,
                               modificationTime(location, current));
        },
        [&](PreparedEntry&& entry) { assembler.append(entry); });
    const Bytes archive = std::move(assembler).finish();
    return writeOutputFile(to, archive);
}

} // namespace kv::ArchiveConverter
