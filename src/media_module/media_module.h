// The tables of entry points that the modules hand to the executable: kelvane-media.so (images and
// PDF page pictures: libvips, libheif, LibRaw, poppler, cairo), kelvane-av.so (video and audio:
// FFmpeg only, so an audio conversion never loads the image stack), kelvane-document.so (PDF
// written from HTML and text: cairo, pango, litehtml; no image libraries, so a page without
// pictures never loads them), kelvane-pdfread.so (PDF text and the PDF output check: poppler) and
// kelvane-pdfsplit.so (a PDF split into pages: qpdf).
// Why some functions exist twice: the executable holds a forwarder (media_proxy.cpp) that opens the
// module on first call; the module holds the implementation, whose address it lists in a table
// here.
#pragma once

#include "compress/compress_services.h"
#include "document/pdf/pdf_conversions.h"
#include "document/richtext/rich_text.h"
#include "engine/convert_request.h"
#include "image/page_picture.h"
#include "media_module/thumbnails.h"
#include "validate/validator.h"

#include <cstdint>
#include <filesystem>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace kv::media_module {

/// Bumped whenever a table changes; the executable refuses a module of another version.
inline constexpr int kTableVersion = 9;

struct ImageTable {
    int version;
    ConverterOperation imageConvert;
    ConverterOperation convertPDFPages;
    ValidationStatus (*validateImage)(const std::filesystem::path&);
    std::set<std::string> (*probeWritableImageTypes)();
    void (*writeSeedImage)(SupportedFormat, const std::filesystem::path&);
    decltype(&compress::measureImageLevels) measureImageLevels;
    decltype(&compress::encodeImageLevel) encodeImageLevel;
    decltype(&Thumbnails::image) imageThumbnail;
    image::PagePicture (*decodePagePicture)(const std::filesystem::path&, int);
    image::PagePicture (*decodePagePictureBytes)(std::span<const std::uint8_t>, int);
};

struct DocumentTable {
    int version;
    void (*richTextToPDF)(const richtext::RichText&, const std::filesystem::path&);
    decltype(&DocumentConverter::renderHTMLToPDF) renderHTMLToPDF;
};

struct PDFReadTable {
    int version;
    ValidationStatus (*validatePDF)(const std::filesystem::path&, int, PDFBackgroundRequirement);
    std::string (*extractPDFText)(const std::filesystem::path&);
    void (*pdfToHTML)(const std::filesystem::path&, const std::filesystem::path&);
    void (*pdfToMarkdown)(const std::filesystem::path&, const std::filesystem::path&);
};

struct PDFSplitTable {
    int version;
    ConverterOperation splitPDF;
};

struct AVTable {
    int version;
    ConverterOperation convertVideo;
    ConverterOperation convertAudio;
    ConverterOperation videoToGIF;
    ConverterOperation gifToVideo;
    ConverterOperation extractAudio;
    ValidationStatus (*validateAVAsset)(const std::filesystem::path&, MediaType);
    std::vector<std::uint32_t> (*probeAudioWriters)();
    decltype(&compress::mediaDuration) mediaDuration;
    decltype(&compress::mediaBitrate) mediaBitrate;
    decltype(&compress::mediaAudioChannels) mediaAudioChannels;
    decltype(&compress::transcodeMedia) transcodeMedia;
    decltype(&Thumbnails::videoFrame) videoThumbnail;
    void (*writeSeedMedia)(SupportedFormat, const std::filesystem::path&);
    int (*audioTrackCount)(const std::filesystem::path&);
};

} // namespace kv::media_module

/// Each module's one exported entry.
extern "C" const kv::media_module::ImageTable* kelvane_media_module();
extern "C" const kv::media_module::AVTable* kelvane_av_module();
extern "C" const kv::media_module::DocumentTable* kelvane_document_module();
extern "C" const kv::media_module::PDFReadTable* kelvane_pdfread_module();
extern "C" const kv::media_module::PDFSplitTable* kelvane_pdfsplit_module();
