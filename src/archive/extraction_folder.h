// Where readers write what they unpack: a folder that no entry name can escape.
#pragma once

#include "archive/archive_bytes.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kv::ArchiveConverter {

/// Writes files under one root folder, walking each path component with openat and O_NOFOLLOW,
/// so neither "..", an absolute name nor a symbolic link met on the way can lead outside it.
class ExtractionFolder {
  public:
    explicit ExtractionFolder(const std::filesystem::path& root);
    ~ExtractionFolder();
    ExtractionFolder(const ExtractionFolder&) = delete;
    ExtractionFolder& operator=(const ExtractionFolder&) = delete;

    /// Writes `bytes` at `relativePath` (already sanitised), creating parent folders and
    /// replacing an existing file. A path that runs through a file or symbolic link, or names a
    /// folder, throws corrupt naming the entries; other file-system errors throw
    /// filesystem_error.
    void writeFile(std::string_view relativePath, ByteView bytes);

    /// Notes a folder entry of the archive. Folders are only created as parents of files, so
    /// the ones that stay empty are reported by `warnAboutEmptyFolders`.
    void noteFolder(std::string relativePath);
    /// Logs one warning naming the noted folders that hold no file: they are not carried over.
    void warnAboutEmptyFolders() const;

  private:
    int parentFolder(std::string_view parent, std::string_view entry,
                     const std::filesystem::path& where);

    std::filesystem::path m_root;
    int m_rootFd = -1;
    std::string m_lastParent;
    int m_lastParentFd = -1;
    std::vector<std::string> m_folders;
};

/// "a, b, c" and, past three, " and N more": how the refusal messages name entries.
std::string firstThreeNames(const std::vector<std::string>& names);

} // namespace kv::ArchiveConverter
