// The four tools as "tools/list" describes them.
#include "frontends/tool_server/tool_definitions.h"

#include <initializer_list>
#include <string>
#include <utility>

namespace kv::ToolServer {
namespace {

Json stringProperty(const char* description) {
    Json property = Json::object();
    property["type"] = "string";
    property["description"] = description;
    return property;
}

Json schema(std::initializer_list<std::pair<const char*, Json>> properties,
            std::initializer_list<const char*> required) {
    Json all = Json::object();
    for (const auto& [name, property] : properties)
        all[name] = property;
    Json result = Json::object();
    result["type"] = "object";
    result["properties"] = std::move(all);
    if (required.size() > 0) {
        Json names = Json::array();
        for (const char* name : required)
            names.push_back(name);
        result["required"] = std::move(names);
    }
    return result;
}

Json readOnly() {
    Json annotations = Json::object();
    annotations["readOnlyHint"] = true;
    return annotations;
}

// Writes a new file; never replaces or deletes one, and a repeat writes another copy.
Json writesNewFile() {
    Json annotations = Json::object();
    annotations["readOnlyHint"] = false;
    annotations["destructiveHint"] = false;
    annotations["idempotentHint"] = false;
    return annotations;
}

Json tool(const char* name, const char* title, const char* description, Json inputSchema,
          Json annotations) {
    Json definition = Json::object();
    definition["name"] = name;
    definition["title"] = title;
    definition["description"] = description;
    definition["inputSchema"] = std::move(inputSchema);
    definition["annotations"] = std::move(annotations);
    return definition;
}

constexpr const char* kOutputDirDescription =
    "Optional directory for the result; defaults to the source file's folder";

Json levelProperty() {
    Json property = Json::object();
    property["type"] = "string";
    property["enum"] = {"maximum", "high", "balanced", "small", "tiny"};
    property["description"] =
        "Quality/size trade-off: maximum = visually identical, balanced = good for sharing, tiny "
        "= smallest usable. Default: balanced.";
    return property;
}

Json makeDefinitions() {
    Json tools = Json::array();
    tools.push_back(tool(
        "list_supported_conversions", "List supported conversions",
        "List the formats Kelvane can convert between. With no argument, returns every category "
        "and its formats. Pass 'file_extension' (e.g. \"heic\") to get the exact targets "
        "available for that specific input type \u2014 use this before convert_file when unsure "
        "a conversion exists.",
        schema({{"file_extension", stringProperty("Optional source extension to look up, without "
                                                  "the dot (e.g. \"pdf\", \"woff2\")")}},
               {}),
        readOnly()));
    tools.push_back(tool(
        "convert_file", "Convert a file",
        "Convert a file to another format, entirely on-device. Writes the converted copy next to "
        "the original (or into 'output_dir') and never modifies the source. Returns the absolute "
        "path of the new file. Examples: HEIC\u2192JPEG, PDF\u2192DOCX, MOV\u2192MP4, "
        "WAV\u2192FLAC, TTF\u2192WOFF2, CSV\u2192JSON.",
        schema({{"source_path", stringProperty("Absolute path of the file to convert")},
                {"target_format",
                 stringProperty("Target format id, e.g. \"jpeg\", \"png\", \"pdf\", \"mp4\", "
                                "\"m4a\", \"woff2\", \"json\". Use list_supported_conversions to "
                                "see valid targets for a given source.")},
                {"output_dir", stringProperty(kOutputDirDescription)}},
               {"source_path", "target_format"}),
        writesNewFile()));
    tools.push_back(
        tool("estimate_compression", "Estimate compression results",
             "Measure what each compression level would produce for a file BEFORE committing. For "
             "images this actually encodes at every level and reports exact sizes plus perceptual "
             "quality loss (SSIM); for video/audio the sizes are bitrate projections marked "
             "estimated=true. Use it to pick a level for compress_file.",
             schema({{"source_path", stringProperty("Absolute path of the file to analyse")}},
                    {"source_path"}),
             readOnly()));
    tools.push_back(tool(
        "compress_file", "Compress a file",
        "Shrink an image, video, or audio file. Writes \"<name> (compressed).<ext>\" alongside "
        "the original (or into 'output_dir'); the source is never touched. Lossless image "
        "sources (PNG/TIFF/BMP) are re-encoded as HEIC, audio as AAC (.m4a) \u2014 the response "
        "states the output format. Fails rather than produce a file larger than the original.",
        schema({{"source_path", stringProperty("Absolute path of the file to compress")},
                {"level", levelProperty()},
                {"output_dir", stringProperty(kOutputDirDescription)}},
               {"source_path"}),
        writesNewFile()));
    return tools;
}

} // namespace

const Json& toolDefinitions() {
    static const Json definitions = makeDefinitions();
    return definitions;
}

} // namespace kv::ToolServer
