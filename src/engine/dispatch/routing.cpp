// engine routing. Order matters: the first matching row wins.
#include "engine/dispatch/routing.h"

#include "archive/archive_converter.h"
#include "av/video_audio_converter.h"
#include "document/document_converter.h"
#include "font/font_converter.h"
#include "image/image_converter.h"

#include <array>

namespace kv::Routing {
namespace {

using F = SupportedFormat;

bool isVideo(F f) {
    return categoryOf(f) == FileCategory::video;
}

struct Route {
    bool (*matches)(SupportedFormat source, SupportedFormat target);
    ConverterOperation run;
};

const std::array kRoutes{
    Route{[](F s, F t) { return s == F::pdf && (t == F::pdfPagePng || t == F::pdfPageJpeg); },
          &ImageConverter::convertPDFPages},
    Route{[](F s, F t) { return s == F::pdf && t == F::pdfSplit; }, &DocumentConverter::splitPDF},
    Route{[](F s, F) { return s == F::pdf; }, &DocumentConverter::convert},
    Route{[](F s, F t) { return isVideo(s) && t == F::extractAudio; },
          &VideoAudioConverter::extractAudio},
    Route{[](F s, F t) { return isVideo(s) && t == F::gif; }, &VideoAudioConverter::videoToGIF},
    Route{[](F s, F t) { return s == F::gif && (t == F::mp4 || t == F::mov || t == F::m4v); },
          &VideoAudioConverter::gifToVideo},
    Route{[](F s, F) { return categoryOf(s) == FileCategory::image; }, &ImageConverter::convert},
    Route{[](F s, F) { return isVideo(s); }, &VideoAudioConverter::convertVideo},
    Route{[](F s, F) { return categoryOf(s) == FileCategory::audio; },
          &VideoAudioConverter::convertAudio},
    Route{[](F s, F) { return categoryOf(s) == FileCategory::document; },
          &DocumentConverter::convert},
    Route{[](F s, F) { return categoryOf(s) == FileCategory::archive; },
          &ArchiveConverter::convert},
    Route{[](F s, F) { return categoryOf(s) == FileCategory::font; }, &FontConverter::convert},
};

} // namespace

ConverterOperation operationFor(SupportedFormat source, SupportedFormat target) {
    for (const auto& route : kRoutes)
        if (route.matches(source, target))
            return route.run;
    return nullptr; // unreachable: every category has a row
}

} // namespace kv::Routing
