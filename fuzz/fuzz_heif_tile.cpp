// Taking the coded picture out of a HEIF file, then writing it back as a one-tile grid, on
// arbitrary bytes: errors are fine, crashes are not.
#include "image/heif_grid.h"
#include "platform/platform_error.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        kv::image::HeifGrid grid;
        grid.tiles.push_back(kv::image::extractHeifImage({data, size}));
        if (grid.tiles.front().colour.data.empty())
            std::abort();
        grid.width = grid.height = 64;
        grid.columns = grid.rows = 1;
        std::unique_ptr<std::FILE, decltype(&std::fclose)> sink(std::fopen("/dev/null", "wb"),
                                                                &std::fclose);
        if (sink)
            kv::image::writeHeifGrid(grid, sink.get());
    } catch (const kv::PlatformError&) {
    }
    return 0;
}
