// The EXIF block editor on arbitrary bytes: a malformed block gives nothing, never a crash.
#include "platform/image/exif_patch.h"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto patched = kv::platform::patchExif(
        bytes, {.orientation = 1, .pixelWidth = 640, .pixelHeight = 480, .removeGPS = true, .removeThumbnail = true});
    if (patched && patched->size() > size) std::abort();  // edits never grow the block
    return 0;
}
