// Fuzzes the ZIP reader: every input is extracted into a scratch folder, then read in memory.
#include "archive/zip_reader.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <unistd.h>

namespace {

const std::filesystem::path& scratch() {
    static const std::filesystem::path path = [] {
        kv::ConversionLogger::shared().setEcho(kv::ConversionLogger::Echo::none);
        return std::filesystem::temp_directory_path() /
               ("kv-fuzz-zip-" + std::to_string(::getpid()));
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    std::filesystem::remove_all(scratch());
    std::filesystem::create_directories(scratch());
    try {
        kv::ArchiveConverter::extractZIP(bytes, scratch());
    } catch (const kv::ConversionError&) {
    } catch (const std::filesystem::filesystem_error&) {
    }
    try {
        (void)kv::ArchiveConverter::readZIP(bytes);
    } catch (const kv::ConversionError&) {
    }
    kv::ConversionLogger::shared().clear();
    return 0;
}
