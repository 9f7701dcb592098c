// libvips helpers shared by the image code: errors, the row sink and metadata reads.
#include "platform/image/vips_support.h"

#include "platform/platform_error.h"

#include <algorithm>
#include <exception>
#include <string_view>

namespace kv::platform {
namespace {

using vips::VImage;

// vips prefixes each error line with its domain: a loader's ("jpegload: …", "VipsForeignLoadPng:
// …") or the file reader's ("vips__file_read: read error") when the source's data failed.
PlatformError::Kind vipsFailureKind(std::string_view message) {
    const bool fromSource = message.find("load") != std::string_view::npos ||
                            message.starts_with("Vips") ||
                            message.find("read error") != std::string_view::npos;
    return fromSource ? PlatformError::Kind::sourceDecoding : PlatformError::Kind::other;
}

struct RowBlocker {
    const std::function<void(RowBlock&)>& take;
    int rows = 1;
    RowBlock block;
    std::exception_ptr failure;

    void hand() {
        block.count = static_cast<int>(block.pixels.size() / block.rowBytes);
        take(block);
        block.top += block.count;
        block.pixels.clear(); // also valid after a move
        block.pixels.reserve(block.rowBytes * static_cast<std::size_t>(rows));
    }
};

int collectRows(VipsRegion* region, VipsRect* area, void* target) {
    auto& blocker = *static_cast<RowBlocker*>(target);
    try {
        for (int y = 0; y < area->height; ++y) {
            const auto* row = reinterpret_cast<const std::uint8_t*>(
                VIPS_REGION_ADDR(region, area->left, area->top + y));
            blocker.block.pixels.insert(blocker.block.pixels.end(), row,
                                        row + blocker.block.rowBytes);
            if (blocker.block.pixels.size() ==
                blocker.block.rowBytes * static_cast<std::size_t>(blocker.rows))
                blocker.hand();
        }
        return 0;
    } catch (...) {
        blocker.failure = std::current_exception();
        vips_error("kelvane", "%s", "stopped");
        return -1;
    }
}

} // namespace

[[noreturn]] void throwVipsFailure(const char* text) {
    std::string message = text != nullptr ? text : "libvips failed";
    vips_error_clear();
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    throw PlatformError(message, vipsFailureKind(message));
}

const char* blobField(const VImage& image, const char* field, std::size_t& length) {
    length = 0;
    if (image.get_typeof(field) == 0)
        return nullptr;
    return static_cast<const char*>(image.get_blob(field, &length));
}

int orientationOf(const VImage& image) {
    if (image.get_typeof(VIPS_META_ORIENTATION) == 0)
        return 1;
    const int value = image.get_int(VIPS_META_ORIENTATION);
    return value >= 1 && value <= 8 ? value : 1;
}

double maxValue(const VImage& image) {
    switch (image.format()) {
    case VIPS_FORMAT_USHORT: return 65535.0;
    case VIPS_FORMAT_FLOAT:
    case VIPS_FORMAT_DOUBLE: return 1.0;
    default: return 255.0;
    }
}

VImage toEightBit(const VImage& image) {
    const VipsInterpretation space = image.interpretation();
    if (image.format() == VIPS_FORMAT_UCHAR &&
        (space == VIPS_INTERPRETATION_sRGB || space == VIPS_INTERPRETATION_B_W ||
         space == VIPS_INTERPRETATION_RGB))
        return image;
    if (space == VIPS_INTERPRETATION_GREY16 || space == VIPS_INTERPRETATION_B_W)
        return image.colourspace(VIPS_INTERPRETATION_B_W).cast(VIPS_FORMAT_UCHAR);
    if (space == VIPS_INTERPRETATION_CMYK) {
        // CMYK has no 8-bit RGB form without a transform: use the embedded or a default profile.
        VImage converted =
            image.icc_transform("srgb", VImage::option()->set("embedded", true)->set("depth", 8));
        converted.remove(VIPS_META_ICC_NAME);
        return converted.cast(VIPS_FORMAT_UCHAR);
    }
    return image.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
}

void forEachRowBlock(const VImage& image, int rows, const std::function<void(RowBlock&)>& take) {
    RowBlocker blocker{take, std::max(rows, 1), {}, {}};
    blocker.block.rowBytes = VIPS_IMAGE_SIZEOF_LINE(image.get_image());
    blocker.block.pixels.reserve(blocker.block.rowBytes * static_cast<std::size_t>(blocker.rows));
    const int failed = vips_sink_disc(image.get_image(), collectRows, &blocker);
    if (blocker.failure) {
        vips_error_clear();
        std::rethrow_exception(blocker.failure);
    }
    if (failed != 0)
        throwVipsFailure(vips_error_buffer());
    if (!blocker.block.pixels.empty())
        blocker.hand();
}

} // namespace kv::platform
