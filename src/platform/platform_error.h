// A library failure, carrying the library's own text.
#pragma once

#include <stdexcept>
#include <string>

namespace kv {

/// Thrown at the platform boundary when a library call fails; what() is the library's text.
class PlatformError : public std::runtime_error {
public:
    explicit PlatformError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kv

namespace kv::platform::media {

/// Thrown when the caller's stop token asked a media library to stop; the output is incomplete.
class MediaCancelled : public std::runtime_error {
public:
    MediaCancelled() : std::runtime_error("media operation cancelled") {}
};

}  // namespace kv::platform::media
