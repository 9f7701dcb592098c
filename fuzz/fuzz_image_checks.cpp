// The PNG, TIFF and JPEG integrity checks on arbitrary bytes: errors are fine, crashes and hangs
// are not.
#include "image/jpeg_check.h"
#include "image/png_check.h"
#include "image/tiff_check.h"
#include "platform/platform_error.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The checks read files: keep one in memory and rewrite it for every input.
    static const int fd = memfd_create("kelvane-fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0)
        std::abort();
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    try {
        kv::image::verifyPngFile(path);
    } catch (const kv::PlatformError&) {
    }
    try {
        (void)kv::image::verifyTiffStrips(path);
    } catch (const kv::PlatformError&) {
    }
    try {
        kv::image::verifyJpegFile(path);
    } catch (const kv::PlatformError&) {
    }
    return 0;
}
