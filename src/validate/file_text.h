// Whole-file reads for the checks, which never throw.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kv::Validator {

/// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);
/// The file's text when it is valid UTF-8 (a leading BOM is dropped), or nothing.
std::optional<std::string> readUTF8File(const std::filesystem::path& file);
/// Whether `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

}  // namespace kv::Validator
