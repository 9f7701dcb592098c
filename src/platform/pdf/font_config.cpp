// Fontconfig started with the system's configuration, minus the rule templates it only lists.
#include "platform/pdf/font_config.h"

#include <cstdlib>
#include <dlfcn.h>
#include <fontconfig/fontconfig.h>
#include <link.h>
#include <mutex>
#include <string_view>

namespace kv::platform {
namespace {

const char kHere = 0;

// Whether libfontconfig came into the process after the shared object holding this code, as one
// of its dependencies: then only this object can have used it so far. Code linked into the program
// itself gets false (the program comes first, before whatever loaded fontconfig).
bool fontConfigCameWithThisModule() {
    Dl_info self{};
    if (::dladdr(&kHere, &self) == 0 || self.dli_fname == nullptr)
        return false;
    struct Search {
        std::string_view self;
        bool program = true;
        bool seenSelf = false;
        bool after = false;
    } search{self.dli_fname};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) -> int {
            auto& s = *static_cast<Search*>(data);
            if (s.program) { // objects come in load order, the program first
                s.program = false;
                return 0;
            }
            const std::string_view name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name == s.self) {
                s.seenSelf = true;
            } else if (name.find("/libfontconfig.so") != std::string_view::npos) {
                s.after = s.seenSelf;
                return 1;
            }
            return 0;
        },
        &search);
    return search.after;
}

} // namespace

FcConfig* loadSystemFontConfig() {
    FcConfig* config = FcConfigCreate();
    if (config == nullptr)
        return nullptr;
    bool usable = FcConfigParseAndLoad(config, nullptr, FcTrue) != FcFalse;
    if (usable) {
        // Without a cache folder fontconfig's start-up adds its defaults and warns: its case.
        FcStrList* folders = FcConfigGetCacheDirs(config);
        usable = folders != nullptr && FcStrListNext(folders) != nullptr;
        if (folders != nullptr)
            FcStrListDone(folders);
    }
    if (usable)
        usable = FcConfigBuildFonts(config) != FcFalse;
    if (!usable) {
        FcConfigDestroy(config);
        return nullptr;
    }
    return config;
}

void useSystemFontConfig() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (std::getenv("FC_DEBUG") != nullptr || !fontConfigCameWithThisModule())
            return;
        FcConfig* config = loadSystemFontConfig();
        if (config == nullptr)
            return;
        FcConfigSetCurrent(config); // takes its own reference
        FcConfigDestroy(config);
    });
}

} // namespace kv::platform
