// Work items prepared on all cores and handed on in their original order (base/ordered_workers.h).
#pragma once

#include "base/ordered_workers.h"

namespace kv::ArchiveConverter {

using kv::prepareInOrder;

} // namespace kv::ArchiveConverter
