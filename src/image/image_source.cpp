// Image files opened by type: libvips loaders, camera RAW through LibRaw, ICNS through our reader;
// the cheapest complete check of each type's data.
#include "image/heif_check.h"
#include "image/icns_reader.h"
#include "image/image_codec.h"
#include "image/jpeg_check.h"
#include "image/png_check.h"
#include "image/tiff_check.h"
#include "image/vips_image.h"
#include "platform/image/vips_start.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <string_view>

namespace kv::image {
namespace {

using vips::VImage;

// Camera RAW extensions: vips would open many of these as a TIFF of the undeveloped sensor mosaic.
constexpr std::array<std::string_view, 23> kRawExtensions{
    "cr2", "cr3", "crw", "nef", "nrw", "arw", "sr2", "srf", "dng", "orf", "raf", "rw2",
    "pef", "3fr", "fff", "rwl", "erf", "mrw", "dcr", "kdc", "mos", "iiq", "x3f"};

std::string lowerExtension(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty())
        ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return ext;
}

std::vector<std::uint8_t> readHead(const std::filesystem::path& file, std::size_t count) {
    std::vector<std::uint8_t> head(count);
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(count));
    head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return head;
}

std::vector<std::uint8_t> readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw PlatformError("cannot open " + file.filename().string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool startsWith(std::span<const std::uint8_t> bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() &&
           std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

// The container type from the loader vips chose, refined by the file's first bytes.
ImageType typeFromLoader(std::string_view loader, std::span<const std::uint8_t> head,
                         std::string_view ext) {
    if (loader.starts_with("jpegload"))
        return ImageType::jpeg;
    if (loader.starts_with("pngload"))
        return ImageType::png;
    if (loader.starts_with("tiffload"))
        return ImageType::tiff;
    if (loader.starts_with("gifload"))
        return ImageType::gif;
    if (loader.starts_with("webpload"))
        return ImageType::webp;
    if (loader.starts_with("jp2kload"))
        return ImageType::jp2;
    if (loader.starts_with("jxlload"))
        return ImageType::jxl;
    if (loader.starts_with("heifload")) {
        const std::string_view brand =
            head.size() >= 12 ? std::string_view(reinterpret_cast<const char*>(head.data()) + 8, 4)
                              : "";
        if (brand == "avif" || brand == "avis")
            return ImageType::avif;
        if (brand == "heic" || brand == "heix" || brand == "hevc" || brand == "heim" ||
            brand == "heis")
            return ImageType::heic;
        return ImageType::heif;
    }
    if (loader.starts_with("magickload")) {
        if (startsWith(head, "BM"))
            return ImageType::bmp;
        if (startsWith(head, "8BPS"))
            return ImageType::psd;
        if (startsWith(head, std::string_view("\0\0\1\0", 4)))
            return ImageType::ico;
        if (ext == "tga" || ext == "targa")
            return ImageType::tga;
    }
    return ImageType::unknown;
}

} // namespace

struct ImageSource::State {
    std::filesystem::path file;                             // empty for byte sources
    std::shared_ptr<const std::vector<std::uint8_t>> bytes; // byte sources
    std::string loader;               // vips loader nickname, or "" when predecoded
    std::optional<VImage> predecoded; // RAW and ICNS: developed/decoded at open
    std::vector<int> icoWidths;       // ICO: each entry's width, directory order
};

namespace {

std::vector<int> icoEntryWidths(std::span<const std::uint8_t> head) {
    std::vector<int> widths;
    if (head.size() < 6)
        return widths;
    const std::size_t count = head[4] | (head[5] << 8);
    for (std::size_t i = 0; i < count && 6 + i * 16 + 16 <= head.size(); ++i) {
        const int width = head[6 + i * 16];
        widths.push_back(width == 0 ? 256 : width); // 0 stands for 256
    }
    return widths;
}

VipsBlob* newBlob(const std::vector<std::uint8_t>& bytes) {
    return vips_blob_new(nullptr, bytes.data(), bytes.size()); // not copied: State keeps the bytes
}

VImage loadFrame(const ImageSource::State& state, int index, bool sequential) {
    if (state.predecoded)
        return *state.predecoded;
    vips::VOption* options =
        VImage::option()
            ->set("access", sequential ? VIPS_ACCESS_SEQUENTIAL : VIPS_ACCESS_RANDOM)
            ->set("fail_on", VIPS_FAIL_ON_ERROR);
    if (index > 0)
        options->set("page", index);
    if (state.loader == "magickload") {
        if (!state.file.empty())
            return VImage::magickload(state.file.c_str(), options);
        VipsBlob* blob = newBlob(*state.bytes);
        VImage image = VImage::magickload_buffer(blob, options);
        vips_area_unref(VIPS_AREA(blob));
        return image;
    }
    if (!state.file.empty())
        return VImage::new_from_file(state.file.c_str(), options);
    return VImage::new_from_buffer(state.bytes->data(), state.bytes->size(), "", options);
}

// vips names the loader by its class ("VipsForeignLoadJpegFile"); we use the nickname ("jpegload").
// No loader found, or one of ImageMagick's, becomes "magickload".
std::string loaderNickname(const char* className) {
    vips_error_clear();
    std::string nickname = "magickload";
    if (className != nullptr) {
        const char* found = vips_nickname_find(g_type_from_name(className));
        if (found != nullptr)
            nickname = found;
    }
    if (nickname.starts_with("magickload"))
        nickname = "magickload";
    return nickname;
}

VImage decodeIcnsBytes(std::span<const std::uint8_t> bytes) {
    IcnsRendition rendition;
    try {
        rendition = readLargestIcnsRendition(bytes);
    } catch (const IcnsError& damaged) {
        throw PlatformError(damaged.what());
    }
    return callVips([&] {
        if (rendition.encoding == IcnsRendition::Encoding::rgba) {
            return Image::fromRgba8(rendition.data, rendition.width, rendition.height).impl().image;
        }
        VImage image =
            VImage::new_from_buffer(rendition.data.data(), rendition.data.size(), "",
                                    VImage::option()->set("fail_on", VIPS_FAIL_ON_ERROR));
        return image.copy_memory(); // the rendition's bytes go away with this scope
    });
}

} // namespace

ImageSource ImageSource::open(const std::filesystem::path& file) {
    ensureVipsStarted();
    auto state = std::make_shared<State>();
    state->file = file;
    const std::string ext = lowerExtension(file);
    if (std::find(kRawExtensions.begin(), kRawExtensions.end(), ext) != kRawExtensions.end()) {
        state->predecoded = developRaw(file);
        return ImageSource(std::move(state), ImageType::raw);
    }
    const auto head = readHead(file, 4096);
    if (looksLikeIcns(head)) {
        state->predecoded = decodeIcnsBytes(readAll(file));
        return ImageSource(std::move(state), ImageType::icns);
    }
    // ImageMagick knows TGA, which has no signature, by its extension.
    state->loader = loaderNickname(vips_foreign_find_load(file.c_str()));
    const ImageType type = typeFromLoader(state->loader, head, ext);
    if (type == ImageType::ico)
        state->icoWidths = icoEntryWidths(head);
    ImageSource source(state, type);
    callVips(
        [&] { (void)loadFrame(*state, 0, true).width(); }); // reads the header; no image throws
    return source;
}

ImageSource ImageSource::openBytes(std::span<const std::uint8_t> input) {
    ensureVipsStarted();
    auto state = std::make_shared<State>();
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(input.begin(), input.end());
    state->bytes = bytes;
    if (looksLikeIcns(*bytes)) {
        state->predecoded = decodeIcnsBytes(*bytes);
        return ImageSource(std::move(state), ImageType::icns);
    }
    state->loader = loaderNickname(vips_foreign_find_load_buffer(bytes->data(), bytes->size()));
    const ImageType type = typeFromLoader(
        state->loader, std::span(*bytes).first(std::min<std::size_t>(bytes->size(), 64)), "");
    if (type == ImageType::ico)
        state->icoWidths = icoEntryWidths(*bytes);
    callVips([&] { (void)loadFrame(*state, 0, true).width(); });
    return ImageSource(std::move(state), type);
}

int ImageSource::frameCount() const {
    if (m_state->predecoded)
        return 1;
    if (!m_state->icoWidths.empty())
        return static_cast<int>(m_state->icoWidths.size());
    return callVips([&] {
        const VImage image = loadFrame(*m_state, 0, true);
        return image.get_typeof(VIPS_META_N_PAGES) != 0
                   ? std::max(1, image.get_int(VIPS_META_N_PAGES))
                   : 1;
    });
}

int ImageSource::primaryFrame() const {
    const auto& widths = m_state->icoWidths;
    if (widths.empty())
        return 0;
    return static_cast<int>(std::max_element(widths.begin(), widths.end()) - widths.begin());
}

ImageProperties ImageSource::properties(int index) const {
    return callVips([&] {
        const VImage image = loadFrame(*m_state, index, true);
        ImageProperties properties;
        properties.width = image.width();
        properties.height = image.height();
        if (image.get_typeof(VIPS_META_PAGE_HEIGHT) != 0 && m_state->icoWidths.empty())
            properties.height = std::min(properties.height, image.get_int(VIPS_META_PAGE_HEIGHT));
        properties.orientation = orientationOf(image);
        if (image.get_typeof(VIPS_META_RESOLUTION_UNIT) != 0 || m_type == ImageType::jpeg ||
            m_type == ImageType::png || m_type == ImageType::tiff) {
            properties.dpiWidth = image.xres() * 25.4; // vips keeps pixels per millimetre
            properties.dpiHeight = image.yres() * 25.4;
        }
        if (image.get_typeof("delay") != 0)
            properties.frameDelaysMs = image.get_array_int("delay");
        if (image.get_typeof("loop") != 0)
            properties.loopCount = image.get_int("loop");
        properties.hasAlpha = image.has_alpha();
        properties.hasIccProfile = image.get_typeof(VIPS_META_ICC_NAME) != 0;
        properties.hasExif = image.get_typeof(VIPS_META_EXIF_NAME) != 0;
        properties.hasXmp = image.get_typeof(VIPS_META_XMP_NAME) != 0;
        gchar** fields = vips_image_get_fields(image.get_image());
        for (gchar** field = fields; *field != nullptr; ++field)
            if (std::string_view(*field).starts_with("exif-ifd3-"))
                properties.hasGps = true;
        g_strfreev(fields);
        return properties;
    });
}

Image ImageSource::decode(int index, bool sequential) const {
    return callVips([&] {
        VImage image = loadFrame(*m_state, index, sequential);
        // An animated GIF or WebP decodes as the strip of all frames; keep the requested one.
        if (m_state->icoWidths.empty() && image.get_typeof(VIPS_META_PAGE_HEIGHT) != 0) {
            const int pageHeight = image.get_int(VIPS_META_PAGE_HEIGHT);
            if (pageHeight > 0 && pageHeight < image.height())
                image = image.extract_area(0, 0, image.width(), pageHeight);
        }
        auto impl = std::make_shared<Image::Impl>();
        impl->image = image;
        impl->keepAlive = m_state;
        return Image(std::move(impl));
    });
}

void ImageSource::verifyDecodes(int index) const {
    // The file checks below look at the first (PNG, TIFF) or primary (HEIF) image only.
    const bool plainFile = !m_state->file.empty() && !m_state->predecoded && index == 0;
    if (plainFile && m_type == ImageType::png && m_state->loader.starts_with("pngload")) {
        verifyPngFile(m_state->file);
        return;
    }
    if (plainFile &&
        (m_type == ImageType::heic || m_type == ImageType::heif || m_type == ImageType::avif)) {
        verifyHeifFile(m_state->file);
        return;
    }
    if (plainFile && m_type == ImageType::tiff && verifyTiffStrips(m_state->file))
        return;
    if (plainFile && m_type == ImageType::jpeg) {
        verifyJpegFile(m_state->file);
        return;
    }
    decode(index).verifyDecodes();
}

Image ImageSource::thumbnail(int index, int maxPixelSize) const {
    return callVips([&] {
        VImage image = decode(index, false).impl().image;
        return wrapImage(image.thumbnail_image(maxPixelSize, VImage::option()
                                                                 ->set("height", maxPixelSize)
                                                                 ->set("size", VIPS_SIZE_DOWN)
                                                                 ->set("no_rotate", false)));
    });
}

} // namespace kv::image
