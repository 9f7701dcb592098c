// Owning pointers for libheif's objects, shared by the HEIF encoder and the HEIF check.
#pragma once

#include "platform/c_handle.h"

#include <libheif/heif.h>

namespace kv::platform::heif {

using Context = CHandle<heif_context, &heif_context_free>;
using Handle = CHandle<heif_image_handle, &heif_image_handle_release>;
using Picture = CHandle<heif_image, &heif_image_release>;
using Encoder = CHandle<heif_encoder, &heif_encoder_release>;
using Nclx = CHandle<heif_color_profile_nclx, &heif_nclx_color_profile_free>;
using EncodingOptions = CHandle<heif_encoding_options, &heif_encoding_options_free>;
using DecodingOptions = CHandle<heif_decoding_options, &heif_decoding_options_free>;

} // namespace kv::platform::heif
