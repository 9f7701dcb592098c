// The table that sends a (source, target) pair to the one converter operation that performs it.
#pragma once

#include "engine/convert_request.h"
#include "formats/supported_format.h"

namespace kv::Routing {

/// The operation for the pair: the first matching row of the dispatch table.
ConverterOperation operationFor(SupportedFormat source, SupportedFormat target);

} // namespace kv::Routing
