// Reading a text source whatever its encoding: UTF-8, UTF-16, Windows-1252 or ISO-8859-1.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kv::DataConverter {

/// The whole file decoded to UTF-8. Read errors propagate; undecodable text throws
/// corruptFile("Could not decode text in " + file name).
std::string readText(const std::filesystem::path& file);

/// Decodes bytes by trying strict UTF-8, UTF-16 (by its byte-order mark, else the byte order its
/// NUL bytes suggest; only for text with a mark or NUL bytes), Windows-1252, ISO-8859-1.
/// A leading byte-order mark is dropped.
std::optional<std::string> decodeText(std::string bytes);

/// `text` without whitespace and line ends, Unicode's included, at either end.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

} // namespace kv::DataConverter
