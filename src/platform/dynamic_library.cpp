// bzip2 bound at run time with dlopen.
#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <optional>

namespace kv::platform {
namespace {

template <typename Fn> bool bind(void* library, const char* name, Fn& slot) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr)
        return false;
    slot = reinterpret_cast<Fn>(symbol);
    return true;
}

std::optional<Bzip2Api> load() {
    void* library = dlopen("libbz2.so.1.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        library = dlopen("libbz2.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return std::nullopt;
    Bzip2Api api{};
    const bool complete = bind(library, "BZ2_bzCompressInit", api.compressInit) &&
                          bind(library, "BZ2_bzCompress", api.compress) &&
                          bind(library, "BZ2_bzCompressEnd", api.compressEnd) &&
                          bind(library, "BZ2_bzDecompressInit", api.decompressInit) &&
                          bind(library, "BZ2_bzDecompress", api.decompress) &&
                          bind(library, "BZ2_bzDecompressEnd", api.decompressEnd) &&
                          bind(library, "BZ2_bzBuffToBuffCompress", api.buffToBuffCompress) &&
                          bind(library, "BZ2_bzBuffToBuffDecompress", api.buffToBuffDecompress);
    if (!complete) {
        dlclose(library);
        return std::nullopt;
    }
    return api; // the library stays loaded for the life of the process
}

} // namespace

const Bzip2Api* bzip2Api() {
    static const std::optional<Bzip2Api> api = load();
    return api ? &*api : nullptr;
}

} // namespace kv::platform
