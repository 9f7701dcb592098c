// Run-time probes of the image and audio encoders this machine has.
#include "platform/capability_probes.h"

#include "platform/vips_start.h"

#include <libheif/heif.h>
#include <unistd.h>
#include <vips/vips.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <filesystem>
#include <memory>
#include <string>

namespace kv::platform {
namespace {

bool vipsSaverFor(const char* suffix) {
    const char* saver = vips_foreign_find_save(suffix);
    vips_error_clear();
    return saver != nullptr;
}

bool vipsOperationExists(const char* name) {
    return vips_type_find("VipsOperation", name) != 0;
}

bool heifEncoderFor(heif_compression_format format) {
    return heif_have_encoder_for_format(format) != 0;
}

// Opens a real file for writing with the encoder and muxer, writes a header and a trailer.
bool canWriteAudio(std::uint32_t code, AVCodecID codecId, const char* muxer, const char* extension) {
    const AVCodec* codec = avcodec_find_encoder(codecId);
    const AVOutputFormat* format = av_guess_format(muxer, nullptr, nullptr);
    if (codec == nullptr || format == nullptr) return false;

    const auto path = std::filesystem::temp_directory_path() /
                      ("kv-cap-" + std::to_string(code) + "." + extension);
    bool ok = false;
    AVFormatContext* output = nullptr;
    AVCodecContext* encoder = nullptr;
    if (avformat_alloc_output_context2(&output, format, nullptr, path.c_str()) >= 0) {
        AVStream* stream = avformat_new_stream(output, nullptr);
        encoder = avcodec_alloc_context3(codec);
        if (stream != nullptr && encoder != nullptr) {
            encoder->sample_rate = 44100;
            av_channel_layout_default(&encoder->ch_layout, 2);
            encoder->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
            encoder->time_base = AVRational{1, 44100};
            if (codecId == AV_CODEC_ID_AAC) encoder->bit_rate = 256000;
            if (output->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if (avcodec_open2(encoder, codec, nullptr) >= 0 &&
                avcodec_parameters_from_context(stream->codecpar, encoder) >= 0 &&
                avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0) {
                ok = avformat_write_header(output, nullptr) >= 0;
                if (ok) av_write_trailer(output);
                avio_closep(&output->pb);
            }
        }
    }
    avcodec_free_context(&encoder);
    avformat_free_context(output);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return ok;
}

}  // namespace

std::set<std::string> probeWritableImageTypes() {
    std::set<std::string> types{"ico", "icns", "psd"};  // written by our own code
    try {
        ensureVipsStarted();
    } catch (...) {
        return types;
    }
    const bool magick = vipsOperationExists("magicksave_buffer");
    if (vipsSaverFor(".png")) types.insert("png");
    if (vipsSaverFor(".jpg")) types.insert("jpeg");
    if (vipsSaverFor(".tif")) types.insert("tiff");
    if (vipsSaverFor(".gif")) types.insert("gif");
    if (vipsSaverFor(".jp2")) types.insert("jp2");
    if (magick) types.insert({"bmp", "tga"});
    if (vipsSaverFor(".heic") && heifEncoderFor(heif_compression_HEVC)) types.insert("heic");
    if (vipsSaverFor(".avif") && heifEncoderFor(heif_compression_AV1)) types.insert("avif");
    return types;
}

std::vector<std::uint32_t> probeAudioWriters() {
    constexpr auto code = [](const char (&c)[5]) {
        return (static_cast<std::uint32_t>(static_cast<unsigned char>(c[0])) << 24) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(c[1])) << 16) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(c[2])) << 8) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(c[3]));
    };
    struct Candidate {
        std::uint32_t code;
        AVCodecID codec;
        const char* muxer;
        const char* extension;
    };
    const Candidate candidates[] = {
        {code("flac"), AV_CODEC_ID_FLAC, "flac", "flac"},
        {code("aac "), AV_CODEC_ID_AAC, "ipod", "m4a"},
        {code("alac"), AV_CODEC_ID_ALAC, "ipod", "m4a"},
        {code("lpcm"), AV_CODEC_ID_PCM_S16LE, "wav", "wav"},
    };
    av_log_set_level(AV_LOG_ERROR);
    std::vector<std::uint32_t> found;
    for (const auto& c : candidates)
        if (canWriteAudio(c.code, c.codec, c.muxer, c.extension)) found.push_back(c.code);
    return found;
}

}  // namespace kv::platform
