// Fuzzes the RTF reader, then writes what it read as RTF and reads that back.
#include "document/richtext/rtf_reader.h"
#include "document/richtext/rtf_writer.h"
#include "engine/conversion_error.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const auto text =
            kv::richtext::readRTF(std::string_view(reinterpret_cast<const char*>(data), size));
        (void)kv::richtext::readRTF(kv::richtext::writeRTF(text));
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
