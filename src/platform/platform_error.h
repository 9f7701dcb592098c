// A library failure, carrying the library's own text.
#pragma once

#include <stdexcept>
#include <string>

namespace kv {

/// Thrown at the platform boundary when a library call fails; what() is the library's text.
class PlatformError : public std::runtime_error {
  public:
    /// What failed, as the door to the library can tell: reading the source's data (a decoder
    /// met damage or the file ended early), or anything else.
    enum class Kind { other, sourceDecoding };

    explicit PlatformError(const std::string& message, Kind kind = Kind::other)
        : std::runtime_error(message), m_kind(kind) {}
    Kind kind() const noexcept { return m_kind; }

  private:
    Kind m_kind;
};

} // namespace kv

namespace kv::platform {

/// Thrown when the caller's stop token asked a media library to stop; the output is incomplete.
class MediaCancelled : public std::runtime_error {
  public:
    MediaCancelled() : std::runtime_error("media operation cancelled") {}
};

} // namespace kv::platform
