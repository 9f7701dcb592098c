// Trees and hand-made archives for the archive tests.
#pragma once

#include "archive/archive_bytes.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kv::test {

/// Relative path → bytes of every file under `root` (no folders).
std::map<std::string, std::string> snapshot(const std::filesystem::path& root);

/// A tree with nested folders, an empty file, a 3 MB file, hidden files, unicode names and a
/// path of 150 bytes; returns what a repack must reproduce (everything but .DS_Store).
std::map<std::string, std::string> makeSampleTree(const std::filesystem::path& root);

/// One hand-written ZIP entry: raw name bytes, method, payload and the sizes to declare.
struct RawZipEntry {
    std::string name;
    std::string payload;
    std::uint16_t method = 0;
    std::uint32_t declaredSize = 0; // 0: the payload size
};
/// A ZIP with these entries and an end-record comment of `commentBytes` bytes.
std::string makeRawZip(const std::vector<RawZipEntry>& entries, std::size_t commentBytes = 0);

/// Recomputes the checksum field of a 512-byte header block (unsigned sum, as tar writes it).
void setTarChecksum(std::string& block);
/// One 512-byte ustar header with the given name, type flag and size text (12 bytes field).
std::string tarHeader(std::string_view name, char type, std::string_view sizeField,
                      std::string_view prefix = {});
/// A TAR entry: header with an octal size, then the data padded to 512 bytes.
std::string tarEntry(std::string_view name, char type, std::string_view data);

std::string toString(const ArchiveConverter::Bytes& bytes);

/// The message of the corrupt-file error that `action` throws (a test failure otherwise).
std::string corruptMessage(const std::function<void()>& action);
/// Whether a log line containing `text` was written.
bool logged(std::string_view text);

} // namespace kv::test
