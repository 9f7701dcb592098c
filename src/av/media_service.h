// The media service: assets, transcoding, exact-time frame grabs, GIF frames and an H.264 writer.
#pragma once

#include "platform/platform_error.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace kv::av {

struct VideoTrack {
    int width = 0; // natural size, before the display rotation
    int height = 0;
    int rotation = 0; // degrees clockwise a player turns the picture: 0, 90, 180, 270
    double frameRate = 0;
    std::int64_t dataRate = 0; // bits per second, 0 when unknown
    std::string codec;
};

struct AudioTrack {
    int sampleRate = 0;
    int channels = 0;
    int bitsPerSample = 0; // 0 for compressed formats that do not say
    std::int64_t dataRate = 0;
    std::string codec;
};

struct Asset {
    std::string container; // the demuxer's name, e.g. "mov,mp4,m4a,3gp,3g2,mj2", "png_pipe"
    double duration = 0;   // seconds; 0 when unknown
    std::vector<VideoTrack> videoTracks; // cover art is not a video track
    std::vector<AudioTrack> audioTracks;
    bool firstFrameDecodes = false; // set only when loadAsset was asked to try, for that track type
};

/// Which track's first frame `loadAsset` also decodes, to learn whether the stream is usable.
enum class TryDecoding { none, audio, video };

/// Opens a file and reads its container, duration and tracks; PlatformError when it cannot.
Asset loadAsset(const std::filesystem::path& file, TryDecoding tryDecoding = TryDecoding::none);

/// Output containers. m4v and m4a are the iPod flavour of MPEG-4 (brand "M4V " / "M4A ").
enum class Container { mp4, mov, m4v, m4a, adts, wav, aiff, flac };

/// Export settings of fixed intent: best quality, medium quality, stream copy, AAC-only M4A.
enum class Preset { highestQuality, mediumQuality, passthrough, appleM4A };

/// Whether `preset` can export `source` into `container` (decoders and encoders present; for
/// passthrough, the container accepts every kept stream's codec as it stands).
bool isPresetCompatible(const std::filesystem::path& source, Preset preset, Container container);

using ProgressHandler = std::function<void(double)>;

/// What a transcode passed over: damaged packets the decoders could not use.
struct TranscodeReport {
    int skippedPackets = 0;
};

/// Writes `source` into `output` with the preset: the first video and first audio track, cover art,
/// the container's tags, creation date and display rotation where the container carries them.
/// Throws MediaCancelled or PlatformError; the output is then incomplete.
TranscodeReport exportAsset(const std::filesystem::path& source,
                            const std::filesystem::path& output, Preset preset, Container container,
                            const ProgressHandler& progress, std::stop_token stop);

enum class AudioCodec { aac, alac, flac, pcm16LittleEndian, pcm16BigEndian };

struct AudioSettings {
    AudioCodec codec = AudioCodec::aac;
    Container container = Container::m4a;
    int bitrate = 0; // AAC only; 0 = encoder default
};

/// Decodes the first audio track and encodes it with `settings` at the source's rate and
/// channel count (integer codecs at 16 bits). Tags and cover art carried where possible.
TranscodeReport transcodeAudio(const std::filesystem::path& source,
                               const std::filesystem::path& output, const AudioSettings& settings,
                               const ProgressHandler& progress, std::stop_token stop);

/// A smaller copy: H.264 at a mean bit rate (even sides, rotation kept) and AAC, re-encoded even
/// when the source is AAC already.
struct CompressSettings {
    Container container = Container::mp4;
    bool keepVideo = true;
    int videoBitrate = 0;  // bits per second
    int audioBitrate = 0;  // bits per second
    int maxSampleRate = 0; // 0: the source's rate
    int maxChannels = 0;   // 0: the source's channels; more are mixed down
};

/// Writes the first video and audio track of `source` with `settings`, with cover art, tags and
/// display rotation as `exportAsset` keeps them. Throws MediaCancelled or PlatformError.
TranscodeReport compressAsset(const std::filesystem::path& source,
                              const std::filesystem::path& output, const CompressSettings& settings,
                              const ProgressHandler& progress, std::stop_token stop);

/// One decoded picture (opaque).
class VideoFrame {
  public:
    struct Data;
    explicit VideoFrame(std::unique_ptr<Data> data);
    VideoFrame(VideoFrame&&) noexcept;
    VideoFrame& operator=(VideoFrame&&) noexcept;
    ~VideoFrame();
    int width() const;
    int height() const;
    const Data& data() const { return *m_data; }

  private:
    std::unique_ptr<Data> m_data;
};

/// Upright frames of a video's first video track at exact times, no wider than `maxWidth`
/// (never enlarged; height follows the aspect ratio). Times must not decrease between calls.
class FrameGenerator {
  public:
    FrameGenerator(const std::filesystem::path& source, int maxWidth, std::stop_token stop);
    ~FrameGenerator();
    FrameGenerator(const FrameGenerator&) = delete;
    FrameGenerator& operator=(const FrameGenerator&) = delete;

    /// The frame on screen at `seconds` from the start; none when the video has no frame there.
    std::optional<VideoFrame> frameAt(double seconds);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

/// An animated GIF that loops forever, quantised with one palette computed over the whole clip.
class GifWriter {
  public:
    GifWriter(const std::filesystem::path& output, std::stop_token stop);
    ~GifWriter();
    GifWriter(const GifWriter&) = delete;
    GifWriter& operator=(const GifWriter&) = delete;

    /// Frames must all have the first frame's size.
    void addFrame(const VideoFrame& frame, double delaySeconds);
    /// Quantises, encodes and closes the file; PlatformError when nothing valid could be written.
    void finish();

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

/// The frames of an animated GIF in order, each with its own display time.
class GifReader {
  public:
    /// PlatformError when the file is not a readable GIF.
    explicit GifReader(const std::filesystem::path& source);
    ~GifReader();
    GifReader(const GifReader&) = delete;
    GifReader& operator=(const GifReader&) = delete;

    int frameCount() const;
    /// Whether reading stopped at damage before the file's end (the frames before it stand).
    bool endsEarly() const;
    /// Frame `index`'s delay in seconds: its own positive delay, else 0.1.
    double delay(int index) const;
    /// Decodes the next frame (the first call gives frame 0); none when that frame is undecodable.
    std::optional<VideoFrame> decodeNext();

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

/// H.264 video (CRF 18) written from frames at given presentation times.
class H264Writer {
  public:
    /// `width` and `height` must be even; frames of another size are scaled to it.
    H264Writer(const std::filesystem::path& output, Container container, int width, int height,
               std::stop_token stop);
    ~H264Writer();
    H264Writer(const H264Writer&) = delete;
    H264Writer& operator=(const H264Writer&) = delete;

    /// Appends a frame shown from `seconds` for `durationSeconds`; times must increase.
    void append(const VideoFrame& frame, double seconds, double durationSeconds);
    /// Flushes the encoder and closes the file.
    void finish();

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace kv::av
