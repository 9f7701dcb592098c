// Repacks one archive format into another through a staging folder.
#include "archive/archive_converter.h"

#include "archive/archive_bytes.h"
#include "archive/archive_tree.h"
#include "archive/bzip2_codec.h"
#include "archive/extraction_folder.h"
#include "archive/gzip_codec.h"
#include "archive/tar_reader.h"
#include "archive/tar_writer.h"
#include "archive/xz_codec.h"
#include "archive/zip_reader.h"
#include "archive/zip_writer.h"
#include "base/size_text.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "engine/source_file.h"
#include "engine/staging_folder.h"

#include <algorithm>
#include <optional>

namespace kv::ArchiveConverter {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCategory = "Archive";
constexpr int kBzip2BlockSize100k = 9;

bool isEmptyFolder(const fs::path& folder) {
    return fs::directory_iterator(folder) == fs::directory_iterator();
}

// A decompressed payload: a TAR stream is unpacked, anything else is the one file it holds.
void unpackPayload(ByteView payload, const fs::path& source, const fs::path& to) {
    if (isTarArchive(payload)) {
        extractTAR(payload, to);
        return;
    }
    const std::string name = sanitizePath(baseNameOf(source));
    if (name.empty())
        throw ConversionError::failedToCreateOutput();
    ExtractionFolder(to).writeFile(name, payload);
}

} // namespace

namespace {

// DEFLATE cannot expand its input more than about 1,032 times: with stored entries at 1:1, the
// source size times this bounds what a ZIP unpacks to, whatever sizes its entries declare.
constexpr std::uint64_t kMaxDeflateExpansion = 1032;

// The source read whole and, for gzip, xz and bz2, decompressed: what the tree is unpacked from.
Bytes decodeSource(const fs::path& source, SupportedFormat format) {
    auto& log = ConversionLogger::shared();
    const std::int64_t size = sourceFileSize(source);
    if (static_cast<std::uint64_t>(size) > kMaxArchiveBytes) {
        log.error("Archive too large (" + formatByteCount(size) + ")", kCategory);
        throw ConversionError::corruptFile("Archive is too large to process (max 2 GB)");
    }
    // The compressed bytes are dropped as soon as the payload is decoded.
    const auto decoded = [&](Bytes (*decode)(ByteView)) {
        const Bytes compressed = readSourceBytes(source);
        return decode(compressed);
    };
    switch (format) {
    case SupportedFormat::zip:
    case SupportedFormat::tar: return readSourceBytes(source);
    case SupportedFormat::gzip:
        return decoded([](ByteView data) { return decompressGzip(data, kMaxArchiveBytes); });
    case SupportedFormat::xz:
        return decoded([](ByteView data) { return XZCodec::decompress(data, kMaxArchiveBytes); });
    case SupportedFormat::bz2:
        return decoded([](ByteView data) { return BZip2::decompress(data, kMaxArchiveBytes); });
    default: throw ConversionError::unsupportedConversion(displayName(format), "extracted");
    }
}

// At most how many bytes of files the decoded source unpacks to.
std::uint64_t treeBound(ByteView decoded, SupportedFormat format) {
    if (format == SupportedFormat::zip)
        return std::min(kMaxArchiveBytes, decoded.size() * kMaxDeflateExpansion);
    return decoded.size();
}

void unpackDecoded(ByteView decoded, SupportedFormat format, const fs::path& source,
                   const fs::path& to) {
    switch (format) {
    case SupportedFormat::zip: extractZIP(decoded, to); return;
    case SupportedFormat::tar: extractTAR(decoded, to); return;
    default: unpackPayload(decoded, source, to); return;
    }
}

} // namespace

void extractArchive(const fs::path& source, SupportedFormat format, const fs::path& to) {
    const Bytes decoded = decodeSource(source, format);
    unpackDecoded(decoded, format, source, to);
}

void createArchive(const fs::path& from, SupportedFormat format, const fs::path& output) {
    auto& log = ConversionLogger::shared();
    if (isEmptyFolder(from))
        throw ConversionError::emptyOutput();
    const std::int64_t size = uncompressedSize(from);
    if (static_cast<std::uint64_t>(size) > kMaxArchiveBytes) {
        log.error("Extracted contents too large (" + formatByteCount(size) + ")", kCategory);
        throw ConversionError::corruptFile(
            "Archive contents are too large to repackage (max 2 GB uncompressed)");
    }
    // The TAR stream is dropped before the compressed bytes are written.
    const auto packed = [&](Bytes (*encode)(ByteView)) {
        const Bytes tar = createTARData(from);
        return encode(tar);
    };
    switch (format) {
    case SupportedFormat::zip: createZIP(from, output); return;
    case SupportedFormat::tar: writeOutputFile(output, createTARData(from)); return;
    case SupportedFormat::gzip: writeOutputFile(output, packed(&compressGzip)); return;
    case SupportedFormat::xz: writeOutputFile(output, packed(&XZCodec::compress)); return;
    case SupportedFormat::bz2:
        writeOutputFile(
            output, packed([](ByteView tar) { return BZip2::compress(tar, kBzip2BlockSize100k); }));
        return;
    default: throw ConversionError::unsupportedConversion("extracted", displayName(format));
    }
}

fs::path convert(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    const std::string fileName = request.source.filename().string();
    log.info("Archive: " + std::string(displayName(request.sourceFormat)) + " \u2192 " +
                 std::string(displayName(request.target)),
             kCategory, fileName);
    try {
        checkSourceFile(request.source);
    } catch (const std::exception&) {
        log.error("File not readable", kCategory, request.source.string());
        throw ConversionError::fileAccessDenied(fileName);
    }
    const std::string baseName = baseNameOf(request.source);

    // Decoded first, so that the staging folder can be chosen for the size of the tree.
    std::optional<StagingFolder> staging; // removed on every path out
    {
        const Bytes decoded = decodeSource(request.source, request.sourceFormat);
        staging.emplace("Kelvane_", treeBound(decoded, request.sourceFormat));
        unpackDecoded(decoded, request.sourceFormat, request.source, staging->path());
    }
    if (isEmptyFolder(staging->path())) {
        log.error("Extraction produced no files", kCategory);
        throw ConversionError::emptyOutput();
    }
    if (request.stop.stop_requested())
        throw ConversionError::cancelled();

    const fs::path output = OutputNameRegistry::shared().reserve(request.outputDir, baseName,
                                                                 fileExtension(request.target));
    createArchive(staging->path(), request.target, output);
    if (!fs::exists(output))
        throw ConversionError::failedToCreateOutput();
    return output;
}

} // namespace kv::ArchiveConverter
