// Deflate TIFF writer that compresses strips on several threads; libtiff writes the container.
#include "image/tiff_encoder.h"

#include "base/ordered_workers.h"
#include "image/exif_patch.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libdeflate.h>
#include <memory>
#include <optional>
#include <thread>
#include <tiffio.h>
#include <unistd.h>
#include <utility>

namespace kv::image {
namespace {

constexpr unsigned kMaxThreads = 4;
// Classic TIFF addresses 4 GiB; an image whose pixels alone come near that goes into a BigTIFF.
constexpr std::uint64_t kClassicTiffPixelBytes = 3ull << 30;

struct Job {
    std::vector<std::uint8_t> rows; // the strip's samples as given
};

struct Result {
    std::vector<std::uint8_t> bytes; // the zlib stream of the predicted rows
};

// libtiff reports through callbacks; keep the first message for the exception. The format comes
// from libtiff, hence the attribute.
__attribute__((format(printf, 4, 0))) int keepError(TIFF*, void* context, const char* module,
                                                    const char* format, va_list args) {
    auto& text = *static_cast<std::string*>(context);
    if (text.empty()) {
        char message[512];
        std::vsnprintf(message, sizeof message, format, args);
        text = std::string(module != nullptr ? module : "libtiff") + ": " + message;
    }
    return 1;
}

int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

} // namespace

struct TiffEncoder::Shared {
    TIFF* tiff = nullptr;
    std::string error;
    TiffMetadata metadata;
    std::optional<RelocatedExif> exif;
    int width = 0;
    int height = 0;
    int channels = 0;
    std::size_t rowBytes = 0;
    int rowsPerStrip = 0;
    TiffSettings settings;

    // Producer side (the thread calling addRows).
    std::vector<std::uint8_t> strip;
    int rowsAdded = 0;
    std::uint32_t stripsWritten = 0;

    [[noreturn]] void fail(const char* what) {
        throw PlatformError(error.empty() ? std::string(what) : error);
    }

    // Horizontal differencing (each sample minus the same sample of the pixel to its left), then
    // one zlib stream per strip, as TIFF's Adobe deflate compression with predictor 2 stores it.
    // Each worker thread gets its own callable, which owns that thread's compressor and scratch
    // buffer.
    OrderedWorkers<Job, Result>::Work makeWork() const {
        std::shared_ptr<libdeflate_compressor> compressor(
            libdeflate_alloc_compressor(settings.level), libdeflate_free_compressor);
        auto predicted = std::make_shared<std::vector<std::uint8_t>>();
        const std::size_t pixel = static_cast<std::size_t>(channels);
        const std::size_t bytesPerRow = rowBytes;
        return [compressor, predicted, pixel, bytesPerRow](Job& job) {
            if (compressor == nullptr)
                throw PlatformError("libdeflate could not start");
            predicted->resize(job.rows.size());
            for (std::size_t row = 0; row < job.rows.size(); row += bytesPerRow) {
                const std::uint8_t* in = job.rows.data() + row;
                std::uint8_t* out = predicted->data() + row;
                std::memcpy(out, in, pixel);
                for (std::size_t i = pixel; i < bytesPerRow; ++i)
                    out[i] = static_cast<std::uint8_t>(in[i] - in[i - pixel]);
            }
            Result result;
            result.bytes.resize(
                libdeflate_zlib_compress_bound(compressor.get(), predicted->size()));
            const std::size_t size =
                libdeflate_zlib_compress(compressor.get(), predicted->data(), predicted->size(),
                                         result.bytes.data(), result.bytes.size());
            if (size == 0)
                throw PlatformError("libdeflate could not compress a strip");
            result.bytes.resize(size);
            return result;
        };
    }

    void writeHeaderFields() {
        const bool alpha = channels == 2 || channels == 4;
        bool ok =
            TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width)) &&
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height)) &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, std::uint16_t{8}) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(channels)) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, std::uint16_t{SAMPLEFORMAT_UINT}) &&
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                         static_cast<std::uint16_t>(channels >= 3 ? PHOTOMETRIC_RGB
                                                                  : PHOTOMETRIC_MINISBLACK)) &&
            TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, std::uint16_t{PLANARCONFIG_CONTIG}) &&
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, std::uint16_t{COMPRESSION_ADOBE_DEFLATE}) &&
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, std::uint16_t{PREDICTOR_HORIZONTAL}) &&
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(rowsPerStrip)) &&
            TIFFSetField(tiff, TIFFTAG_ORIENTATION,
                         static_cast<std::uint16_t>(std::clamp(metadata.orientation, 1, 8)));
        if (ok && alpha) {
            const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
            ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, std::uint16_t{1}, extra);
        }
        if (ok && metadata.pixelsPerCmX > 0 && metadata.pixelsPerCmY > 0) {
            ok = TIFFSetField(tiff, TIFFTAG_XRESOLUTION, metadata.pixelsPerCmX) &&
                 TIFFSetField(tiff, TIFFTAG_YRESOLUTION, metadata.pixelsPerCmY) &&
                 TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, std::uint16_t{RESUNIT_CENTIMETER});
        }
        if (ok && !metadata.icc.empty())
            ok = TIFFSetField(tiff, TIFFTAG_ICCPROFILE,
                              static_cast<std::uint32_t>(metadata.icc.size()), metadata.icc.data());
        if (ok && !metadata.xmp.empty())
            ok = TIFFSetField(tiff, TIFFTAG_XMLPACKET,
                              static_cast<std::uint32_t>(metadata.xmp.size()), metadata.xmp.data());
        if (ok && metadata.iptc.size() >= 4)
            ok = TIFFSetField(tiff, TIFFTAG_RICHTIFFIPTC,
                              static_cast<std::uint32_t>(metadata.iptc.size() / 4),
                              metadata.iptc.data());
        if (ok && !metadata.photoshop.empty())
            ok = TIFFSetField(tiff, TIFFTAG_PHOTOSHOP,
                              static_cast<std::uint32_t>(metadata.photoshop.size()),
                              metadata.photoshop.data());
        if (ok && !metadata.description.empty())
            ok = TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, metadata.description.c_str());
        if (!ok)
            fail("libtiff refused a field");
    }

    // The EXIF block goes in after the strips, at an even offset; the directory written next points
    // into it. libtiff appends everything at the end of the file, so it writes around these bytes.
    void writeExif() {
        if (!exif)
            return;
        const int fd = TIFFFileno(tiff);
        off_t end = ::lseek(fd, 0, SEEK_END);
        if (end < 0)
            fail("cannot write the TIFF file");
        const std::uint64_t position = (static_cast<std::uint64_t>(end) + 1) & ~std::uint64_t{1};
        auto placed = relocateExif(metadata.exif, position);
        if (!placed || placed->bigEndian != exif->bigEndian)
            return;
        bool ok = true;
        if (placed->exifDirectory != 0 || placed->gpsDirectory != 0) {
            std::vector<std::uint8_t> bytes(position - static_cast<std::uint64_t>(end), 0);
            bytes.insert(bytes.end(), placed->bytes.begin(), placed->bytes.end());
            for (std::size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::pwrite(fd, bytes.data() + at, bytes.size() - at,
                                           end + static_cast<off_t>(at));
                if (n <= 0)
                    fail("cannot write the TIFF file");
                at += static_cast<std::size_t>(n);
            }
            if (placed->exifDirectory != 0)
                ok = TIFFSetField(tiff, TIFFTAG_EXIFIFD, std::uint64_t{placed->exifDirectory});
            if (ok && placed->gpsDirectory != 0)
                ok = TIFFSetField(tiff, TIFFTAG_GPSIFD, std::uint64_t{placed->gpsDirectory});
        }
        for (const auto& [tag, text] : placed->texts) {
            // The image's own description wins over the camera's.
            if (tag == TIFFTAG_IMAGEDESCRIPTION && !metadata.description.empty())
                continue;
            if (ok)
                ok = TIFFSetField(tiff, tag, text.c_str());
        }
        if (!ok)
            fail("libtiff refused an EXIF field");
    }

    // Last member: its threads stop before the rest goes.
    std::optional<OrderedWorkers<Job, Result>> workers;
};

TiffEncoder::TiffEncoder(const std::filesystem::path& file, int width, int height, int channels,
                         TiffMetadata metadata, TiffSettings settings)
    : m_shared(std::make_unique<Shared>()) {
    if (width < 1 || height < 1 || channels < 1 || channels > 4)
        throw PlatformError("TIFF layout not supported");
    Shared& s = *m_shared;
    s.width = width;
    s.height = height;
    s.channels = channels;
    s.rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    s.settings = settings;
    s.settings.level = std::clamp(settings.level, 1, 12);
    s.rowsPerStrip = static_cast<int>(std::clamp<std::size_t>(settings.stripBytes / s.rowBytes, 1,
                                                              static_cast<std::size_t>(height)));
    s.metadata = std::move(metadata);
    // The file takes the EXIF block's byte order, so the block goes in as it is.
    if (!s.metadata.exif.empty())
        s.exif = relocateExif(s.metadata.exif, 0);
    const bool big = static_cast<std::uint64_t>(s.rowBytes) * static_cast<std::uint64_t>(height) >
                     kClassicTiffPixelBytes;
    if (big)
        s.exif.reset();
    std::string mode = "w";
    mode += s.exif && s.exif->bigEndian ? "b" : "l";
    if (big)
        mode += "8";

    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr)
        throw PlatformError("libtiff could not start");
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, &s.error);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
    s.tiff = TIFFOpenExt(file.c_str(), mode.c_str(), options);
    TIFFOpenOptionsFree(options);
    if (s.tiff == nullptr)
        s.fail(("cannot create " + file.filename().string()).c_str());
    s.writeHeaderFields();

    unsigned threads = settings.threads;
    if (threads == 0)
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    s.strip.reserve(s.rowBytes * static_cast<std::size_t>(s.rowsPerStrip));
    s.workers.emplace(threads, [&s] { return s.makeWork(); });
}

TiffEncoder::~TiffEncoder() {
    Shared& s = *m_shared;
    s.workers.reset();
    if (s.tiff != nullptr)
        TIFFClose(s.tiff);
}

void TiffEncoder::addRows(const std::uint8_t* rows, std::size_t stride, int count) {
    Shared& s = *m_shared;
    if (count < 0 || s.rowsAdded + count > s.height)
        throw PlatformError("more TIFF rows than the image has");
    const std::size_t stripSize = s.rowBytes * static_cast<std::size_t>(s.rowsPerStrip);
    for (int r = 0; r < count; ++r) {
        const std::uint8_t* row = rows + static_cast<std::size_t>(r) * stride;
        s.strip.insert(s.strip.end(), row, row + s.rowBytes);
        ++s.rowsAdded;
        if (s.strip.size() == stripSize || s.rowsAdded == s.height)
            submitStrip();
    }
}

void TiffEncoder::submitStrip() {
    Shared& s = *m_shared;
    Job job;
    job.rows = std::move(s.strip);
    s.strip = {};
    s.strip.reserve(s.rowBytes * static_cast<std::size_t>(s.rowsPerStrip));
    s.workers->submit(std::move(job));
    writeReady(false);
}

void TiffEncoder::writeReady(bool waitForAll) {
    Shared& s = *m_shared;
    s.workers->deliver(waitForAll, [&s](Result& result) {
        if (TIFFWriteRawStrip(s.tiff, s.stripsWritten, result.bytes.data(),
                              static_cast<tmsize_t>(result.bytes.size())) < 0)
            s.fail("cannot write a TIFF strip");
        ++s.stripsWritten;
    });
}

void TiffEncoder::finish() {
    Shared& s = *m_shared;
    if (s.rowsAdded != s.height)
        throw PlatformError("TIFF image is missing rows");
    writeReady(true);
    s.writeExif();
    if (!TIFFWriteDirectory(s.tiff))
        s.fail("cannot write the TIFF directory");
    TIFF* tiff = std::exchange(s.tiff, nullptr);
    TIFFClose(tiff);
    if (!s.error.empty())
        throw PlatformError(s.error);
}

} // namespace kv::image
