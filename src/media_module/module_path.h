// Where the executable finds its modules (the media modules and the desktop window's).
#pragma once

#include <filesystem>

namespace kv::media_module {

/// The module `fileName`: in $KELVANE_MODULE_DIR when set; else in the installed private folder,
/// relative to the executable; else beside the executable, as in a build folder.
std::filesystem::path modulePath(const char* fileName);

} // namespace kv::media_module
