// A private temporary folder, "$TMPDIR/Kelvane_<UUID>", removed on every path out.
#pragma once

#include <filesystem>
#include <string_view>

namespace kv {

class StagingFolder {
public:
    /// Creates `<temp>/<prefix><UUID>`; throws filesystem_error when it cannot.
    explicit StagingFolder(std::string_view prefix = "Kelvane_");
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace kv
