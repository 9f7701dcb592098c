// Reader of Apple icon files: finds the largest rendition and unpacks the classic RLE encodings.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kv::image {

/// One rendition picked from an ICNS file.
struct IcnsRendition {
    enum class Encoding { png, jpeg2000, rgba };
    Encoding encoding = Encoding::rgba;
    int width = 0; // pixel size the element type declares
    int height = 0;
    std::vector<std::uint8_t> data; // the embedded PNG/JPEG 2000 file, or width × height × 4 RGBA
};

/// Damage found while reading an ICNS file.
class IcnsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Whether the bytes start like an ICNS file.
bool looksLikeIcns(std::span<const std::uint8_t> bytes);

/// The largest rendition (embedded PNG and JPEG 2000 preferred over RLE at equal size). Classic RLE
/// colour entries take their alpha from the matching mask entry, else they are opaque. Throws
/// IcnsError on a malformed file or one without a usable rendition.
IcnsRendition readLargestIcnsRendition(std::span<const std::uint8_t> bytes);

} // namespace kv::image
