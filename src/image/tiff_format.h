// TIFF directory fields as TIFF 6.0 and EXIF 2.3 number them, shared by our TIFF and EXIF code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::image::tiff {

/// Field tags.
enum Tag : std::uint16_t {
    imageWidth = 256,
    imageLength = 257,
    bitsPerSample = 258,
    compression = 259,
    imageDescription = 0x010E,
    make = 0x010F,
    model = 0x0110,
    stripOffsets = 273,
    orientation = 0x0112,
    samplesPerPixel = 277,
    rowsPerStrip = 278,
    stripByteCounts = 279,
    planarConfiguration = 284,
    software = 0x0131,
    dateTime = 0x0132,
    tileWidth = 322,
    artist = 0x013B,
    hostComputer = 0x013C,
    jpegInterchangeFormat = 0x0201,       // where an EXIF thumbnail starts
    jpegInterchangeFormatLength = 0x0202, // and its length
    copyright = 0x8298,
    exifDirectory = 0x8769,
    gpsDirectory = 0x8825,
    pixelXDimension = 0xA002,
    pixelYDimension = 0xA003,
    interoperabilityDirectory = 0xA005,
};

/// Field types.
enum Type : std::uint16_t { ascii = 2, shortType = 3, longType = 4 };

/// Compression values.
enum Compression : std::uint32_t { uncompressed = 1, adobeDeflate = 8, oldDeflate = 32946 };

/// Bytes of one directory entry: tag, type, count, value or offset.
inline constexpr std::size_t kEntryBytes = 12;

} // namespace kv::image::tiff
