// Run-time probe of the image encoders this machine has.
#pragma once

#include <set>
#include <string>

namespace kv::image {

/// Image types with a working writer: any of "png", "jpeg", "tiff", "bmp", "gif", "heic",
/// "avif", "tga", "jp2", and always "ico", "icns", "psd" (written by our own code).
std::set<std::string> probeWritableImageTypes();

} // namespace kv::image
