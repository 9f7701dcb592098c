// The executable's side of the desktop window module: opened on the first start of the window.
#include "app/module/ui_module.h"
#include "media_module/module_path.h"

#include <cstdio>
#include <dlfcn.h>
#include <string>

namespace kv::ui_module {
namespace {

constexpr const char* kFileName = "kelvane-ui.so";

// The table, or null after saying on stderr why the module cannot be used. The module stays
// loaded for the life of the process: Qt's threads and atexit handlers live in it.
const UITable* openModule() {
    const auto path = media_module::modulePath(kFileName);
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "kelvane: the desktop window could not be loaded: %s\n", ::dlerror());
        return nullptr;
    }
    using Entry = const UITable* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(handle, "kelvane_ui_module"));
    const UITable* table = entry != nullptr ? entry() : nullptr;
    if (table == nullptr || table->version != kTableVersion) {
        std::fprintf(stderr, "kelvane: the desktop window at %s does not match this program\n",
                     path.c_str());
        return nullptr;
    }
    return table;
}

} // namespace

int runDesktop(const std::vector<std::string>& args) {
    const UITable* table = openModule();
    return table != nullptr ? table->runDesktop(args) : 1;
}

int renderScreenshots(const std::vector<std::string>& args) {
    const UITable* table = openModule();
    return table != nullptr ? table->renderScreenshots(args) : 1;
}

} // namespace kv::ui_module
