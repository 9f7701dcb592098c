// A freedesktop.org notification server on the session bus that records what it receives.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kv::test {

/// The private folder that HOME and the XDG folders of this test process point into.
const std::filesystem::path& privateHome();

class NotificationStub {
  public:
    struct Received {
        std::string appName;
        std::string summary;
        std::string body;
    };

    /// Owns "org.freedesktop.Notifications" on the session bus, served from a thread of its
    /// own. `owned()` is false when there is no bus.
    NotificationStub();
    ~NotificationStub();
    NotificationStub(const NotificationStub&) = delete;
    NotificationStub& operator=(const NotificationStub&) = delete;

    bool owned() const;
    std::vector<Received> received() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace kv::test
