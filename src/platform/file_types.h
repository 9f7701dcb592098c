// A file's content type and type conformance, from GIO's shared-mime-info database.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kv::platform {

/// The content type guessed from the name and the first 4 KiB, or none when it is unknown.
std::optional<std::string> contentTypeOf(const std::filesystem::path& file);
/// Whether `type` is `ancestor` or a subtype of it (aliases resolved).
bool contentTypeIsA(std::string_view type, std::string_view ancestor);
/// Whether the database knows the type at all.
bool contentTypeIsKnown(std::string_view type);

} // namespace kv::platform
