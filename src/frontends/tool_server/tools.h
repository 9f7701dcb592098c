// The four tools: arguments in, a text result (or a tool failure) out.
#pragma once

#include "compress/compression_level.h"
#include "frontends/tool_server/protocol.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace kv::ToolServer {

struct ToolContext {
    std::stop_token stop = {};
    std::function<void(double)> progress = {}; ///< 0…1 while a conversion or compression reports
};

struct ToolResult {
    std::string text = {};
    std::optional<Json> structured = {}; ///< "structuredContent", when the tool supplies one
    bool isError = false;
    std::optional<std::filesystem::path> output = {}; ///< what the call wrote, if anything

    static ToolResult failure(std::string text);
    /// The "result" of "tools/call".
    Json toJson() const;
};

/// Runs the named tool. Never throws: every problem is a tool failure with its fixed text.
ToolResult callTool(std::string_view name, const Json& arguments, const ToolContext& context = {});

/// The estimate_compression result for these rows of the file `fileName`.
ToolResult estimateResult(const std::string& fileName,
                          const std::vector<CompressionEstimate>& rows);

/// The compress_file result for an output of `outputSize` bytes from a source of `originalSize`.
ToolResult compressResult(const std::string& fileName, std::int64_t originalSize,
                          std::int64_t outputSize, const std::filesystem::path& output);

/// Whether a call answers at once (a listing, an unknown name) rather than doing file work.
bool answersAtOnce(std::string_view name);

/// A path argument: a leading "~" becomes the home folder; the result is absolute.
std::filesystem::path expandPath(std::string_view argument);

} // namespace kv::ToolServer
