// HEIF/AVIF files whose picture is a grid of separately coded tiles. libheif encodes each tile as a
// file of its own; we take the coded tile out of that file and write the grid container ourselves
// (libheif has no API for writing grids), so no encoder ever holds more than one tile.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kv::image {

/// One coded picture item: its type ("hvc1", "av01"), its properties as whole boxes with their
/// essential flags, and its coded bytes.
struct HeifCodedItem {
    std::string type;
    std::vector<std::vector<std::uint8_t>> properties;
    std::vector<bool> essential;
    std::vector<std::uint8_t> data;
};

/// The primary picture of a single-image file and, when it has one, its alpha picture.
struct HeifCodedImage {
    std::vector<std::uint8_t> fileType; // the whole "ftyp" box
    HeifCodedItem colour;
    std::optional<HeifCodedItem> alpha;
};

/// Takes the coded primary picture (and its alpha) out of a file libheif wrote. Throws
/// PlatformError on anything it cannot follow: a grid, data outside the file, unknown layouts.
HeifCodedImage extractHeifImage(std::span<const std::uint8_t> file);

struct HeifGrid {
    std::uint32_t width = 0; // the picture, cropped from the tiles' right and bottom edges
    std::uint32_t height = 0;
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
    std::uint32_t tileWidth = 0; // set by readHeifGrid only
    std::uint32_t tileHeight = 0;
    std::vector<HeifCodedImage> tiles; // row by row; all the same size, all with alpha or none
    std::vector<std::uint8_t> icc;     // stored on the grid beside the tiles' nclx
    std::vector<std::uint8_t> exif;    // TIFF-structured, with or without the "Exif\0\0" prefix
    std::vector<std::uint8_t> xmp;
};

/// Writes the grid as a complete file (ftyp, meta, mdat) to `out`. Throws PlatformError when the
/// layout is impossible (more than 256 tiles across, tiles that do not cover the picture) or a
/// write fails.
void writeHeifGrid(const HeifGrid& grid, std::FILE* out);

/// The grid of a file whose primary picture is a grid of opaque tiles (the tiles' colour pictures,
/// the ICC profile, the tile size); none for any other picture. Throws PlatformError on a damaged
/// file. EXIF and XMP are not read.
std::optional<HeifGrid> readHeifGrid(std::span<const std::uint8_t> file);

/// Tile sizes for a picture: at most `largest` pixels a side, a multiple of 16 (whole chroma blocks
/// and coding units), as little padding as the count allows, and never more than 256 a row.
struct HeifTiling {
    std::uint32_t tileWidth = 0;
    std::uint32_t tileHeight = 0;
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
};
HeifTiling planHeifTiles(std::uint32_t width, std::uint32_t height, std::uint32_t largest);

} // namespace kv::image
