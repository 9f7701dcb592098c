// Desktop notifications through the freedesktop.org Notifications service on the session bus.
#pragma once

#include <string>

namespace kv::DesktopNotification {

/// Shows one notification from "Kelvane". False, silently, when there is no session bus or no
/// notification server; never throws.
bool send(const std::string& summary, const std::string& body);

} // namespace kv::DesktopNotification
