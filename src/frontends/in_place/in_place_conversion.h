// Converting a file into the same folder under the same base name, inside granted folders only.
#pragma once

#include "formats/supported_format.h"

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>

namespace kv {

class FolderAccess;

namespace InPlaceConversion {

struct Outcome {
    enum class Kind { converted, needsAuthorization, collision, failed };

    Kind kind = Kind::failed;
    /// converted: the new file; needsAuthorization: the folder; collision: the existing file.
    std::filesystem::path location;
    /// failed: the message for the user.
    std::string message;

    static Outcome converted(std::filesystem::path file) {
        return {Kind::converted, std::move(file), {}};
    }
    static Outcome needsAuthorization(std::filesystem::path folder) {
        return {Kind::needsAuthorization, std::move(folder), {}};
    }
    static Outcome collision(std::filesystem::path existing) {
        return {Kind::collision, std::move(existing), {}};
    }
    static Outcome failed(std::string message) { return {Kind::failed, {}, std::move(message)}; }
};

struct Request {
    std::filesystem::path source;
    SupportedFormat target = SupportedFormat::png;
    bool replaceExisting = false;
    std::function<void(double)> progress;
    std::stop_token stop;
};

/// Converts `source` to `target` beside it ("a.png" → "a.jpg"). Never throws. The source is never
/// changed; a file already at the destination is replaced only when asked, atomically.
Outcome convert(const Request& request, FolderAccess& access);
/// The same with the shared folder grants.
Outcome convert(const Request& request);

} // namespace InPlaceConversion
} // namespace kv
