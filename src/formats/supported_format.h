// The closed catalogue of formats, their categories and the conversion matrix.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

/// Coarse grouping of formats; `unknown` is never the category of a format.
enum class FileCategory { image, video, audio, document, archive, font, unknown };

/// "Image", "Video", … "Unknown".
std::string_view rawValue(FileCategory category);
/// All seven categories in declaration order.
const std::array<FileCategory, 7>& allFileCategories();

/// The 56 formats, in catalogue order (the order of every listing).
enum class SupportedFormat {
    png,
    jpeg,
    jpg,
    tiff,
    bmp,
    gif,
    heic,
    heif,
    webp,
    ico,
    pdf_image,
    avif,
    svg,
    psd,
    tga,
    jp2,
    jxl,
    icns,
    raw,
    mp4,
    mov,
    m4v,
    avi,
    webm,
    mp3,
    aac,
    m4a,
    wav,
    aiff,
    alac,
    flac,
    pdf,
    rtf,
    txt,
    html,
    markdown,
    docx,
    epub,
    zip,
    tar,
    gzip,
    xz,
    bz2,
    ttf,
    otf,
    woff,
    woff2,
    csv,
    tsv,
    json,
    srt,
    vtt,
    pdfPagePng,
    pdfPageJpeg,
    pdfSplit,
    extractAudio,
};

inline constexpr std::size_t kFormatCount = 56;

/// Every format in declaration order.
std::span<const SupportedFormat> allFormats();

/// The stable identifier ("png", "pdfPagePng"); case-sensitive.
std::string_view rawValue(SupportedFormat format);
/// Exact, case-sensitive look-up of a raw value.
std::optional<SupportedFormat> formatFromRawValue(std::string_view raw);
/// "PNG", "JPEG 2000", "Split PDF (per page)".
std::string_view displayName(SupportedFormat format);
/// The extension given to output files, without the dot ("jpg" for jpeg).
std::string_view fileExtension(SupportedFormat format);
FileCategory categoryOf(SupportedFormat format);

/// The format recognised from a file-name extension (no dot; matched after lower-casing).
std::optional<SupportedFormat> formatFromExtension(std::string_view extension);

/// The shared image-target list without `excluded` (and without jpeg for a jpg source),
/// filtered by what this machine can write.
std::vector<SupportedFormat> rasterTargets(SupportedFormat excluded);

/// The ordered targets a user may choose for this source; empty when it converts to nothing.
std::vector<SupportedFormat> possibleConversions(SupportedFormat source);

/// True for the targets whose output is a folder (pages, split PDF).
bool isFolderTarget(SupportedFormat format);

} // namespace kv
