// The EXIF block editor and relocator on arbitrary bytes: a malformed block gives nothing, never a
// crash.
#include "image/exif_patch.h"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto patched = kv::image::patchExif(bytes, {.orientation = 1,
                                                      .pixelWidth = 640,
                                                      .pixelHeight = 480,
                                                      .removeGps = true,
                                                      .removeThumbnail = true});
    if (patched && patched->size() > size)
        std::abort(); // edits never grow the block
    // Relocation keeps the block's size; its directories land inside the block.
    const std::uint64_t position = size > 0 ? std::uint64_t{data[0]} * 4096 : 0;
    if (const auto placed = kv::image::relocateExif(bytes, position)) {
        if (placed->bytes.size() > size)
            std::abort();
        for (const std::uint32_t at : {placed->exifDirectory, placed->gpsDirectory})
            if (at != 0 && (at < position || at - position >= placed->bytes.size()))
                std::abort();
    }
    return 0;
}
