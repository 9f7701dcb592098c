// One service process per user: later "kelvane kelvane://…" starts hand their URL to it over a
// local socket and exit.
#include "frontends/url_service/url_forwarding.h"

#include "engine/logger.h"
#include "frontends/url_service/finder_conversion_service.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxUrlBytes = 64 * 1024; // a path of PATH_MAX, percent-encoded, and more
constexpr int kClientTimeoutMs = 5000;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = other.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd;
};

// An exclusive lock on "<socket>.lock" for the decisions about who serves.
Fd lockBeside(const fs::path& socket) {
    const auto path = fs::path(socket).concat(".lock");
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        throwErrno("open lock");
    while (::flock(fd.get(), LOCK_EX) != 0)
        if (errno != EINTR)
            throwErrno("lock");
    return fd;
}

sockaddr_un addressOf(const fs::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = socket.string();
    if (text.size() >= sizeof(address.sun_path))
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "socket path");
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to the first newline; none on timeout, error, or a line over the limit.
std::optional<std::string> readLine(int fd) {
    std::string line;
    char buffer[4096];
    for (;;) {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, kClientTimeoutMs) <= 0)
            return std::nullopt;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return line.empty() ? std::nullopt : std::optional(line);
        line.append(buffer, static_cast<std::size_t>(n));
        if (const auto end = line.find('\n'); end != std::string::npos)
            return line.substr(0, end);
        if (line.size() > kMaxUrlBytes)
            return std::nullopt;
    }
}

// Hands the URLs to a listening service; true once it acknowledged every one.
bool forward(const fs::path& socket, const std::vector<std::string>& urls) {
    for (const auto& url : urls) {
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0)
            return false;
        const auto address = addressOf(socket);
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return false;
        if (!writeAll(fd.get(), url + "\n"))
            return false;
        if (readLine(fd.get()) != "ok")
            return false;
    }
    return true;
}

// The folder must be ours and private: the socket carries paths to convert.
void makePrivateFolder(const fs::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throwErrno("create socket folder");
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0)
        throwErrno("socket folder");
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 077) != 0)
        throw std::system_error(EPERM, std::generic_category(),
                                "socket folder " + folder.string() + " is not private");
}

} // namespace

fs::path urlSocketPath() {
    fs::path folder;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/')
        folder = fs::path(runtime) / "kelvane";
    else
        folder = fs::path("/tmp") / ("kelvane-" + std::to_string(::getuid()));
    makePrivateFolder(folder);
    return folder / "url.sock";
}

struct UrlListener::Impl {
    fs::path socket;
    Fd listening;
    Fd wakeRead, wakeWrite;
    std::jthread thread;
};

UrlListener::UrlListener(fs::path socket, int fd) : m_impl(std::make_unique<Impl>()) {
    m_impl->socket = std::move(socket);
    m_impl->listening = Fd(fd);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throwErrno("pipe");
    m_impl->wakeRead = Fd(pipeFds[0]);
    m_impl->wakeWrite = Fd(pipeFds[1]);
}

UrlListener::~UrlListener() {
    stop();
}

bool UrlListener::forwardOrClaim(const fs::path& socket, const std::vector<std::string>& urls,
                                 std::unique_ptr<UrlListener>& claimed) {
    const Fd lock = lockBeside(socket);
    if (forward(socket, urls))
        return true;
    // Nobody answers: a socket file left behind by a crash is stale.
    ::unlink(socket.c_str());
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        throwErrno("socket");
    const auto address = addressOf(socket);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throwErrno("bind");
    if (::listen(fd.get(), 64) != 0)
        throwErrno("listen");
    claimed.reset(new UrlListener(socket, fd.release()));
    return false;
}

void UrlListener::start(std::function<void(const std::string&)> handler) {
    Impl& impl = *m_impl;
    impl.thread = std::jthread([&impl, handler = std::move(handler)] {
        for (;;) {
            pollfd waiting[2] = {{impl.listening.get(), POLLIN, 0},
                                 {impl.wakeRead.get(), POLLIN, 0}};
            if (::poll(waiting, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (waiting[1].revents != 0)
                return;
            Fd client(::accept4(impl.listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (client.get() < 0)
                continue;
            const auto url = readLine(client.get());
            if (!url)
                continue;
            handler(*url);
            writeAll(client.get(), "ok\n");
        }
    });
}

void UrlListener::stop() {
    if (!m_impl || m_impl->listening.get() < 0)
        return;
    {
        const Fd lock = lockBeside(m_impl->socket);
        if (m_impl->thread.joinable()) {
            const char wake = 'q';
            [[maybe_unused]] const auto written = ::write(m_impl->wakeWrite.get(), &wake, 1);
            m_impl->thread.join();
        }
        ::unlink(m_impl->socket.c_str());
        ::close(m_impl->listening.release());
    }
}

namespace UrlService {

int run(const std::vector<std::string>& urls) {
    std::unique_ptr<UrlListener> listener;
    try {
        if (UrlListener::forwardOrClaim(urlSocketPath(), urls, listener))
            return 0;
    } catch (const std::exception& failure) {
        // Without the socket this process still serves its own URLs.
        ConversionLogger::shared().warning(
            std::string("URL forwarding unavailable: ") + failure.what(), "Finder");
    }
    FinderConversionService service({.idleQuit = FinderConversionService::kIdleQuit,
                                     .notify = &notifyDesktop,
                                     .openCompressPicker = {}});
    service.enterBackgroundMode();
    for (const auto& url : urls)
        service.handle(url);
    if (listener)
        listener->start([&service](const std::string& url) { service.handle(url); });
    service.waitUntilIdle();
    // Stop taking URLs, then finish any that slipped in while stopping.
    if (listener)
        listener->stop();
    service.waitUntilIdle();
    return 0;
}

} // namespace UrlService
} // namespace kv
