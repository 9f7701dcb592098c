// A freedesktop.org notification server on the session bus that records what it receives.
#include "app/notification_stub.h"

#include <condition_variable>
#include <gio/gio.h>
#include <thread>

namespace kv::test {

struct NotificationStub::Impl {
    mutable std::mutex lock;
    std::condition_variable ready;
    bool started = false;
    bool owned = false;
    std::vector<Received> received;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
};

namespace {

constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
  </interface>
</node>)";

void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* impl = static_cast<NotificationStub::Impl*>(data);
    const std::string name(method);
    if (name == "Notify") {
        const gchar* app = nullptr;
        const gchar* summary = nullptr;
        const gchar* body = nullptr;
        g_variant_get_child(parameters, 0, "&s", &app);
        g_variant_get_child(parameters, 3, "&s", &summary);
        g_variant_get_child(parameters, 4, "&s", &body);
        {
            std::lock_guard guard(impl->lock);
            impl->received.push_back({app, summary, body});
        }
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(u)", static_cast<guint32>(impl->received.size())));
    } else if (name == "GetCapabilities") {
        const gchar* caps[] = {"body", nullptr};
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
    } else {
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(ssss)", "stub", "kelvane-tests", "1", "1.2"));
    }
}

} // namespace

NotificationStub::NotificationStub() : m_impl(std::make_unique<Impl>()) {
    Impl* impl = m_impl.get();
    impl->context = g_main_context_new();
    impl->loop = g_main_loop_new(impl->context, FALSE);
    impl->thread = std::thread([impl] {
        g_main_context_push_thread_default(impl->context);
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        GDBusConnection* bus = nullptr;
        if (address != nullptr) {
            bus = g_dbus_connection_new_for_address_sync(
                address,
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_free(address);
        }
        g_clear_error(&error);
        bool owned = false;
        guint registration = 0;
        GDBusNodeInfo* node = nullptr;
        if (bus != nullptr) {
            node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
            static const GDBusInterfaceVTable vtable{&onCall, nullptr, nullptr, {}};
            registration = g_dbus_connection_register_object(bus, "/org/freedesktop/Notifications",
                                                             node->interfaces[0], &vtable, impl,
                                                             nullptr, nullptr);
            GVariant* reply = g_dbus_connection_call_sync(
                bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", "org.freedesktop.Notifications", 4u),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr);
            if (reply != nullptr) {
                guint32 result = 0;
                g_variant_get(reply, "(u)", &result);
                owned = result == 1; // primary owner
                g_variant_unref(reply);
            }
        }
        {
            std::lock_guard guard(impl->lock);
            impl->owned = owned;
            impl->started = true;
        }
        impl->ready.notify_all();
        if (bus != nullptr) {
            g_main_loop_run(impl->loop);
            g_dbus_connection_unregister_object(bus, registration);
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
            g_dbus_node_info_unref(node);
        }
        g_main_context_pop_thread_default(impl->context);
    });
    std::unique_lock guard(impl->lock);
    impl->ready.wait(guard, [impl] { return impl->started; });
}

NotificationStub::~NotificationStub() {
    // Quit from inside the loop, so a loop that has not started running yet cannot miss it.
    g_main_context_invoke(
        m_impl->context,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        m_impl->loop);
    m_impl->thread.join();
    g_main_loop_unref(m_impl->loop);
    g_main_context_unref(m_impl->context);
}

bool NotificationStub::owned() const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->owned;
}

std::vector<NotificationStub::Received> NotificationStub::received() const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->received;
}

} // namespace kv::test
