// The four tools as "tools/list" describes them.
#pragma once

#include "frontends/tool_server/protocol.h"

namespace kv::ToolServer {

/// The tool definitions, in the order they are listed; keys in the order they are sent.
const Json& toolDefinitions();

} // namespace kv::ToolServer
