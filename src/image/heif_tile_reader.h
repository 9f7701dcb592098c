// Single tiles of a HEIF/AVIF grid picture, decoded without decoding the rest of the picture.
#pragma once

#include "image/heif_grid.h"
#include "image/image_codec.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace kv::image {

class HeifTileReader {
  public:
    /// None when the bytes' primary picture is not a grid of opaque tiles; throws PlatformError
    /// when the file is damaged.
    static std::optional<HeifTileReader> open(std::span<const std::uint8_t> file);

    int width() const { return static_cast<int>(m_grid->width); }
    int height() const { return static_cast<int>(m_grid->height); }
    int tileWidth() const { return static_cast<int>(m_grid->tileWidth); }
    int tileHeight() const { return static_cast<int>(m_grid->tileHeight); }
    int columns() const { return static_cast<int>(m_grid->columns); }
    int rows() const { return static_cast<int>(m_grid->rows); }

    /// The whole tile (edge tiles include their padding), as the grid's decoder would place it.
    Image decodeTile(int column, int row) const;

  private:
    explicit HeifTileReader(std::shared_ptr<const HeifGrid> grid) : m_grid(std::move(grid)) {}
    std::shared_ptr<const HeifGrid> m_grid;
};

} // namespace kv::image
