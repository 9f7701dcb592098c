#include "image/heif_tile_reader.h"

#include "platform/c_handle.h"
#include "platform/platform_error.h"

#include <cstdio>
#include <cstdlib>

namespace kv::image {

std::optional<HeifTileReader> HeifTileReader::open(std::span<const std::uint8_t> file) {
    auto grid = readHeifGrid(file);
    if (!grid)
        return std::nullopt;
    return HeifTileReader(std::make_shared<const HeifGrid>(std::move(*grid)));
}

Image HeifTileReader::decodeTile(int column, int row) const {
    if (column < 0 || row < 0 || column >= columns() || row >= rows())
        throw PlatformError("HEIF tile outside the grid");
    // The tile alone, as a one-tile grid that carries the picture's colour profile.
    HeifGrid single;
    single.width = m_grid->tileWidth;
    single.height = m_grid->tileHeight;
    single.columns = 1;
    single.rows = 1;
    single.icc = m_grid->icc;
    single.tiles.push_back(m_grid->tiles[static_cast<std::size_t>(row) * m_grid->columns +
                                         static_cast<std::size_t>(column)]);
    struct Buffer {
        char* data = nullptr;
        std::size_t size = 0;
        ~Buffer() { std::free(data); }
    } buffer;
    {
        CFile out(open_memstream(&buffer.data, &buffer.size));
        if (!out)
            throw PlatformError("no memory for a HEIF tile");
        writeHeifGrid(single, out.get());
    } // closing the stream settles data and size
    if (buffer.data == nullptr)
        throw PlatformError("no memory for a HEIF tile");
    return ImageSource::openBytes({reinterpret_cast<const std::uint8_t*>(buffer.data), buffer.size})
        .decode(0, false);
}

} // namespace kv::image
