// Audio and video checks on the platform media service.
#include "validate/validator.h"

namespace kv::Validator {

// TODO(#7): load duration and tracks with the media service.
ValidationStatus validateAVAsset(const std::filesystem::path&, MediaType) { return ValidationStatus::skipped(); }

}  // namespace kv::Validator
