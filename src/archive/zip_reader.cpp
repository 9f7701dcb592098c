// ZIP reader.
#include "archive/zip_reader.h"

#include "archive/deflate_codec.h"
#include "archive/extraction_folder.h"
#include "archive/zip_format.h"
#include "base/byte_reader.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/source_file.h"

#include <algorithm>
#include <functional>

namespace kv::ArchiveConverter {
namespace {

using FileSink = std::function<void(const std::string& name, ByteView content)>;
using FolderSink = std::function<void(std::string name)>;

ConversionError expansionError() {
    return ConversionError::corruptFile("Archive expands to more than " + formattedArchiveLimit() +
                                        " \u2014 refusing to continue.");
}

// One central directory header, as far as the reader uses it.
struct CentralEntry {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t declaredSize = 0;
    std::size_t localOffset = 0;
    bool symlink = false;
};

// The central directory's headers, up to `entryCount` or until the directory ends early.
std::vector<CentralEntry> readCentralDirectory(ByteView data, std::size_t end,
                                               std::uint16_t entryCount) {
    std::vector<CentralEntry> entries;
    std::size_t p = loadU32le(data, end + zip::kEndDirectoryOffset);
    while (entries.size() < entryCount) {
        // A directory that ends early is not an error: what was read stands (and is reported).
        if (p > data.size() || data.size() - p < zip::kCentralHeaderBytes)
            break;
        if (loadU32le(data, p) != zip::kCentralHeaderSignature)
            throw ConversionError::corruptFile("Invalid ZIP central directory entry");
        const std::size_t nameLength = loadU16le(data, p + zip::kCentralNameLength);
        if (data.size() - p - zip::kCentralHeaderBytes < nameLength)
            break;
        CentralEntry entry;
        entry.name = decodeArchiveName(data.subspan(p + zip::kCentralHeaderBytes, nameLength));
        entry.flags = loadU16le(data, p + zip::kCentralFlags);
        entry.method = loadU16le(data, p + zip::kCentralMethod);
        entry.crc = loadU32le(data, p + zip::kCentralCrc);
        entry.compressedSize = loadU32le(data, p + zip::kCentralCompressedSize);
        entry.declaredSize = loadU32le(data, p + zip::kCentralUncompressedSize);
        entry.localOffset = loadU32le(data, p + zip::kCentralLocalOffset);
        const std::uint32_t attributes = loadU32le(data, p + zip::kCentralExternalAttributes);
        entry.symlink = data[p + zip::kCentralMadeByHost] == zip::kHostUnix &&
                        ((attributes >> 16) & zip::kUnixTypeMask) == zip::kUnixSymlink;
        p += zip::kCentralHeaderBytes + nameLength + loadU16le(data, p + zip::kCentralExtraLength) +
             loadU16le(data, p + zip::kCentralCommentLength);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool isEncrypted(const CentralEntry& entry) {
    return (entry.flags & (zip::kFlagEncrypted | zip::kFlagStrongEncryption)) != 0 ||
           entry.method == zip::kMethodAes;
}

ConversionError damaged(const std::string& name, const std::string& why) {
    return ConversionError::corruptFile("ZIP entry '" + name + "' is damaged (" + why + ")");
}

// Walks the central directory; each readable file entry goes to `onFile` as soon as it is read.
// An encrypted entry anywhere refuses the whole archive before the first file is handed on.
void walkZIP(ByteView data, const FileSink& onFile, const FolderSink& onFolder) {
    const std::optional<std::size_t> end = findEOCD(data);
    if (!end)
        throw ConversionError::corruptFile(
            "Invalid ZIP \u2014 cannot find end of central directory");
    if (data.size() - *end < zip::kEndRecordBytes)
        throw ConversionError::corruptFile("Invalid ZIP \u2014 EOCD too short");

    const std::uint16_t entryCount = loadU16le(data, *end + zip::kEndTotalEntries);
    const std::vector<CentralEntry> entries = readCentralDirectory(data, *end, entryCount);
    const auto encrypted = std::find_if(entries.begin(), entries.end(), isEncrypted);
    if (encrypted != entries.end()) {
        throw ConversionError::corruptFile(
            "'" + encrypted->name +
            "' is password-protected; Kelvane cannot open encrypted archives.");
    }

    std::uint64_t extracted = 0;
    std::vector<std::string> failed;
    for (const CentralEntry& entry : entries) {
        const std::string& name = entry.name;
        if (!name.empty() && name.back() == '/') {
            onFolder(sanitizePath(name));
            continue;
        }
        if (name.find("__MACOSX") != std::string::npos)
            continue;

        const std::size_t local = entry.localOffset;
        if (local > data.size() || data.size() - local < zip::kLocalHeaderBytes ||
            loadU32le(data, local) != zip::kLocalHeaderSignature) {
            failed.push_back(name);
            continue;
        }
        const std::size_t start = local + zip::kLocalHeaderBytes +
                                  loadU16le(data, local + zip::kLocalNameLength) +
                                  loadU16le(data, local + zip::kLocalExtraLength);
        if (start > data.size() || data.size() - start < entry.compressedSize) {
            failed.push_back(name);
            continue;
        }
        const ByteView stored = data.subspan(start, entry.compressedSize);

        InflateResult inflated;
        ByteView content;
        if (entry.method == zip::kMethodDeflated) {
            inflated = inflateRaw(stored, entry.declaredSize, kMaxArchiveBytes - extracted);
            if (inflated.status == InflateResult::Status::tooLarge)
                throw expansionError();
            if (inflated.status != InflateResult::Status::ok)
                throw ConversionError::corruptFile("Cannot decompress data");
            content = inflated.data;
        } else if (entry.method == zip::kMethodStored) {
            content = stored;
        } else {
            failed.push_back(name);
            continue;
        }
        extracted += content.size();
        if (extracted > kMaxArchiveBytes)
            throw expansionError();
        if (content.size() != entry.declaredSize) {
            throw damaged(name, "it holds " + std::to_string(content.size()) +
                                    " bytes where it declares " +
                                    std::to_string(entry.declaredSize));
        }
        if (crc32Checksum(content) != entry.crc)
            throw damaged(name, "its CRC-32 does not match its data");

        const std::string safe = sanitizePath(name);
        if (safe.empty()) {
            failed.push_back(name);
            continue;
        }
        if (entry.symlink) {
            ConversionLogger::shared().warning(
                "Symbolic link '" + name + "' extracted as a plain file holding its target path",
                "Archive");
        }
        onFile(safe, content);
    }

    if (entries.size() < entryCount) {
        ConversionLogger::shared().warning(
            "The central directory ends after " + std::to_string(entries.size()) + " of " +
                std::to_string(entryCount) + " entries \u2014 the rest could not be read",
            "Archive");
    }
    if (!failed.empty()) {
        throw ConversionError::corruptFile(
            std::to_string(failed.size()) + " item(s) couldn't be extracted (" +
            firstThreeNames(failed) +
            ") \u2014 the archive may be damaged or use a compression method "
            "Kelvane doesn't support.");
    }
}

} // namespace

std::optional<std::size_t> findEOCD(ByteView data) {
    if (data.size() < zip::kEndRecordBytes)
        return std::nullopt;
    const std::size_t last = data.size() - zip::kEndRecordBytes;
    const std::size_t first = last > zip::kMaxCommentBytes ? last - zip::kMaxCommentBytes : 0;
    for (std::size_t p = last + 1; p-- > first;) {
        if (loadU32le(data, p) == zip::kEndRecordSignature)
            return p;
    }
    return std::nullopt;
}

void extractZIP(const std::filesystem::path& source, const std::filesystem::path& to) {
    const Bytes data = readSourceBytes(source);
    extractZIP(data, to);
}

void extractZIP(ByteView data, const std::filesystem::path& to) {
    ExtractionFolder folder(to);
    walkZIP(
        data, [&](const std::string& name, ByteView content) { folder.writeFile(name, content); },
        [&](std::string name) { folder.noteFolder(std::move(name)); });
    folder.warnAboutEmptyFolders();
}

std::vector<ZipMember> readZIP(ByteView data) {
    std::vector<ZipMember> members;
    walkZIP(
        data,
        [&](const std::string& name, ByteView content) {
            members.push_back({name, Bytes(content.begin(), content.end())});
        },
        [](std::string) {});
    return members;
}

} // namespace kv::ArchiveConverter
