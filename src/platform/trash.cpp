// Moving a file to the user's Trash (freedesktop.org trash through GIO).
#include "platform/trash.h"

#include "platform/platform_error.h"

#include <gio/gio.h>
#include <string>

namespace kv::Trash {

void moveToTrash(const std::filesystem::path& file) {
    GFile* handle = g_file_new_for_path(file.c_str());
    GError* error = nullptr;
    const gboolean moved = g_file_trash(handle, nullptr, &error);
    g_object_unref(handle);
    if (!moved) {
        std::string reason = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw PlatformError(reason);
    }
}

} // namespace kv::Trash
