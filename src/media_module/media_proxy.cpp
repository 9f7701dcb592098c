// The executable's side of the modules: the same functions, forwarded to kelvane-media.so (images),
// kelvane-av.so (video and audio), kelvane-document.so (PDF written), kelvane-pdfread.so (PDF
// read and checked) or kelvane-pdfsplit.so (PDF pages split), each opened on its first call (never
// at start-up).
#include "av/audio_writers.h"
#include "av/video_audio_converter.h"
#include "document/document_converter.h"
#include "document/pdf/pdf_conversions.h"
#include "image/image_converter.h"
#include "image/page_picture.h"
#include "image/writable_image_types.h"
#include "media_module/media_module.h"
#include "media_module/module_path.h"
#include "platform/platform_error.h"
#include "selftest/media_seeds.h"

#include <array>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace kv {

// The installed folder is found relative to the executable (KV_MODULE_DIR_FROM_BIN), so a moved
// prefix still works.
std::filesystem::path media_module::modulePath(const char* fileName) {
    if (const char* dir = std::getenv("KELVANE_MODULE_DIR"); dir != nullptr && *dir != '\0') {
        return std::filesystem::path(dir) / fileName;
    }
    std::array<char, 4096> self{};
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    const std::filesystem::path exe =
        length > 0
            ? std::filesystem::path(std::string(self.data(), static_cast<std::size_t>(length)))
            : std::filesystem::path();
    const auto installed =
        (exe.parent_path() / KV_MODULE_DIR_FROM_BIN / fileName).lexically_normal();
    std::error_code error;
    if (std::filesystem::exists(installed, error))
        return installed;
    return exe.parent_path() / fileName;
}

namespace {

// Opens a module once and checks its table; the module stays loaded for the life of the process.
template <typename Table> class Module {
  public:
    Module(const char* fileName, const char* entryName, const char* what)
        : m_fileName(fileName), m_entryName(entryName), m_what(what) {}

    const Table& table() {
        std::call_once(m_once, [this] { load(); });
        if (m_loaded == nullptr)
            throw PlatformError(m_failure);
        return *m_loaded;
    }

    /// Starts opening the module on another thread, for a call that surely follows while this
    /// thread is busy; that call then waits for the load instead of starting its own. Without a
    /// thread the call loads the module itself, as usual.
    void openInBackground() {
        std::call_once(m_backgroundOnce, [this] {
            try {
                m_background = std::jthread([this] { std::call_once(m_once, [this] { load(); }); });
            } catch (const std::system_error&) {
            }
        });
    }

  private:
    void load() {
        const auto path = media_module::modulePath(m_fileName);
        // Lazy binding: a module and its ~70-120 libraries bind only the functions a conversion
        // calls (about a tenth of a small page's time went to binding all of them up front).
        void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (handle == nullptr) {
            m_failure = std::string(m_what) + " support could not be loaded: " + ::dlerror();
            return;
        }
        using Entry = const Table* (*)();
        auto entry = reinterpret_cast<Entry>(::dlsym(handle, m_entryName));
        const Table* candidate = entry != nullptr ? entry() : nullptr;
        if (candidate == nullptr || candidate->version != media_module::kTableVersion) {
            m_failure = std::string(m_what) + " support at " + path.string() +
                        " does not match this program";
            return;
        }
        m_loaded = candidate;
    }

    const char* m_fileName;
    const char* m_entryName;
    const char* m_what;
    std::once_flag m_once;
    const Table* m_loaded = nullptr;
    std::string m_failure;
    std::once_flag m_backgroundOnce;
    std::jthread m_background; // last: joined before the members it uses go
};

const media_module::ImageTable& images() {
    static Module<media_module::ImageTable> module("kelvane-media.so", "kelvane_media_module",
                                                   "Image and media");
    return module.table();
}

const media_module::DocumentTable& documents() {
    static Module<media_module::DocumentTable> module("kelvane-document.so",
                                                      "kelvane_document_module", "PDF");
    return module.table();
}

Module<media_module::PDFReadTable>& pdfReaderModule() {
    static Module<media_module::PDFReadTable> module("kelvane-pdfread.so", "kelvane_pdfread_module",
                                                     "PDF reading");
    return module;
}

const media_module::PDFReadTable& pdfReader() {
    return pdfReaderModule().table();
}

const media_module::PDFSplitTable& pdfSplitter() {
    static Module<media_module::PDFSplitTable> module("kelvane-pdfsplit.so",
                                                      "kelvane_pdfsplit_module", "PDF splitting");
    return module.table();
}

const media_module::AVTable& avModule() {
    static Module<media_module::AVTable> module("kelvane-av.so", "kelvane_av_module",
                                                "Video and audio");
    return module.table();
}

} // namespace

namespace ImageConverter {
std::filesystem::path convert(const ConvertRequest& r) {
    return images().imageConvert(r);
}
std::filesystem::path convertPDFPages(const ConvertRequest& r) {
    return images().convertPDFPages(r);
}
} // namespace ImageConverter

namespace image {
PagePicture decodePagePicture(const std::filesystem::path& file, int longestSide) {
    return images().decodePagePicture(file, longestSide);
}
PagePicture decodePagePicture(std::span<const std::uint8_t> bytes, int longestSide) {
    return images().decodePagePictureBytes(bytes, longestSide);
}
} // namespace image

namespace DocumentConverter {
std::string extractPDFText(const std::filesystem::path& s) {
    return pdfReader().extractPDFText(s);
}
void pdfToHTML(const std::filesystem::path& s, const std::filesystem::path& o) {
    pdfReader().pdfToHTML(s, o);
}
void pdfToMarkdown(const std::filesystem::path& s, const std::filesystem::path& o) {
    pdfReader().pdfToMarkdown(s, o);
}
std::filesystem::path splitPDF(const ConvertRequest& r) {
    return pdfSplitter().splitPDF(r);
}
// A written PDF is checked by the PDF reader next: its module (poppler and ~16 libraries behind
// it, ~8 ms to open, a tenth of a small page's time) opens on another core while the page is
// laid out.
void richTextToPDF(const richtext::RichText& t, const std::filesystem::path& o) {
    const auto& writer = documents();
    pdfReaderModule().openInBackground();
    writer.richTextToPDF(t, o);
}
std::filesystem::path renderHTMLToPDF(const std::string& html,
                                      const std::optional<std::filesystem::path>& folder,
                                      const std::filesystem::path& output, std::stop_token stop) {
    const auto& writer = documents();
    pdfReaderModule().openInBackground();
    return writer.renderHTMLToPDF(html, folder, output, std::move(stop));
}
} // namespace DocumentConverter

namespace SeedFiles {
void writeSeedImage(SupportedFormat f, const std::filesystem::path& file) {
    images().writeSeedImage(f, file);
}
void writeSeedMedia(SupportedFormat f, const std::filesystem::path& file) {
    avModule().writeSeedMedia(f, file);
}
int audioTrackCount(const std::filesystem::path& file) {
    return avModule().audioTrackCount(file);
}
} // namespace SeedFiles

namespace VideoAudioConverter {
std::filesystem::path convertVideo(const ConvertRequest& r) {
    return avModule().convertVideo(r);
}
std::filesystem::path convertAudio(const ConvertRequest& r) {
    return avModule().convertAudio(r);
}
std::filesystem::path videoToGIF(const ConvertRequest& r) {
    return avModule().videoToGIF(r);
}
std::filesystem::path gifToVideo(const ConvertRequest& r) {
    return avModule().gifToVideo(r);
}
std::filesystem::path extractAudio(const ConvertRequest& r) {
    return avModule().extractAudio(r);
}
} // namespace VideoAudioConverter

namespace Validator {
ValidationStatus validateImage(const std::filesystem::path& file) {
    try {
        return images().validateImage(file);
    } catch (const std::exception& e) {
        return ValidationStatus::failed(e.what()); // checks never throw
    }
}
ValidationStatus validatePDF(const std::filesystem::path& file, int expectPages,
                             PDFBackgroundRequirement requirement) {
    try {
        return pdfReader().validatePDF(file, expectPages, requirement);
    } catch (const std::exception& e) {
        return ValidationStatus::failed(e.what());
    }
}
ValidationStatus validateAVAsset(const std::filesystem::path& file, MediaType type) {
    try {
        return avModule().validateAVAsset(file, type);
    } catch (const std::exception& e) {
        return ValidationStatus::failed(e.what());
    }
}
} // namespace Validator

namespace compress {
std::vector<EncodedLevel> measureImageLevels(const std::filesystem::path& file,
                                             SupportedFormat target,
                                             const std::vector<CompressionLevel>& levels,
                                             std::stop_token stop) {
    return images().measureImageLevels(file, target, levels, std::move(stop));
}
std::vector<std::uint8_t> encodeImageLevel(const std::filesystem::path& file,
                                           SupportedFormat target, CompressionLevel level,
                                           std::stop_token stop) {
    return images().encodeImageLevel(file, target, level, std::move(stop));
}
double mediaDuration(const std::filesystem::path& file) {
    return avModule().mediaDuration(file);
}
std::optional<double> mediaBitrate(const std::filesystem::path& file) {
    return avModule().mediaBitrate(file);
}
int mediaAudioChannels(const std::filesystem::path& file) {
    return avModule().mediaAudioChannels(file);
}
void transcodeMedia(const TranscodeRequest& request) {
    avModule().transcodeMedia(request);
}
} // namespace compress

namespace Thumbnails {
Picture image(const std::filesystem::path& file, int maxPixelSize) {
    return images().imageThumbnail(file, maxPixelSize);
}
Picture videoFrame(const std::filesystem::path& file, int maxPixelSize) {
    return avModule().videoThumbnail(file, maxPixelSize);
}
} // namespace Thumbnails

// Without the module nothing but our own writers can produce images, and no audio encoder exists.
namespace image {
std::set<std::string> probeWritableImageTypes() {
    try {
        return images().probeWritableImageTypes();
    } catch (const std::exception&) {
        return {"ico", "icns", "psd"};
    }
}
} // namespace image

namespace av {
std::vector<std::uint32_t> probeAudioWriters() {
    try {
        return avModule().probeAudioWriters();
    } catch (const std::exception&) {
        return {};
    }
}
} // namespace av

} // namespace kv
