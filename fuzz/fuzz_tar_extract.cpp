// Fuzzes the TAR reader: every input is extracted into a scratch folder. The first byte chooses
// whether header checksums are repaired first, so mutations also reach the GNU long-name, PAX
// and base-256 paths behind the checksum test.
#include "archive/tar_reader.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kBlock = 512;

// Writes a valid checksum into every 512-byte block that is not all zeros (data blocks too:
// the reader never looks at their checksum field).
void repairChecksums(std::vector<std::uint8_t>& tar) {
    for (std::size_t p = 0; p + kBlock <= tar.size(); p += kBlock) {
        std::uint8_t* block = tar.data() + p;
        bool zero = true;
        for (std::size_t i = 0; i < kBlock && zero; ++i)
            zero = block[i] == 0;
        if (zero)
            continue;
        std::memset(block + 148, ' ', 8);
        unsigned sum = 0;
        for (std::size_t i = 0; i < kBlock; ++i)
            sum += block[i];
        for (int i = 5; i >= 0; --i, sum >>= 3)
            block[148 + i] = static_cast<std::uint8_t>('0' + (sum & 7));
        block[154] = 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path scratch = [] {
        kv::ConversionLogger::shared().setEcho(kv::ConversionLogger::Echo::none);
        return std::filesystem::temp_directory_path() /
               ("kv-fuzz-tar-" + std::to_string(::getpid()));
    }();
    if (size == 0)
        return 0;
    std::vector<std::uint8_t> tar(data + 1, data + size);
    if (data[0] & 1)
        repairChecksums(tar);
    std::filesystem::remove_all(scratch);
    std::filesystem::create_directories(scratch);
    (void)kv::ArchiveConverter::isTarArchive(tar);
    try {
        kv::ArchiveConverter::extractTAR(tar, scratch);
    } catch (const kv::ConversionError&) {
    } catch (const std::filesystem::filesystem_error&) {
    }
    kv::ConversionLogger::shared().clear();
    return 0;
}
