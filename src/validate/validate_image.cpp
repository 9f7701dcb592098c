// Image and PDF checks on the platform image and PDF services.
#include "validate/validator.h"

namespace kv::Validator {

// TODO(#6): decode image 0 with the image service.
ValidationStatus validateImage(const std::filesystem::path&) { return ValidationStatus::skipped(); }

// TODO(#6): open with poppler, count pages, render page 0 at quarter scale and test the corners.
ValidationStatus validatePDF(const std::filesystem::path&, int, PDFBackgroundRequirement) {
    return ValidationStatus::skipped();
}

}  // namespace kv::Validator
