// The tail check that refuses GIF, PNG and JPEG files cut off before their end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kv::ImageConverter {

/// The refusal message when a GIF, PNG or JPEG file lacks its ending; nothing when the file is
/// complete, of another type, shorter than 17 bytes or unreadable.
std::optional<std::string> truncationIssue(const std::filesystem::path& file);

/// The same test on the file's first 8 bytes and last (up to) 12 bytes.
std::optional<std::string> truncationIssueOf(std::string_view fileName,
                                             std::span<const std::uint8_t> head,
                                             std::span<const std::uint8_t> tail);

} // namespace kv::ImageConverter
