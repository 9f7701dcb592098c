// Moving a file to the user's Trash (freedesktop.org trash through GIO).
#pragma once

#include <filesystem>

namespace kv::Trash {

/// Moves `file` into the Trash of its volume; never deletes it. Throws PlatformError with GIO's
/// reason when it cannot be trashed (the file then stays where it is).
void moveToTrash(const std::filesystem::path& file);

} // namespace kv::Trash
