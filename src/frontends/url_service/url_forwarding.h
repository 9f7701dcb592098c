// One service process per user: later "kelvane kelvane://…" starts hand their URL to it over a
// local socket and exit.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv {

/// $XDG_RUNTIME_DIR/kelvane/url.sock, else /tmp/kelvane-<uid>/url.sock; the folder is created
/// private to the user.
std::filesystem::path urlSocketPath();

/// The bound, listening socket of the running service; each line a client sends is one URL.
class UrlListener {
  public:
    /// Sends `urls` to the running service when there is one (true), or else binds the socket and
    /// returns a listener in `claimed` (false). Decided under a lock file, so two starts never both
    /// become the service. Throws std::system_error when the socket cannot be made.
    static bool forwardOrClaim(const std::filesystem::path& socket,
                               const std::vector<std::string>& urls,
                               std::unique_ptr<UrlListener>& claimed);

    ~UrlListener();
    UrlListener(const UrlListener&) = delete;
    UrlListener& operator=(const UrlListener&) = delete;

    /// Accepts connections on a thread of its own; each URL goes to `handler`.
    void start(std::function<void(const std::string&)> handler);
    /// Stops accepting and removes the socket (under the lock file, so no client is mid-handover).
    void stop();

  private:
    UrlListener(std::filesystem::path socket, int fd);
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

namespace UrlService {

/// `kelvane kelvane://…`: forwards the URLs to the running service, or becomes it: background
/// mode, handles them, and quits after 4 idle seconds. Returns the exit status.
int run(const std::vector<std::string>& urls);

} // namespace UrlService
} // namespace kv
