// JSON-RPC 2.0 messages of the tool server: parsing a frame, building and serialising replies.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kv::ToolServer {

/// Keys stay in the order they were written: tool definitions and replies are sent as built.
using Json = nlohmann::ordered_json;

/// Longest line read as one message; longer ones are dropped as they arrive.
constexpr std::size_t kMaxFrameBytes = std::size_t{16} << 20;
/// Deepest nesting of arrays and objects accepted in a message.
constexpr int kMaxNestingDepth = 256;

/// JSON-RPC error codes used by the server.
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;

/// Whether arrays and objects in `text` nest deeper than `limit` (brackets inside strings do not
/// count). Stops scanning as soon as the answer is yes.
bool nestingExceeds(std::string_view text, int limit);

/// The message in a frame: a JSON object with a string "method", nested no deeper than
/// kMaxNestingDepth. None for anything else.
std::optional<Json> parseMessage(std::string_view frame);

/// "params" when it is an object, else an empty object.
Json paramsOf(const Json& message);

/// Compact JSON and a line feed. Bytes of strings that are not UTF-8 (file names may not be) are
/// replaced by U+FFFD rather than losing the reply. Empty only if serialisation still fails.
std::string serializeLine(const Json& message);

Json resultMessage(const Json& id, Json result);
Json errorMessage(const Json& id, int code, const std::string& message);
/// "notifications/progress" for a call that asked for progress with `token`.
Json progressNotification(const Json& token, double progress);

} // namespace kv::ToolServer
