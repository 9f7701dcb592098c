// Fuzzes the output-name key (NFC + lower case) with arbitrary bytes as a path.
#include "engine/output_name_registry.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)kv::normalisedPathKey(text);
    return 0;
}
