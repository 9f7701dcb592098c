// Fuzzes the TAR reader: every input is extracted into a scratch folder.
#include "archive/tar_reader.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path scratch = [] {
        kv::ConversionLogger::shared().setEcho(kv::ConversionLogger::Echo::none);
        return std::filesystem::temp_directory_path() /
               ("kv-fuzz-tar-" + std::to_string(::getpid()));
    }();
    std::filesystem::remove_all(scratch);
    std::filesystem::create_directories(scratch);
    (void)kv::ArchiveConverter::isTarArchive({data, size});
    try {
        kv::ArchiveConverter::extractTAR({data, size}, scratch);
    } catch (const kv::ConversionError&) {
    } catch (const std::filesystem::filesystem_error&) {
    }
    kv::ConversionLogger::shared().clear();
    return 0;
}
