// JSON-RPC 2.0 messages of the tool server: parsing a frame, building and serialising replies.
#include "frontends/tool_server/protocol.h"

namespace kv::ToolServer {

bool nestingExceeds(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"': inString = true; break;
        case '[':
        case '{':
            if (++depth > limit)
                return true;
            break;
        case ']':
        case '}': --depth; break;
        default: break;
        }
    }
    return false;
}

std::optional<Json> parseMessage(std::string_view frame) {
    if (nestingExceeds(frame, kMaxNestingDepth))
        return std::nullopt;
    Json message = Json::parse(frame, nullptr, /*allow_exceptions=*/false);
    if (message.is_discarded() || !message.is_object())
        return std::nullopt;
    const auto method = message.find("method");
    if (method == message.end() || !method->is_string())
        return std::nullopt;
    return message;
}

Json paramsOf(const Json& message) {
    const auto params = message.find("params");
    if (params != message.end() && params->is_object())
        return *params;
    return Json::object();
}

std::string serializeLine(const Json& message) {
    try {
        std::string line = message.dump(-1, ' ', false, Json::error_handler_t::replace);
        line += '\n';
        return line;
    } catch (const std::exception&) {
        return {};
    }
}

Json resultMessage(const Json& id, Json result) {
    Json message = Json::object();
    message["jsonrpc"] = "2.0";
    message["id"] = id;
    message["result"] = std::move(result);
    return message;
}

Json errorMessage(const Json& id, int code, const std::string& text) {
    Json error = Json::object();
    error["code"] = code;
    error["message"] = text;
    Json message = Json::object();
    message["jsonrpc"] = "2.0";
    message["id"] = id;
    message["error"] = std::move(error);
    return message;
}

Json progressNotification(const Json& token, double progress) {
    Json params = Json::object();
    params["progressToken"] = token;
    params["progress"] = progress;
    params["total"] = 1;
    Json message = Json::object();
    message["jsonrpc"] = "2.0";
    message["method"] = "notifications/progress";
    message["params"] = std::move(params);
    return message;
}

} // namespace kv::ToolServer
