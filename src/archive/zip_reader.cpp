// ZIP reader.
#include "archive/zip_reader.h"

#include "archive/deflate_codec.h"
#include "archive/extraction_folder.h"
#include "archive/zip_format.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/source_file.h"

#include <functional>

namespace kv::ArchiveConverter {
namespace {

using FileSink = std::function<void(const std::string& name, ByteView content)>;
using FolderSink = std::function<void(std::string name)>;

ConversionError expansionError() {
    return ConversionError::corruptFile("Archive expands to more than " + formattedArchiveLimit() +
                                        " \u2014 refusing to continue.");
}

bool isSymlinkEntry(ByteView data, std::size_t header) {
    const std::uint32_t attributes = readUInt32(data, header + zip::kCentralExternalAttributes);
    return data[header + zip::kCentralMadeByHost] == zip::kHostUnix &&
           ((attributes >> 16) & zip::kUnixTypeMask) == zip::kUnixSymlink;
}

// Walks the central directory; each readable file entry goes to `onFile` as soon as it is read.
void walkZIP(ByteView data, const FileSink& onFile, const FolderSink& onFolder) {
    const std::optional<std::size_t> end = findEOCD(data);
    if (!end)
        throw ConversionError::corruptFile(
            "Invalid ZIP \u2014 cannot find end of central directory");
    if (data.size() - *end < zip::kEndRecordBytes)
        throw ConversionError::corruptFile("Invalid ZIP \u2014 EOCD too short");

    const std::uint16_t entryCount = readUInt16(data, *end + zip::kEndTotalEntries);
    std::size_t p = readUInt32(data, *end + zip::kEndDirectoryOffset);
    std::uint64_t extracted = 0;
    std::vector<std::string> failed;
    std::vector<std::string> links;

    std::uint16_t index = 0;
    for (; index < entryCount; ++index) {
        // A directory that ends early is not an error: what was read stands (and is reported).
        if (p > data.size() || data.size() - p < zip::kCentralHeaderBytes)
            break;
        if (readUInt32(data, p) != zip::kCentralHeaderSignature) {
            throw ConversionError::corruptFile("Invalid ZIP central directory entry");
        }
        const std::uint16_t method = readUInt16(data, p + zip::kCentralMethod);
        const std::uint32_t compressedSize = readUInt32(data, p + zip::kCentralCompressedSize);
        const std::uint32_t declaredSize = readUInt32(data, p + zip::kCentralUncompressedSize);
        const std::size_t nameLength = readUInt16(data, p + zip::kCentralNameLength);
        const std::size_t extraLength = readUInt16(data, p + zip::kCentralExtraLength);
        const std::size_t commentLength = readUInt16(data, p + zip::kCentralCommentLength);
        const std::size_t localOffset = readUInt32(data, p + zip::kCentralLocalOffset);
        if (data.size() - p - zip::kCentralHeaderBytes < nameLength)
            break;
        const std::string name =
            decodeArchiveName(data.subspan(p + zip::kCentralHeaderBytes, nameLength));
        const std::size_t header = p;
        p += zip::kCentralHeaderBytes + nameLength + extraLength + commentLength;

        if (!name.empty() && name.back() == '/') {
            onFolder(sanitizePath(name));
            continue;
        }
        if (name.find("__MACOSX") != std::string::npos)
            continue;

        if (localOffset > data.size() || data.size() - localOffset < zip::kLocalHeaderBytes ||
            readUInt32(data, localOffset) != zip::kLocalHeaderSignature) {
            failed.push_back(name);
            continue;
        }
        const std::size_t start = localOffset + zip::kLocalHeaderBytes +
                                  readUInt16(data, localOffset + zip::kLocalNameLength) +
                                  readUInt16(data, localOffset + zip::kLocalExtraLength);
        if (start > data.size() || data.size() - start < compressedSize) {
            failed.push_back(name);
            continue;
        }
        const ByteView stored = data.subspan(start, compressedSize);

        InflateResult inflated;
        ByteView content;
        if (method == zip::kMethodDeflated) {
            inflated = inflateRaw(stored, declaredSize, kMaxArchiveBytes - extracted);
            if (inflated.status == InflateResult::Status::tooLarge)
                throw expansionError();
            if (inflated.status != InflateResult::Status::ok)
                throw ConversionError::corruptFile("Cannot decompress data");
            content = inflated.data;
        } else if (method == zip::kMethodStored) {
            content = stored;
        } else {
            failed.push_back(name);
            continue;
        }
        extracted += content.size();
        if (extracted > kMaxArchiveBytes)
            throw expansionError();

        const std::string safe = sanitizePath(name);
        if (safe.empty()) {
            failed.push_back(name);
            continue;
        }
        if (isSymlinkEntry(data, header))
            links.push_back(name);
        onFile(safe, content);
    }

    if (index < entryCount) {
        ConversionLogger::shared().warning(
            "The central directory ends after " + std::to_string(index) + " of " +
                std::to_string(entryCount) + " entries \u2014 the rest could not be read",
            "Archive");
    }
    if (!links.empty()) {
        ConversionLogger::shared().warning(
            std::to_string(links.size()) +
                " symbolic link(s) extracted as plain files holding the link target (" +
                firstThreeNames(links) + ")",
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
        if (readUInt32(data, p) == zip::kEndRecordSignature)
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
