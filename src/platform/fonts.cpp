// The font engine (FreeType): loads SFNT bytes from memory and reports what the validator needs.
#include "platform/fonts.h"

#include "platform/c_handle.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <memory>

namespace kv::platform {
namespace {

using Library = CHandle<FT_LibraryRec_, &FT_Done_FreeType>;
using Face = CHandle<FT_FaceRec_, &FT_Done_Face>;

} // namespace

std::optional<FontFacts> loadFontFacts(std::span<const std::uint8_t> data) {
    // One library per call: FreeType libraries are not safe to share between threads.
    FT_Library rawLibrary = nullptr;
    if (FT_Init_FreeType(&rawLibrary) != 0)
        return std::nullopt;
    const Library library(rawLibrary);

    FT_Face rawFace = nullptr;
    if (FT_New_Memory_Face(library.get(), data.data(), static_cast<FT_Long>(data.size()), 0,
                           &rawFace) != 0) {
        return std::nullopt;
    }
    const Face face(rawFace);
    FontFacts facts;
    if (const char* name = FT_Get_Postscript_Name(face.get()))
        facts.postScriptName = name;
    facts.glyphCount = face->num_glyphs;
    return facts;
}

} // namespace kv::platform
