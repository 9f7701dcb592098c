// The image module's entry: the addresses of its converters, checks and probe.
#include "document/document_converter.h"
#include "document/pdf/pdf_conversions.h"
#include "image/image_converter.h"
#include "image/writable_image_types.h"
#include "media_module/media_module.h"
#include "selftest/media_seeds.h"

extern "C" __attribute__((visibility("default"))) const kv::media_module::ImageTable*
kelvane_media_module() {
    using namespace kv;
    static const media_module::ImageTable table{
        .version = media_module::kTableVersion,
        .imageConvert = &ImageConverter::convert,
        .convertPDFPages = &ImageConverter::convertPDFPages,
        .validateImage = &Validator::validateImage,
        .validatePDF = &Validator::validatePDF,
        .probeWritableImageTypes = &image::probeWritableImageTypes,
        .writeSeedImage = &SeedFiles::writeSeedImage,
        .measureImageLevels = &compress::measureImageLevels,
        .encodeImageLevel = &compress::encodeImageLevel,
        .extractPDFText = &DocumentConverter::extractPDFText,
        .pdfToHTML = &DocumentConverter::pdfToHTML,
        .pdfToMarkdown = &DocumentConverter::pdfToMarkdown,
        .splitPDF = &DocumentConverter::splitPDF,
        .richTextToPDF = &DocumentConverter::richTextToPDF,
        .renderHTMLToPDF = &DocumentConverter::renderHTMLToPDF,
        .imageThumbnail = &Thumbnails::image,
    };
    return &table;
}
