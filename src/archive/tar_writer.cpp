// TAR writer: ustar headers, with PAX records for paths ustar cannot hold.
#include "archive/tar_writer.h"

#include "archive/archive_tree.h"
#include "archive/tar_format.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace kv::ArchiveConverter {
namespace {

constexpr std::uint64_t kMaxOctal11 = 077777777777; // the largest value 11 octal digits hold

struct SplitName {
    std::string name;
    std::string prefix;
    bool exact = true; // false: the full path goes into a PAX `path` record before the header
};

// The longest leading part of `text` of at most `bytes` bytes that does not cut a UTF-8 sequence.
std::string cutUtf8(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes)
        return std::string(text);
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return std::string(text.substr(0, end));
}

// The last `count` characters (code points) of `text`.
std::string lastCharacters(std::string_view text, std::size_t count) {
    std::size_t start = text.size();
    while (start > 0 && count > 0) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80)
            --count;
    }
    return std::string(text.substr(start));
}

// ustar keeps up to 100 bytes in `name` and the folder part, up to 155, in `prefix`: the split
// takes the shortest suffix of whole components that fits the name field. A path that fits no
// split is stored whole in a PAX record; the header keeps a shortened form for readers that do
// not know PAX.
SplitName splitPath(const std::string& path) {
    if (path.size() <= tar::kNameBytes)
        return {path, {}, true};
    const bool folder = path.back() == '/';
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            pieces.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    const auto join = [&](std::size_t first, std::size_t last) {
        std::string text;
        for (std::size_t i = first; i < last; ++i)
            text += (i > first ? "/" : "") + pieces[i];
        return text;
    };
    // Shortest name first, as long as the folder part fits the prefix.
    for (std::size_t k = pieces.size(); k-- > 0;) {
        const std::string suffix = join(k, pieces.size()) + (folder ? "/" : "");
        if (suffix.size() > tar::kNameBytes)
            break; // suffixes only grow from here
        const std::string prefix = join(0, k);
        if (prefix.size() <= tar::kPrefixBytes)
            return {suffix, prefix, true};
    }
    const std::string last = pieces.empty() ? std::string() : pieces.back() + (folder ? "/" : "");
    if (!pieces.empty() && last.size() <= tar::kNameBytes)
        return {last, cutUtf8(join(0, pieces.size() - 1), tar::kPrefixBytes), false};
    return {cutUtf8(lastCharacters(path, tar::kNameBytes), tar::kNameBytes), {}, false};
}

// One PAX record, "<length> <key>=<value>\n", where the length counts its own digits.
std::string paxRecord(std::string_view key, std::string_view value) {
    const std::size_t body = 1 + key.size() + 1 + value.size() + 1; // " key=value\n"
    std::size_t length = body + 1;
    while (std::to_string(length).size() + body != length)
        length = std::to_string(length).size() + body;
    return std::to_string(length) + " " + std::string(key) + "=" + std::string(value) + "\n";
}

void putText(std::uint8_t* block, std::size_t offset, std::string_view text) {
    std::memcpy(block + offset, text.data(), text.size());
}

// The value in octal, zero-padded to width − 1 digits, then one NUL.
void putOctal(std::uint8_t* block, std::size_t offset, std::size_t width, std::uint64_t value) {
    std::size_t i = width - 1;
    block[offset + i] = 0;
    while (i-- > 0) {
        block[offset + i] = static_cast<std::uint8_t>('0' + (value & 7u));
        value >>= 3;
    }
}

// Fills a zeroed 512-byte block.
void writeHeader(std::uint8_t* block, const SplitName& split, char type, std::uint64_t size,
                 std::uint64_t mtime) {
    putText(block, tar::kNameOffset, split.name);
    putOctal(block, tar::kModeOffset, tar::kIdBytes, type == tar::kTypeDirectory ? 0755 : 0644);
    putOctal(block, tar::kUidOffset, tar::kIdBytes, 0);
    putOctal(block, tar::kGidOffset, tar::kIdBytes, 0);
    putOctal(block, tar::kSizeOffset, tar::kNumberBytes, size);
    putOctal(block, tar::kMtimeOffset, tar::kNumberBytes, mtime);
    block[tar::kTypeOffset] = static_cast<std::uint8_t>(type);
    putText(block, tar::kMagicOffset,
            std::string_view("ustar\0"
                             "00",
                             8));
    putText(block, tar::kPrefixOffset, split.prefix);
    // The checksum is summed while its own field holds eight spaces; it is written as six
    // octal digits, a NUL and a space.
    std::memset(block + tar::kChecksumOffset, ' ', tar::kChecksumBytes);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < tar::kBlockBytes; ++i)
        sum += block[i];
    putOctal(block, tar::kChecksumOffset, 7, sum);
    block[tar::kChecksumOffset + 7] = ' ';
}

void padToBlock(Bytes& out) {
    out.resize(out.size() + (tar::kBlockBytes - out.size() % tar::kBlockBytes) % tar::kBlockBytes,
               0);
}

// Appends the header block of `path`, preceded by a PAX extended header holding the whole path
// when ustar's name and prefix cannot; returns the header's offset in `out`.
std::size_t appendHeader(Bytes& out, const std::string& path, char type, std::uint64_t size,
                         std::uint64_t mtime) {
    const SplitName split = splitPath(path);
    if (!split.exact) {
        const std::string records = paxRecord("path", path);
        const std::string paxName = "PaxHeaders/" + cutUtf8(split.name, tar::kNameBytes - 11);
        out.resize(out.size() + tar::kBlockBytes, 0);
        writeHeader(out.data() + out.size() - tar::kBlockBytes, {paxName, {}, true},
                    tar::kTypePaxHeader, records.size(), mtime);
        const ByteView text = asBytes(records);
        out.insert(out.end(), text.begin(), text.end());
        padToBlock(out);
    }
    out.resize(out.size() + tar::kBlockBytes, 0);
    writeHeader(out.data() + out.size() - tar::kBlockBytes, split, type, size, mtime);
    return out.size() - tar::kBlockBytes;
}

} // namespace

Bytes createTARData(const std::filesystem::path& from) {
    const std::vector<std::string> folders = gatherDirectories(from, from);
    const auto files = gatherFiles(from, from);

    std::uint64_t expected = tar::kEndBytes + folders.size() * tar::kBlockBytes;
    for (const auto& file : files) {
        struct stat info {};
        if (::stat(file.second.c_str(), &info) == 0 && info.st_size > 0) {
            expected +=
                tar::kBlockBytes + (static_cast<std::uint64_t>(info.st_size) + 511) / 512 * 512;
        }
    }
    Bytes out;
    out.reserve(static_cast<std::size_t>(expected)); // a hint from the files on disk, not a limit

    for (const std::string& folder : folders)
        appendHeader(out, folder.back() == '/' ? folder : folder + "/", tar::kTypeDirectory, 0, 0);
    for (const auto& [path, location] : files) {
        const std::int64_t mtime = std::clamp<std::int64_t>(modificationTime(location, 0), 0,
                                                            static_cast<std::int64_t>(kMaxOctal11));
        // The header is rewritten once the bytes behind it are read and counted.
        const std::size_t header =
            appendHeader(out, path, tar::kTypeFile, 0, static_cast<std::uint64_t>(mtime));
        const std::size_t size = appendFileContents(out, location);
        std::memset(out.data() + header, 0, tar::kBlockBytes);
        writeHeader(out.data() + header, splitPath(path), tar::kTypeFile, size,
                    static_cast<std::uint64_t>(mtime));
        padToBlock(out);
    }
    out.resize(out.size() + tar::kEndBytes, 0);
    return out;
}

} // namespace kv::ArchiveConverter
