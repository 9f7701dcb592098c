// Fuzzes the bzip2 reader with a 64 MiB output limit.
#include "archive/bzip2_codec.h"
#include "engine/conversion_error.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)kv::BZip2::decompress({data, size}, 64u << 20);
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
