// The desktop's light or dark preference, read without Qt (GIO's headers clash with Qt's macros).
#include "app/ui/desktop_scheme.h"

#include <gio/gio.h>
#include <string_view>

namespace kv::ui {

bool gnomePrefersDark() {
    // Minimal systems lack the schema, and GSettings aborts on an unknown one: look it up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr)
        return false;
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
    if (schema == nullptr)
        return false;
    bool dark = false;
    if (g_settings_schema_has_key(schema, "color-scheme")) {
        GSettings* settings = g_settings_new("org.gnome.desktop.interface");
        gchar* scheme = g_settings_get_string(settings, "color-scheme");
        dark = scheme != nullptr && std::string_view(scheme) == "prefer-dark";
        g_free(scheme);
        g_object_unref(settings);
    }
    g_settings_schema_unref(schema);
    return dark;
}

} // namespace kv::ui
