// Converting a file into the same folder under the same base name, inside granted folders only.
#include "frontends/in_place/in_place_conversion.h"

#include "base/uuid.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "engine/logger.h"
#include "engine/staging_folder.h"
#include "frontends/in_place/folder_access.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <stdio.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kv::InPlaceConversion {
namespace {

namespace fs = std::filesystem;

// Raised inside the placement when the destination turned up while converting.
struct CollisionAppeared {};

std::string lowerCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Anything at the path counts, a dangling symbolic link included.
bool entryExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

[[noreturn]] void throwErrno(int code, const fs::path& from, const fs::path& to) {
    throw fs::filesystem_error("Cannot place the converted file", from, to,
                               std::error_code(code, std::generic_category()));
}

// Moves `from` to `to`, never replacing: RENAME_NOREPLACE, or a hard link where the file system
// lacks it. False when something already stands at `to`.
bool moveNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        throwErrno(errno, from, to);
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST)
            return false;
        throwErrno(errno, from, to);
    }
    ::unlink(from.c_str());
    return true;
}

// The produced file, first copied next to the destination when the staging folder sits on
// another file system, so the final step is always one rename in the destination's folder.
class NearbyCopy {
  public:
    NearbyCopy(const fs::path& produced, const fs::path& destination) {
        struct stat a {
        }, b{};
        if (::stat(produced.parent_path().c_str(), &a) == 0 &&
            ::stat(destination.parent_path().c_str(), &b) == 0 && a.st_dev == b.st_dev) {
            m_path = produced;
            return;
        }
        m_path = destination.parent_path() / (".kelvane-" + Uuid::random().toString().substr(0, 8) +
                                              "-" + destination.filename().string());
        fs::copy_file(produced, m_path);
        m_owned = true;
    }
    ~NearbyCopy() {
        std::error_code ignored;
        if (m_owned)
            fs::remove(m_path, ignored);
    }
    NearbyCopy(const NearbyCopy&) = delete;
    NearbyCopy& operator=(const NearbyCopy&) = delete;
    const fs::path& path() const { return m_path; }

  private:
    fs::path m_path;
    bool m_owned = false;
};

fs::path place(const fs::path& produced, const fs::path& destination, bool replaceExisting) {
    if (entryExists(destination) && !replaceExisting)
        throw CollisionAppeared{};
    NearbyCopy nearby(produced, destination);
    if (replaceExisting) {
        // rename(2) swaps the new file in atomically: the old one stays whole until then.
        if (::rename(nearby.path().c_str(), destination.c_str()) != 0)
            throwErrno(errno, produced, destination);
    } else if (!moveNoReplace(nearby.path(), destination)) {
        throw CollisionAppeared{};
    }
    return destination;
}

} // namespace

Outcome convert(const Request& request, FolderAccess& access) {
    const fs::path& source = request.source;
    const SupportedFormat target = request.target;
    const fs::path folder = source.parent_path();
    if (isFolderTarget(target)) {
        return Outcome::failed(std::string(displayName(target)) +
                               " creates a folder of files \u2014 open it in Kelvane instead.");
    }
    auto job = FileDetector::createJob(source);
    if (!job)
        return Outcome::failed("Kelvane doesn't recognise " + source.filename().string() + ".");
    const auto targets = possibleConversions(job->detectedFormat);
    if (std::find(targets.begin(), targets.end(), target) == targets.end()) {
        return Outcome::failed("Can't convert " + std::string(displayName(job->detectedFormat)) +
                               " to " + std::string(displayName(target)) + ".");
    }
    const fs::path destination = fs::path(source).replace_extension(fileExtension(target));
    if (lowerCased(destination.string()) == lowerCased(source.string())) {
        return Outcome::failed(source.filename().string() + " is already " +
                               std::string(displayName(target)) + ".");
    }
    try {
        if (!access.canWrite(folder))
            return Outcome::needsAuthorization(folder);
        if (!request.replaceExisting &&
            access.with(folder, [&] { return entryExists(destination); }).value_or(false)) {
            return Outcome::collision(destination);
        }
    } catch (const std::exception& failure) {
        return Outcome::failed(failure.what());
    }

    std::optional<StagingFolder> staging;
    try {
        staging.emplace("Kelvane-inplace-");
    } catch (const std::exception& failure) {
        return Outcome::failed(failure.what());
    }
    fs::path produced;
    try {
        job->targetFormat = target;
        produced = ConversionEngine::convert(*job, staging->path(), request.progress, request.stop);
    } catch (const std::exception& failure) {
        return Outcome::failed(failure.what());
    }
    try {
        const auto placed = access.with(
            folder, [&] { return place(produced, destination, request.replaceExisting); });
        if (!placed)
            return Outcome::needsAuthorization(folder);
        ConversionLogger::shared().success("Converted in place", "Finder",
                                           placed->filename().string());
        return Outcome::converted(*placed);
    } catch (const CollisionAppeared&) {
        return Outcome::collision(destination);
    } catch (const std::exception& failure) {
        return Outcome::failed(failure.what());
    }
}

Outcome convert(const Request& request) {
    return convert(request, FolderAccess::shared());
}

} // namespace kv::InPlaceConversion
