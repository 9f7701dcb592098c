// Desktop notifications through the freedesktop.org Notifications service on the session bus.
#include "platform/notify.h"

#include <gio/gio.h>

namespace kv::DesktopNotification {

namespace {
constexpr int kCallTimeoutMs = 3000;
}

bool send(const std::string& summary, const std::string& body) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        g_clear_error(&error);
        return false;
    }
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify",
        g_variant_new("(susssasa{sv}i)", "Kelvane", 0u, "kelvane", summary.c_str(), body.c_str(),
                      nullptr, nullptr, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
    g_object_unref(bus);
    if (reply == nullptr) {
        g_clear_error(&error);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

} // namespace kv::DesktopNotification
