// The first frame of a video, small, for the queue's rows.
#include "av/media_service.h"
#include "av/pipeline.h"
#include "media_module/thumbnails.h"
#include "platform/platform_error.h"

namespace kv::Thumbnails {

Picture videoFrame(const std::filesystem::path& file, int maxPixelSize) {
    av::FrameGenerator frames(file, maxPixelSize, {});
    const auto frame = frames.frameAt(0.0);
    if (!frame)
        throw PlatformError("No video frame in " + file.filename().string());
    const AVFrame& picture = *frame->data().frame;
    Picture out{.width = picture.width, .height = picture.height, .rgba = {}};
    out.rgba.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 4);
    // The generator hands over BGRA rows.
    for (int y = 0; y < out.height; ++y) {
        const std::uint8_t* row =
            picture.data[0] + static_cast<std::ptrdiff_t>(y) * picture.linesize[0];
        std::uint8_t* to =
            out.rgba.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(out.width) * 4;
        for (int x = 0; x < out.width; ++x) {
            to[x * 4 + 0] = row[x * 4 + 2];
            to[x * 4 + 1] = row[x * 4 + 1];
            to[x * 4 + 2] = row[x * 4 + 0];
            to[x * 4 + 3] = row[x * 4 + 3];
        }
    }
    return out;
}

} // namespace kv::Thumbnails
