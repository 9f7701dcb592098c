// The automation actions on the session bus: org.kelvane.Kelvane at /org/kelvane/Automation.
#pragma once

#include <chrono>

namespace kv::AutomationService {

inline constexpr const char* kBusName = "org.kelvane.Kelvane";
inline constexpr const char* kObjectPath = "/org/kelvane/Automation";
inline constexpr const char* kInterface = "org.kelvane.Kelvane.Automation";
/// Quits after this long without a call in progress, like the URL service.
inline constexpr std::chrono::seconds kIdleQuit{4};

/// `kelvane --dbus-service`: owns the name and serves ConvertFile and ConvertFileInPlace until
/// idle. Returns the exit status (1 when the bus or the name is unavailable).
int run();

} // namespace kv::AutomationService
