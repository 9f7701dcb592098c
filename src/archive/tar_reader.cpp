// TAR reader: ustar, GNU (long names, base-256 sizes) and PAX (extended headers) as Linux writes
// them.
#include "archive/tar_reader.h"

#include "archive/extraction_folder.h"
#include "archive/tar_format.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <algorithm>
#include <optional>
#include <set>

namespace kv::ArchiveConverter {
namespace {

// What GNU long-name records and PAX extended headers say about the entry that follows them.
struct Override {
    std::optional<std::string> path;
    std::optional<std::string> linkPath;
    std::optional<std::uint64_t> size;
    bool sparse = false;
};

// Attributes a ustar header carries as well: never applied to extracted files, so skipping them
// loses nothing worth a warning.
const std::set<std::string, std::less<>> kMetadataKeys{
    "atime", "ctime", "mtime", "uid", "gid", "uname", "gname", "mode", "comment", "hdrcharset"};

// A NUL-terminated text field; leading NULs are skipped, the rest ends at the first NUL.
std::string textField(ByteView block, std::size_t offset, std::size_t width) {
    ByteView field = block.subspan(offset, width);
    while (!field.empty() && field.front() == 0)
        field = field.subspan(1);
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return decodeArchiveName(field.first(static_cast<std::size_t>(end - field.begin())));
}

// Octal text, spaces and NULs trimmed, one optional "+"; nothing parsable reads as 0. A field
// with the high bit of its first byte set is base-256. A value that cannot be a size ("-1", a
// negative base-256 number, or digits past 2^63) gives none.
std::optional<std::uint64_t> parseNumber(ByteView field) {
    if (!field.empty() && (field[0] & tar::kBase256Flag) != 0) {
        if ((field[0] & tar::kBase256Negative) != 0)
            return std::nullopt;
        std::uint64_t value = field[0] & 0x3Fu;
        for (std::size_t i = 1; i < field.size(); ++i) {
            if (value > (UINT64_MAX >> 9))
                return std::nullopt;
            value = value << 8 | field[i];
        }
        return value;
    }
    std::size_t begin = 0;
    std::size_t end = field.size();
    while (begin < end && (field[begin] == ' ' || field[begin] == 0))
        ++begin;
    while (end > begin && (field[end - 1] == ' ' || field[end - 1] == 0))
        --end;
    if (begin < end && field[begin] == '-')
        return std::nullopt;
    if (begin < end && field[begin] == '+')
        ++begin;
    std::uint64_t value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (field[i] < '0' || field[i] > '7')
            return 0;
        if (value > (UINT64_MAX >> 4))
            return std::nullopt;
        value = value * 8 + (field[i] - '0');
    }
    return value;
}

// The stored checksum must equal the sum of the header bytes with the checksum field taken as
// spaces. Some old writers summed the bytes as signed chars, so tar accepts either sum.
bool checksumMatches(ByteView block) {
    const ByteView field = block.subspan(tar::kChecksumOffset, tar::kChecksumBytes);
    const bool digits = std::any_of(field.begin(), field.end(),
                                    [](std::uint8_t b) { return b >= '0' && b <= '7'; });
    const std::optional<std::uint64_t> stored = parseNumber(field);
    if (!digits || !stored)
        return false;
    std::int64_t unsignedSum = 0;
    std::int64_t signedSum = 0;
    for (std::size_t i = 0; i < tar::kBlockBytes; ++i) {
        const bool inField =
            i >= tar::kChecksumOffset && i < tar::kChecksumOffset + tar::kChecksumBytes;
        const std::uint8_t byte = inField ? std::uint8_t{' '} : block[i];
        unsignedSum += byte;
        signedSum += static_cast<std::int8_t>(byte);
    }
    const auto value = static_cast<std::int64_t>(*stored);
    return value == unsignedSum || value == signedSum;
}

// The text of a GNU long-name record: its data up to the first NUL.
std::string longName(ByteView content) {
    const auto end = std::find(content.begin(), content.end(), std::uint8_t{0});
    return decodeArchiveName(content.first(static_cast<std::size_t>(end - content.begin())));
}

// Applies the records ("<length> <key>=<value>\n") of a PAX extended header to `next`; keys that
// matter but are not applied go to `ignored`.
void readPaxRecords(ByteView content, Override& next, std::set<std::string>& ignored) {
    std::string_view text = asText(content);
    while (!text.empty() && text.front() != '\0') {
        const std::size_t space = text.find(' ');
        std::uint64_t length = 0;
        const bool numeric =
            space != std::string_view::npos && space > 0 && space <= 20 &&
            std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(space),
                        [](char c) { return c >= '0' && c <= '9'; });
        if (numeric) {
            for (std::size_t i = 0; i < space; ++i)
                length = length * 10 + static_cast<std::uint64_t>(text[i] - '0');
        }
        if (!numeric || length <= space + 1 || length > text.size() || text[length - 1] != '\n') {
            throw ConversionError::corruptFile(
                "Malformed PAX extended header \u2014 the TAR archive is damaged");
        }
        const std::string_view record = text.substr(space + 1, length - space - 2);
        text.remove_prefix(length);
        const std::size_t equals = record.find('=');
        if (equals == std::string_view::npos) {
            throw ConversionError::corruptFile(
                "Malformed PAX extended header \u2014 the TAR archive is damaged");
        }
        const std::string key(record.substr(0, equals));
        const std::string_view value = record.substr(equals + 1);
        if (key == "path") {
            next.path = decodeArchiveName(asBytes(value));
        } else if (key == "linkpath") {
            next.linkPath = decodeArchiveName(asBytes(value));
        } else if (key == "size") {
            const std::optional<std::uint64_t> size =
                value.empty() || value.size() > 19 ||
                        !std::all_of(value.begin(), value.end(),
                                     [](char c) { return c >= '0' && c <= '9'; })
                    ? std::nullopt
                    : std::optional<std::uint64_t>(std::stoull(std::string(value)));
            if (!size) {
                throw ConversionError::corruptFile(
                    "Malformed PAX extended header \u2014 the TAR archive is damaged");
            }
            next.size = size;
        } else if (key.starts_with(tar::kPaxSparsePrefix)) {
            next.sparse = true;
            if (key == "GNU.sparse.name")
                next.path = decodeArchiveName(asBytes(value));
        } else if (!kMetadataKeys.contains(key)) {
            ignored.insert(key);
        }
    }
}

bool isUnrepresentable(char type) {
    switch (type) {
    case tar::kTypeHardLink:
    case tar::kTypeSymlink:
    case tar::kTypeCharDevice:
    case tar::kTypeBlockDevice:
    case tar::kTypeFifo: return true;
    default: return false;
    }
}

// Records that describe the next header rather than being entries of their own.
bool isMetaRecord(char type) {
    return type == tar::kTypeLongName || type == tar::kTypeLongLink ||
           type == tar::kTypePaxHeader || type == tar::kTypePaxGlobal;
}

bool isZeroBlock(ByteView block) {
    return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; });
}

// Old GNU headers ("ustar  " + NUL) keep times and sparse maps where ustar has its prefix.
bool isOldGnuHeader(ByteView block) {
    return asText(block.subspan(tar::kMagicOffset, 8)) == std::string_view("ustar  \0", 8);
}

[[noreturn]] void refuseSparse(const std::string& name) {
    throw ConversionError::corruptFile(
        "TAR entry '" + name +
        "' is a sparse file, which Kelvane cannot unpack \u2014 recreate the archive without "
        "--sparse.");
}

} // namespace

bool isTarArchive(ByteView data) {
    return data.size() >= tar::kVersionOffset &&
           asText(data.subspan(tar::kMagicOffset, 5)) == "ustar";
}

void extractTAR(ByteView data, const std::filesystem::path& to) {
    ExtractionFolder folder(to);
    std::vector<std::string> unrepresentable;
    std::set<std::string> ignoredKeys;
    std::vector<std::string> unnamed;
    Override next;
    bool ended = false;
    std::size_t p = 0;
    while (data.size() - p >= tar::kBlockBytes) {
        const ByteView block = data.subspan(p, tar::kBlockBytes);
        if (isZeroBlock(block)) { // one zero block ends the archive
            ended = true;
            break;
        }
        if (!checksumMatches(block)) {
            throw ConversionError::corruptFile("TAR header at byte " + std::to_string(p) +
                                               " fails its checksum \u2014 the archive is damaged");
        }
        const char type = static_cast<char>(block[tar::kTypeOffset]);
        const bool meta = isMetaRecord(type);
        const std::string name = textField(block, tar::kNameOffset, tar::kNameBytes);
        const std::string prefix = isOldGnuHeader(block)
                                       ? std::string()
                                       : textField(block, tar::kPrefixOffset, tar::kPrefixBytes);
        const std::string fullName =
            !meta && next.path ? *next.path : (prefix.empty() ? name : prefix + "/" + name);
        const std::optional<std::uint64_t> size =
            !meta && next.size ? next.size
                               : parseNumber(block.subspan(tar::kSizeOffset, tar::kNumberBytes));
        const std::size_t dataStart = p + tar::kBlockBytes;
        if (!size || *size > data.size() - dataStart) {
            // Checked before any skip: a size past the data leaves no next header to go to.
            if (isUnrepresentable(type) || meta || type == tar::kTypeDirectory ||
                type == tar::kTypeVolumeLabel || fullName.empty() || fullName.back() == '/') {
                if (size && isUnrepresentable(type))
                    unrepresentable.push_back(fullName);
                break; // the stream ends inside this entry's data: read up to here
            }
            throw ConversionError::corruptFile("TAR entry '" + fullName +
                                               "' exceeds archive bounds");
        }
        const std::size_t padded = (static_cast<std::size_t>(*size) + tar::kBlockBytes - 1) /
                                   tar::kBlockBytes * tar::kBlockBytes;
        const std::size_t following = std::min(data.size(), dataStart + padded);
        const ByteView content = data.subspan(dataStart, static_cast<std::size_t>(*size));
        p = following;

        if (meta) {
            if (type == tar::kTypeLongName) {
                next.path = longName(content);
            } else if (type == tar::kTypeLongLink) {
                next.linkPath = longName(content);
            } else if (type == tar::kTypePaxHeader) {
                readPaxRecords(content, next, ignoredKeys);
            } else {
                // Global attributes: sparse maps and names make no sense for every entry.
                Override global;
                readPaxRecords(content, global, ignoredKeys);
                if (global.path)
                    ignoredKeys.insert("path (global)");
            }
            continue;
        }
        const bool sparse = next.sparse;
        next = {};
        if (type == tar::kTypeGnuSparse || sparse)
            refuseSparse(fullName);
        if (type == tar::kTypeVolumeLabel)
            continue;
        if (isUnrepresentable(type)) {
            unrepresentable.push_back(fullName);
            continue;
        }
        if (type == tar::kTypeDirectory || fullName.empty() || fullName.back() == '/') {
            if (type == tar::kTypeDirectory || !fullName.empty())
                folder.noteFolder(sanitizePath(fullName));
            continue;
        }
        const std::string safe = sanitizePath(fullName);
        if (safe.empty()) {
            unnamed.push_back(fullName);
            continue;
        }
        folder.writeFile(safe, content);
    }

    auto& log = ConversionLogger::shared();
    if (!ignoredKeys.empty()) {
        const std::vector<std::string> keys(ignoredKeys.begin(), ignoredKeys.end());
        log.warning(std::to_string(keys.size()) +
                        " extended (PAX) attribute(s) not applied to the extracted files (" +
                        firstThreeNames(keys) + ")",
                    "Archive");
    }
    if (!unnamed.empty()) {
        log.warning(std::to_string(unnamed.size()) + " entry(ies) without a usable name skipped (" +
                        firstThreeNames(unnamed) + ")",
                    "Archive");
    }
    if (!ended)
        log.warning("The TAR stream ends without its end blocks \u2014 it may be truncated",
                    "Archive");
    folder.warnAboutEmptyFolders();
    if (!unrepresentable.empty()) {
        throw ConversionError::corruptFile(
            "This archive contains " + std::to_string(unrepresentable.size()) +
            " symlink(s) or special file(s) (" + firstThreeNames(unrepresentable) +
            ") that can't be represented in the target format without corrupting "
            "the tree.");
    }
}

} // namespace kv::ArchiveConverter
