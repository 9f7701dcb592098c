// Whole-file reads that never throw, for the output checks.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kv {

/// The bytes of a regular file, in a buffer of exactly its size (outputs can be hundreds of
/// megabytes); nothing when it is not a regular file or cannot be read whole.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);

/// The file's text when it is well-formed UTF-8, a leading byte-order mark dropped; else nothing.
std::optional<std::string> readUtf8File(const std::filesystem::path& file);

} // namespace kv
