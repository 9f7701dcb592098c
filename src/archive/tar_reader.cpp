// ustar TAR reader.
#include "archive/tar_reader.h"

#include "archive/extraction_folder.h"
#include "archive/tar_format.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <algorithm>
#include <optional>

namespace kv::ArchiveConverter {
namespace {

// A NUL-terminated text field; leading NULs are skipped, the rest ends at the first NUL.
std::string textField(ByteView block, std::size_t offset, std::size_t width) {
    ByteView field = block.subspan(offset, width);
    while (!field.empty() && field.front() == 0)
        field = field.subspan(1);
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return decodeArchiveName(field.first(static_cast<std::size_t>(end - field.begin())));
}

// Octal text, spaces and NULs trimmed, one optional "+"; nothing parsable reads as 0. A value
// that cannot be a size ("-1", or digits past 2^63) gives none.
std::optional<std::uint64_t> parseSize(ByteView field) {
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

bool isUnrepresentable(char type) {
    switch (type) {
    case tar::kTypeHardLink:
    case tar::kTypeSymlink:
    case tar::kTypeCharDevice:
    case tar::kTypeBlockDevice:
    case tar::kTypeFifo:
    case tar::kTypeLongName:
    case tar::kTypeLongLink: return true;
    default: return false;
    }
}

bool isZeroBlock(ByteView block) {
    return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; });
}

} // namespace

bool isTarArchive(ByteView data) {
    return data.size() >= tar::kVersionOffset &&
           asText(data.subspan(tar::kMagicOffset, 5)) == "ustar";
}

void extractTAR(ByteView data, const std::filesystem::path& to) {
    ExtractionFolder folder(to);
    std::vector<std::string> unrepresentable;
    std::size_t extendedHeaders = 0;
    std::vector<std::string> unnamed;
    bool ended = false;
    std::size_t p = 0;
    while (data.size() - p >= tar::kBlockBytes) {
        const ByteView block = data.subspan(p, tar::kBlockBytes);
        if (isZeroBlock(block)) { // one zero block ends the archive
            ended = true;
            break;
        }
        const std::string name = textField(block, tar::kNameOffset, tar::kNameBytes);
        const std::string prefix = textField(block, tar::kPrefixOffset, tar::kPrefixBytes);
        const std::string fullName = prefix.empty() ? name : prefix + "/" + name;
        const std::optional<std::uint64_t> size =
            parseSize(block.subspan(tar::kSizeOffset, tar::kNumberBytes));
        const char type = static_cast<char>(block[tar::kTypeOffset]);
        const std::size_t dataStart = p + tar::kBlockBytes;
        if (!size || *size > data.size() - dataStart) {
            // Checked before any skip: a size past the data leaves no next header to go to.
            if (isUnrepresentable(type) || type == tar::kTypeDirectory ||
                type == tar::kTypePaxHeader || type == tar::kTypePaxGlobal || fullName.empty() ||
                fullName.back() == '/') {
                if (size && isUnrepresentable(type))
                    unrepresentable.push_back(fullName);
                break; // the stream ends inside this entry's data: read up to here
            }
            throw ConversionError::corruptFile("TAR entry '" + fullName +
                                               "' exceeds archive bounds");
        }
        const std::size_t padded = (static_cast<std::size_t>(*size) + tar::kBlockBytes - 1) /
                                   tar::kBlockBytes * tar::kBlockBytes;
        const std::size_t next = std::min(data.size(), dataStart + padded);
        const ByteView content = data.subspan(dataStart, static_cast<std::size_t>(*size));
        p = next;

        if (isUnrepresentable(type)) {
            unrepresentable.push_back(fullName);
            continue;
        }
        if (type == tar::kTypePaxHeader || type == tar::kTypePaxGlobal) {
            ++extendedHeaders;
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
    if (extendedHeaders > 0) {
        log.warning(std::to_string(extendedHeaders) +
                        " extended (PAX) header(s) ignored: long names and attributes they "
                        "carried were not applied",
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
