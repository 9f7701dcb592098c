// The image module's entry: the addresses of its converters, check, probe and picture decoder.
#include "image/image_converter.h"
#include "image/page_picture.h"
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
        .probeWritableImageTypes = &image::probeWritableImageTypes,
        .writeSeedImage = &SeedFiles::writeSeedImage,
        .measureImageLevels = &compress::measureImageLevels,
        .encodeImageLevel = &compress::encodeImageLevel,
        .imageThumbnail = &Thumbnails::image,
        .decodePagePicture = &image::decodePagePicture,
        .decodePagePictureBytes = &image::decodePagePicture,
    };
    return &table;
}
