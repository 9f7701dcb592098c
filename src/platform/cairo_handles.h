// Owners for the cairo objects and GObject-based handles (pango, poppler) the PDF and HTML doors
// draw with.
#pragma once

#include "platform/c_handle.h"

#include <cairo.h>
#include <glib-object.h>

namespace kv::platform {

inline void unrefObject(gpointer object) noexcept {
    g_object_unref(object);
}

using CairoSurface = CHandle<cairo_surface_t, &cairo_surface_destroy>;
using CairoContext = CHandle<cairo_t, &cairo_destroy>;

} // namespace kv::platform
