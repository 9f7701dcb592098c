// Run-time probes of the image and audio encoders this machine has.
#include "platform/capability_probes.h"

#include "platform/image/image_codec.h"
#include "platform/vips_start.h"

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace kv::platform {
namespace {

// A private folder for probe files, so a predictable name in the shared temp folder can never
// be a planted link that the muxer would follow and truncate.
class ProbeFolder {
public:
    ProbeFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "Kelvane_probe_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~ProbeFolder() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    ProbeFolder(const ProbeFolder&) = delete;
    ProbeFolder& operator=(const ProbeFolder&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

void freeOutput(AVFormatContext* output) {
    if (output->pb != nullptr) avio_closep(&output->pb);
    avformat_free_context(output);
}
void freeEncoder(AVCodecContext* encoder) { avcodec_free_context(&encoder); }

// Opens a real file for writing with the encoder and muxer, writes a header and a trailer.
bool canWriteAudio(const std::filesystem::path& folder, std::uint32_t code, AVCodecID codecId, const char* muxer,
                   const char* extension) {
    const AVCodec* codec = avcodec_find_encoder(codecId);
    const AVOutputFormat* format = av_guess_format(muxer, nullptr, nullptr);
    if (codec == nullptr || format == nullptr || folder.empty()) return false;

    const auto path = folder / ("kv-cap-" + std::to_string(code) + "." + extension);
    AVFormatContext* rawOutput = nullptr;
    if (avformat_alloc_output_context2(&rawOutput, format, nullptr, path.c_str()) < 0) return false;
    const std::unique_ptr<AVFormatContext, decltype(&freeOutput)> output(rawOutput, &freeOutput);
    const std::unique_ptr<AVCodecContext, decltype(&freeEncoder)> encoder(avcodec_alloc_context3(codec), &freeEncoder);
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    if (stream == nullptr || !encoder) return false;
    encoder->sample_rate = 44100;
    av_channel_layout_default(&encoder->ch_layout, 2);
    encoder->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    encoder->time_base = AVRational{1, 44100};
    if (codecId == AV_CODEC_ID_AAC) encoder->bit_rate = 256000;
    if (output->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0 ||
        avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0 ||
        avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
        return false;
    if (avformat_write_header(output.get(), nullptr) < 0) return false;
    return av_write_trailer(output.get()) >= 0;
}

}  // namespace

std::set<std::string> probeWritableImageTypes() {
    std::set<std::string> types{"ico", "icns", "psd"};  // written by our own code
    try {
        ensureVipsStarted();
    } catch (...) {
        return types;
    }
    // Each type is tried with a real encode of a tiny image: a saver's presence over-reports (vips
    // lists .heic/.avif savers without an HEVC or AV1 encoder, and magicksave without every format).
    const std::pair<const char*, ImageType> candidates[] = {
        {"png", ImageType::png}, {"jpeg", ImageType::jpeg}, {"tiff", ImageType::tiff}, {"bmp", ImageType::bmp},
        {"gif", ImageType::gif}, {"heic", ImageType::heic}, {"avif", ImageType::avif}, {"tga", ImageType::tga},
        {"jp2", ImageType::jp2},
    };
    for (const auto& [name, type] : candidates)
        if (canEncode(type)) types.insert(name);
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
    const ProbeFolder folder;
    for (const auto& c : candidates)
        if (canWriteAudio(folder.path(), c.code, c.codec, c.muxer, c.extension)) found.push_back(c.code);
    return found;
}

}  // namespace kv::platform
