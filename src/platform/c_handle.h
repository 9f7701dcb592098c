// One owning pointer for every C library handle: `CHandle<T, &release>` calls `release` once.
#pragma once

#include <cstdio>
#include <memory>

namespace kv {

template <auto Release> struct Releaser {
    template <typename T> void operator()(T* handle) const noexcept { Release(handle); }
};

/// A unique owner of a C handle released by `Release(T*)`. For a library whose release function
/// takes `T**` (avformat_close_input, av_frame_free), wrap that call in a one-line function.
template <typename T, auto Release> using CHandle = std::unique_ptr<T, Releaser<Release>>;

inline void closeFile(std::FILE* file) noexcept {
    std::fclose(file);
}
/// A stdio stream; to learn whether the last write reached the disk, `std::fclose(file.release())`.
using CFile = CHandle<std::FILE, &closeFile>;

} // namespace kv
