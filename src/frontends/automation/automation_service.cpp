// The automation actions on the session bus: org.kelvane.Kelvane at /org/kelvane/Automation.
#include "frontends/automation/automation_service.h"

#include "engine/logger.h"
#include "frontends/automation/convert_actions.h"
#include "frontends/in_place/folder_access.h"

#include <atomic>
#include <cstdio>
#include <gio/gio.h>
#include <string>
#include <thread>

namespace kv::AutomationService {
namespace {

// ConvertFile(file bytes, file name, format choice) → (output bytes, output name);
// ConvertFileInPlace(path, format choice, replace existing) → new path. A format choice is one of
// "jpeg" "png" "heic" "tiff" "gif" "pdf" "mp4" "mov" "m4a" "wav" "aiff" "txt" "html" "zip" "tar".
constexpr const char* kIntrospection = R"(<node>
  <interface name="org.kelvane.Kelvane.Automation">
    <method name="ConvertFile">
      <arg type="ay" name="file" direction="in"/>
      <arg type="s" name="fileName" direction="in"/>
      <arg type="s" name="format" direction="in"/>
      <arg type="ay" name="output" direction="out"/>
      <arg type="s" name="outputName" direction="out"/>
    </method>
    <method name="ConvertFileInPlace">
      <arg type="s" name="file" direction="in"/>
      <arg type="s" name="format" direction="in"/>
      <arg type="b" name="replaceExisting" direction="in"/>
      <arg type="s" name="output" direction="out"/>
    </method>
  </interface>
</node>)";

constexpr std::chrono::milliseconds kIdleCheck{250};

struct State {
    GMainLoop* loop = nullptr;
    std::atomic<int> calls{0};
    std::atomic<std::int64_t> lastActivity{0}; // steady clock, milliseconds
    bool lostName = false;
};

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* errorName(AutomationError::Kind kind) {
    switch (kind) {
    case AutomationError::Kind::unsupportedInput:
        return "org.kelvane.Kelvane.Error.UnsupportedInput";
    case AutomationError::Kind::unsupportedConversion:
        return "org.kelvane.Kelvane.Error.UnsupportedConversion";
    case AutomationError::Kind::unsupported: return "org.kelvane.Kelvane.Error.Unsupported";
    case AutomationError::Kind::needsFolderAccess:
        return "org.kelvane.Kelvane.Error.NeedsFolderAccess";
    case AutomationError::Kind::collision: return "org.kelvane.Kelvane.Error.Collision";
    case AutomationError::Kind::engine: return "org.kelvane.Kelvane.Error.Failed";
    case AutomationError::Kind::noFileURL: return "org.kelvane.Kelvane.Error.NoFileURL";
    }
    return "org.kelvane.Kelvane.Error.Failed";
}

std::string choiceList() {
    std::string list;
    for (auto choice : allConvertFormatChoices) {
        if (!list.empty())
            list += ", ";
        list += rawValue(choice);
    }
    return list;
}

// Runs one call on a thread of its own; GDBus lets any thread return an invocation.
void perform(GDBusMethodInvocation* invocation, std::string method, GVariant* parameters,
             State* state) {
    try {
        if (method == "ConvertFile") {
            GVariant* bytesVariant = nullptr;
            const char* name = nullptr;
            const char* formatText = nullptr;
            g_variant_get(parameters, "(@ay&s&s)", &bytesVariant, &name, &formatText);
            gsize size = 0;
            const auto* data =
                static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytesVariant, &size, 1));
            std::vector<std::uint8_t> bytes(data, data + size);
            g_variant_unref(bytesVariant);
            const auto choice = convertFormatChoiceFromRaw(formatText);
            if (!choice) {
                g_dbus_method_invocation_return_dbus_error(
                    invocation, "org.freedesktop.DBus.Error.InvalidArgs",
                    ("Unknown format; one of: " + choiceList()).c_str());
            } else {
                const auto result = ConvertActions::convertFile(bytes, name, *choice);
                GVariant* output = g_variant_new_fixed_array(
                    G_VARIANT_TYPE_BYTE, result.bytes.data(), result.bytes.size(), 1);
                g_dbus_method_invocation_return_value(
                    invocation, g_variant_new("(@ays)", output, result.fileName.c_str()));
            }
        } else {
            const char* path = nullptr;
            const char* formatText = nullptr;
            gboolean replace = FALSE;
            g_variant_get(parameters, "(&s&sb)", &path, &formatText, &replace);
            const auto choice = convertFormatChoiceFromRaw(formatText);
            if (!choice) {
                g_dbus_method_invocation_return_dbus_error(
                    invocation, "org.freedesktop.DBus.Error.InvalidArgs",
                    ("Unknown format; one of: " + choiceList()).c_str());
            } else {
                // Grants may have changed since start-up: read them afresh for every call.
                FolderAccess access(SettingsStore::shared());
                const auto output =
                    ConvertActions::convertFileInPlace(path, *choice, replace != FALSE, access);
                g_dbus_method_invocation_return_value(invocation,
                                                      g_variant_new("(s)", output.c_str()));
            }
        }
    } catch (const AutomationError& failure) {
        g_dbus_method_invocation_return_dbus_error(invocation, errorName(failure.kind()),
                                                   failure.what());
    } catch (const std::exception& failure) {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.kelvane.Kelvane.Error.Failed",
                                                   failure.what());
    }
    g_variant_unref(parameters);
    state->lastActivity = nowMs();
    --state->calls;
}

void onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* state = static_cast<State*>(data);
    ++state->calls;
    state->lastActivity = nowMs();
    std::thread(perform, invocation, std::string(method), g_variant_ref(parameters), state)
        .detach();
}

const GDBusInterfaceVTable kVTable = {&onMethodCall, nullptr, nullptr, {}};

gboolean checkIdle(gpointer data) {
    auto* state = static_cast<State*>(data);
    const auto idleFor = std::chrono::milliseconds(nowMs() - state->lastActivity);
    if (state->calls == 0 && idleFor >= kIdleQuit) {
        g_main_loop_quit(state->loop);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

void onNameLost(GDBusConnection*, const char*, gpointer data) {
    auto* state = static_cast<State*>(data);
    state->lostName = true;
    g_main_loop_quit(state->loop);
}

} // namespace

int run() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        std::fprintf(stderr, "dbus-service: no session bus: %s\n", error->message);
        g_clear_error(&error);
        return 1;
    }
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    State state;
    state.loop = g_main_loop_new(nullptr, FALSE);
    state.lastActivity = nowMs();
    const guint object = g_dbus_connection_register_object(bus, kObjectPath, node->interfaces[0],
                                                           &kVTable, &state, nullptr, &error);
    if (object == 0) {
        std::fprintf(stderr, "dbus-service: %s\n", error->message);
        g_clear_error(&error);
        return 1;
    }
    const guint owner = g_bus_own_name_on_connection(bus, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                                     nullptr, &onNameLost, &state, nullptr);
    g_timeout_add(static_cast<guint>(kIdleCheck.count()), &checkIdle, &state);
    g_main_loop_run(state.loop);
    g_bus_unown_name(owner);
    // Calls still running finish before the connection goes.
    while (state.calls > 0)
        std::this_thread::sleep_for(kIdleCheck);
    g_dbus_connection_unregister_object(bus, object);
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    g_main_loop_unref(state.loop);
    g_dbus_node_info_unref(node);
    g_object_unref(bus);
    if (state.lostName) {
        std::fprintf(stderr, "dbus-service: the name %s is taken\n", kBusName);
        return 1;
    }
    return 0;
}

} // namespace kv::AutomationService
