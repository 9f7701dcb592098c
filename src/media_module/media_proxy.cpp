// The executable's side of the media module: the same functions, forwarded to kelvane-media.so,
// which is opened on the first call (never at start-up).
#include "media/image_converter.h"
#include "media/video_audio_converter.h"
#include "media_module/media_module.h"
#include "platform/capability_probes.h"
#include "platform/platform_error.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <mutex>

namespace kv {
namespace {

// Beside the executable, or in $KELVANE_MODULE_DIR.
std::filesystem::path modulePath() {
    if (const char* dir = std::getenv("KELVANE_MODULE_DIR"); dir != nullptr && *dir != '\0') {
        return std::filesystem::path(dir) / "kelvane-media.so";
    }
    std::array<char, 4096> self{};
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    const std::filesystem::path exe = length > 0 ? std::filesystem::path(std::string(self.data(), static_cast<std::size_t>(length)))
                                                 : std::filesystem::path();
    return exe.parent_path() / "kelvane-media.so";
}

const media_module::Table& table() {
    static std::once_flag once;
    static const media_module::Table* loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        const auto path = modulePath();
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            failure = std::string("Image and media support could not be loaded: ") + ::dlerror();
            return;
        }
        using Entry = const media_module::Table* (*)();
        auto entry = reinterpret_cast<Entry>(::dlsym(handle, "kelvane_media_module"));
        const media_module::Table* candidate = entry != nullptr ? entry() : nullptr;
        if (candidate == nullptr || candidate->version != media_module::kTableVersion) {
            failure = "Image and media support at " + path.string() + " does not match this program";
            return;
        }
        loaded = candidate;  // stays loaded for the life of the process
    });
    if (loaded == nullptr) throw PlatformError(failure);
    return *loaded;
}

}  // namespace

namespace ImageConverter {
std::filesystem::path convert(const ConvertRequest& r) { return table().imageConvert(r); }
std::filesystem::path convertPDFPages(const ConvertRequest& r) { return table().convertPDFPages(r); }
}  // namespace ImageConverter

namespace VideoAudioConverter {
std::filesystem::path convertVideo(const ConvertRequest& r) { return table().convertVideo(r); }
std::filesystem::path convertAudio(const ConvertRequest& r) { return table().convertAudio(r); }
std::filesystem::path videoToGIF(const ConvertRequest& r) { return table().videoToGIF(r); }
std::filesystem::path gifToVideo(const ConvertRequest& r) { return table().gifToVideo(r); }
std::filesystem::path extractAudio(const ConvertRequest& r) { return table().extractAudio(r); }
}  // namespace VideoAudioConverter

namespace Validator {
ValidationStatus validateImage(const std::filesystem::path& file) {
    try {
        return table().validateImage(file);
    } catch (const std::exception& e) {
        return ValidationStatus::failed(e.what());  // checks never throw
    }
}
ValidationStatus validatePDF(const std::filesystem::path& file, int expectPages, PDFBackgroundRequirement requirement) {
    try {
        return table().validatePDF(file, expectPages, requirement);
    } catch (const std::exception& e) {
        return ValidationStatus::failed(e.what());
    }
}
ValidationStatus validateAVAsset(const std::filesystem::path& file, MediaType type) {
    try {
        return table().validateAVAsset(file, type);
    } catch (const std::exception& e) {
        return ValidationStatus::failed(e.what());
    }
}
}  // namespace Validator

namespace platform {
// Without the module nothing but our own writers can produce images, and no audio encoder exists.
std::set<std::string> probeWritableImageTypes() {
    try {
        return table().probeWritableImageTypes();
    } catch (const std::exception&) {
        return {"ico", "icns", "psd"};
    }
}
std::vector<std::uint32_t> probeAudioWriters() {
    try {
        return table().probeAudioWriters();
    } catch (const std::exception&) {
        return {};
    }
}
}  // namespace platform

}  // namespace kv
