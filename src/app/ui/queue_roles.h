// The data roles one queue row offers its delegate.
#pragma once

#include <Qt>

namespace kv::ui {

enum QueueRole : int {
    NameRole = Qt::UserRole + 1, // file name
    DetailRole,                  // "PNG · 2.4 MB"
    CategoryRole,                // "Image", "Video", …
    TargetRole,                  // target display name, empty when none
    HasTargetsRole,              // the source has at least one producible target
    StatusRole,                  // int(ConversionStatus)
    StatusTextRole,              // "Pending", "Converting", …
    ProgressRole,                // 0…1
    DeltaRole,                   // "2 MB → 1 MB · −50%", empty when unknown
    ErrorRole,                   // error text of a failed row
    ThumbnailRole,               // QImage, null while not made
    JobIdRole,                   // the job's id as text
};

} // namespace kv::ui
