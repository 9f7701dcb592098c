// Fuzzes the GZIP reader (header flags, members, raw DEFLATE).
#include "archive/gzip_codec.h"
#include "engine/conversion_error.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)kv::ArchiveConverter::decompressGzip({data, size});
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
