// Owning pointers for libheif's objects, shared by the HEIF encoder and the HEIF check.
#pragma once

#include <libheif/heif.h>

#include <memory>

namespace kv::platform::heif {

template <auto Release> struct Releaser {
    template <typename T> void operator()(T* object) const noexcept { Release(object); }
};

using Context = std::unique_ptr<heif_context, Releaser<heif_context_free>>;
using Handle = std::unique_ptr<heif_image_handle, Releaser<heif_image_handle_release>>;
using Picture = std::unique_ptr<heif_image, Releaser<heif_image_release>>;
using Encoder = std::unique_ptr<heif_encoder, Releaser<heif_encoder_release>>;
using Nclx = std::unique_ptr<heif_color_profile_nclx, Releaser<heif_nclx_color_profile_free>>;
using EncodingOptions = std::unique_ptr<heif_encoding_options, Releaser<heif_encoding_options_free>>;
using DecodingOptions = std::unique_ptr<heif_decoding_options, Releaser<heif_decoding_options_free>>;

}  // namespace kv::platform::heif
