// A private temporary folder, removed on every path out.
#include "engine/staging_folder.h"

#include "base/uuid.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace kv {

StagingFolder::StagingFolder(std::string_view prefix)
    : m_path(std::filesystem::temp_directory_path() / (std::string(prefix) + Uuid::random().toString())) {
    std::filesystem::create_directories(m_path.parent_path());
    // 0700: the tree may hold the user's private files.
    if (::mkdir(m_path.c_str(), 0700) != 0) {
        throw std::filesystem::filesystem_error("Cannot create staging folder", m_path,
                                                std::error_code(errno, std::generic_category()));
    }
}

StagingFolder::~StagingFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace kv
