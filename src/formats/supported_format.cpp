// The closed catalogue of formats, their categories and the conversion matrix.
#include "formats/supported_format.h"

#include "formats/format_capabilities.h"

#include <algorithm>
#include <initializer_list>

namespace kv {
namespace {

using F = SupportedFormat;
using C = FileCategory;

struct Row {
    SupportedFormat format;
    std::string_view raw;
    std::string_view display;
    std::string_view extension;
    FileCategory category;
    std::initializer_list<std::string_view> recognised;
};

// The catalogue, in declaration order. Everything else derives from this table.
const std::array<Row, kFormatCount> kCatalogue{{
    {F::png, "png", "PNG", "png", C::image, {"png"}},
    {F::jpeg, "jpeg", "JPEG", "jpg", C::image, {"jpeg"}},
    {F::jpg, "jpg", "JPG", "jpg", C::image, {"jpg"}},
    {F::tiff, "tiff", "TIFF", "tiff", C::image, {"tiff", "tif"}},
    {F::bmp, "bmp", "BMP", "bmp", C::image, {"bmp"}},
    {F::gif, "gif", "GIF", "gif", C::image, {"gif"}},
    {F::heic, "heic", "HEIC", "heic", C::image, {"heic"}},
    {F::heif, "heif", "HEIF", "heif", C::image, {"heif"}},
    {F::webp, "webp", "WebP", "webp", C::image, {"webp"}},
    {F::ico, "ico", "ICO", "ico", C::image, {"ico"}},
    {F::pdf_image, "pdf_image", "PDF (Image)", "pdf", C::image, {}},
    {F::avif, "avif", "AVIF", "avif", C::image, {"avif"}},
    {F::svg, "svg", "SVG", "svg", C::image, {}},
    {F::psd, "psd", "PSD", "psd", C::image, {"psd"}},
    {F::tga, "tga", "TGA", "tga", C::image, {"tga", "targa"}},
    {F::jp2, "jp2", "JPEG 2000", "jp2", C::image, {"jp2", "jpf", "jpx", "j2k"}},
    {F::jxl, "jxl", "JPEG XL", "jxl", C::image, {"jxl"}},
    {F::icns, "icns", "ICNS", "icns", C::image, {"icns"}},
    {F::raw, "raw", "Camera RAW", "raw", C::image, {"cr2", "cr3", "crw", "nef", "nrw", "arw",
                                                    "sr2", "srf", "dng", "orf", "raf", "rw2",
                                                    "pef", "3fr", "fff", "rwl", "erf", "mrw",
                                                    "dcr", "kdc", "mos", "iiq", "x3f"}},
    {F::mp4, "mp4", "MP4", "mp4", C::video, {"mp4"}},
    {F::mov, "mov", "MOV", "mov", C::video, {"mov"}},
    {F::m4v, "m4v", "M4V", "m4v", C::video, {"m4v"}},
    {F::avi, "avi", "AVI", "avi", C::video, {"avi"}},
    {F::webm, "webm", "WebM", "webm", C::video, {}},
    {F::mp3, "mp3", "MP3", "mp3", C::audio, {"mp3"}},
    {F::aac, "aac", "AAC", "aac", C::audio, {"aac"}},
    {F::m4a, "m4a", "M4A", "m4a", C::audio, {"m4a"}},
    {F::wav, "wav", "WAV", "wav", C::audio, {"wav"}},
    {F::aiff, "aiff", "AIFF", "aiff", C::audio, {"aiff", "aif"}},
    {F::alac, "alac", "ALAC", "m4a", C::audio, {"alac"}},
    {F::flac, "flac", "FLAC", "flac", C::audio, {"flac"}},
    {F::pdf, "pdf", "PDF", "pdf", C::document, {"pdf"}},
    {F::rtf, "rtf", "RTF", "rtf", C::document, {"rtf"}},
    {F::txt, "txt", "TXT", "txt", C::document, {"txt", "text"}},
    {F::html, "html", "HTML", "html", C::document, {"html", "htm"}},
    {F::markdown, "markdown", "Markdown", "md", C::document, {"md", "markdown"}},
    {F::docx, "docx", "DOCX", "docx", C::document, {"docx"}},
    {F::epub, "epub", "EPUB", "epub", C::document, {}},
    {F::zip, "zip", "ZIP", "zip", C::archive, {"zip"}},
    {F::tar, "tar", "TAR", "tar", C::archive, {"tar"}},
    {F::gzip, "gzip", "GZIP", "gz", C::archive, {"gz", "gzip"}},
    {F::xz, "xz", "XZ", "xz", C::archive, {"xz", "lzma"}},
    {F::bz2, "bz2", "BZ2", "bz2", C::archive, {"bz2", "bzip2"}},
    {F::ttf, "ttf", "TTF", "ttf", C::font, {"ttf"}},
    {F::otf, "otf", "OTF", "otf", C::font, {"otf"}},
    {F::woff, "woff", "WOFF", "woff", C::font, {"woff"}},
    {F::woff2, "woff2", "WOFF2", "woff2", C::font, {"woff2"}},
    {F::csv, "csv", "CSV", "csv", C::document, {"csv"}},
    {F::tsv, "tsv", "TSV", "tsv", C::document, {"tsv"}},
    {F::json, "json", "JSON", "json", C::document, {"json", "ndjson", "jsonl"}},
    {F::srt, "srt", "SRT", "srt", C::document, {"srt"}},
    {F::vtt, "vtt", "WebVTT", "vtt", C::document, {"vtt", "webvtt"}},
    {F::pdfPagePng, "pdfPagePng", "PNG (per page)", "png", C::image, {}},
    {F::pdfPageJpeg, "pdfPageJpeg", "JPEG (per page)", "jpg", C::image, {}},
    {F::pdfSplit, "pdfSplit", "Split PDF (per page)", "pdf", C::document, {}},
    {F::extractAudio, "extractAudio", "Extract Audio (M4A)", "m4a", C::audio, {}},
}};

const Row& rowOf(SupportedFormat format) {
    return kCatalogue[static_cast<std::size_t>(format)];
}

const std::array<SupportedFormat, kFormatCount> kAllFormats = [] {
    std::array<SupportedFormat, kFormatCount> all{};
    for (std::size_t i = 0; i < kFormatCount; ++i)
        all[i] = kCatalogue[i].format;
    return all;
}();

// The fixed image-target list, in offering order.
constexpr std::array kRasterTargets{F::png,  F::jpeg, F::tiff,      F::bmp, F::gif,
                                    F::heic, F::avif, F::ico,       F::psd, F::tga,
                                    F::jp2,  F::icns, F::pdf_image, F::svg};

constexpr std::array kArchives{F::zip, F::tar, F::gzip, F::xz, F::bz2};
constexpr std::array kTables{F::csv, F::tsv, F::json, F::html, F::markdown, F::pdf};

std::vector<SupportedFormat> without(std::span<const SupportedFormat> list,
                                     SupportedFormat excluded) {
    std::vector<SupportedFormat> out;
    for (auto f : list)
        if (f != excluded)
            out.push_back(f);
    return out;
}

} // namespace

std::string_view rawValue(FileCategory category) {
    switch (category) {
    case C::image: return "Image";
    case C::video: return "Video";
    case C::audio: return "Audio";
    case C::document: return "Document";
    case C::archive: return "Archive";
    case C::font: return "Font";
    case C::unknown: return "Unknown";
    }
    return "Unknown";
}

const std::array<FileCategory, 7>& allFileCategories() {
    static constexpr std::array<FileCategory, 7> kAll{C::image,   C::video, C::audio,  C::document,
                                                      C::archive, C::font,  C::unknown};
    return kAll;
}

std::span<const SupportedFormat> allFormats() {
    return kAllFormats;
}
std::string_view rawValue(SupportedFormat format) {
    return rowOf(format).raw;
}
std::string_view displayName(SupportedFormat format) {
    return rowOf(format).display;
}
std::string_view fileExtension(SupportedFormat format) {
    return rowOf(format).extension;
}
FileCategory categoryOf(SupportedFormat format) {
    return rowOf(format).category;
}

std::optional<SupportedFormat> formatFromRawValue(std::string_view raw) {
    for (const auto& row : kCatalogue)
        if (row.raw == raw)
            return row.format;
    return std::nullopt;
}

std::optional<SupportedFormat> formatFromExtension(std::string_view extension) {
    std::string lower(extension);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    if (lower.empty())
        return std::nullopt;
    for (const auto& row : kCatalogue)
        for (auto known : row.recognised)
            if (known == lower)
                return row.format;
    return std::nullopt;
}

std::vector<SupportedFormat> rasterTargets(SupportedFormat excluded) {
    std::vector<SupportedFormat> out;
    for (auto f : kRasterTargets) {
        if (f == excluded || (excluded == F::jpg && f == F::jpeg))
            continue;
        if (FormatCapabilities::canProduce(f))
            out.push_back(f);
    }
    return out;
}

std::vector<SupportedFormat> possibleConversions(SupportedFormat source) {
    switch (source) {
    case F::png:
    case F::jpeg:
    case F::jpg:
    case F::tiff:
    case F::bmp:
    case F::heic:
    case F::heif:
    case F::webp:
    case F::ico:
    case F::avif:
    case F::psd:
    case F::tga:
    case F::jp2:
    case F::jxl:
    case F::icns:
    case F::raw: return rasterTargets(source);
    case F::gif: {
        auto targets = rasterTargets(F::gif);
        targets.insert(targets.end(), {F::mp4, F::mov, F::m4v});
        return targets;
    }
    case F::mp4: return {F::mov, F::m4v, F::gif, F::extractAudio};
    case F::mov: return {F::mp4, F::m4v, F::gif, F::extractAudio};
    case F::m4v: return {F::mp4, F::mov, F::gif, F::extractAudio};
    case F::avi:
    case F::webm: return {F::mp4, F::mov, F::m4v, F::gif, F::extractAudio};
    case F::mp3: return {F::m4a, F::aac, F::alac, F::wav, F::aiff, F::flac};
    case F::aac: return {F::m4a, F::alac, F::wav, F::aiff, F::flac};
    case F::m4a: return {F::aac, F::alac, F::wav, F::aiff, F::flac};
    case F::wav: return {F::m4a, F::aac, F::alac, F::aiff, F::flac};
    case F::aiff: return {F::m4a, F::aac, F::alac, F::wav, F::flac};
    case F::alac: return {F::m4a, F::aac, F::wav, F::aiff, F::flac};
    case F::flac: return {F::m4a, F::aac, F::alac, F::wav, F::aiff};
    case F::pdf:
        return {F::txt,  F::html,       F::rtf,         F::markdown, F::docx,
                F::epub, F::pdfPagePng, F::pdfPageJpeg, F::pdfSplit};
    case F::rtf: return {F::txt, F::html, F::pdf, F::markdown, F::docx, F::epub};
    case F::txt: return {F::html, F::rtf, F::pdf, F::markdown, F::docx, F::epub};
    case F::html: return {F::txt, F::rtf, F::pdf, F::markdown, F::docx, F::epub};
    case F::markdown: return {F::html, F::txt, F::rtf, F::pdf, F::docx, F::epub};
    case F::docx: return {F::txt, F::html, F::rtf, F::pdf, F::markdown, F::epub};
    case F::zip:
    case F::tar:
    case F::gzip:
    case F::xz:
    case F::bz2: {
        std::vector<SupportedFormat> out;
        for (auto f : kArchives)
            if (f != source && FormatCapabilities::canProduce(f))
                out.push_back(f);
        return out;
    }
    case F::ttf:
    case F::otf: return {F::woff, F::woff2};
    case F::woff: return {F::woff2};
    case F::woff2: return {F::woff};
    case F::csv:
    case F::tsv:
    case F::json: return without(kTables, source);
    case F::srt: return {F::vtt, F::txt};
    case F::vtt: return {F::srt, F::txt};
    case F::pdf_image:
    case F::svg:
    case F::epub:
    case F::pdfPagePng:
    case F::pdfPageJpeg:
    case F::pdfSplit:
    case F::extractAudio: return {};
    }
    return {};
}

bool isFolderTarget(SupportedFormat format) {
    return format == F::pdfPagePng || format == F::pdfPageJpeg || format == F::pdfSplit;
}

} // namespace kv
