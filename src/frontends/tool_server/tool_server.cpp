// The tool server: JSON-RPC 2.0 requests, one per line, on standard input; replies on standard
// output; diagnostics on standard error.
#include "frontends/tool_server/tool_server.h"

#include "engine/logger.h"
#include "engine/progress_throttle.h"
#include "frontends/tool_server/line_framer.h"
#include "frontends/tool_server/protocol.h"
#include "frontends/tool_server/tool_definitions.h"
#include "frontends/tool_server/tools.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <stop_token>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef KV_VERSION
#define KV_VERSION "1.1"
#endif

namespace kv::ToolServer {
namespace {

constexpr const char* kDiagnosticPrefix = "[kelvane-mcp] ";
constexpr const char* kDefaultProtocolVersion = "2025-06-18";
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Calls waiting for a worker hold their parsed arguments: past either bound the reader stops
// taking input until a call starts, so a flood cannot grow memory without limit.
constexpr std::size_t kMaxQueuedFrameBytes = std::size_t{32} << 20;
constexpr std::size_t kMaxQueuedCalls = 1024;
// After the input closes, running calls are asked to stop and get this long to clean up.
constexpr auto kShutdownGrace = std::chrono::seconds(5);

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // the client is gone; nothing is left to tell it
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void diagnose(std::string_view message) {
    std::string line = kDiagnosticPrefix;
    line += message;
    line += '\n';
    writeAll(STDERR_FILENO, line);
}

std::size_t workerCount() {
    return std::max(1u, std::thread::hardware_concurrency());
}

struct Call {
    std::optional<Json> id;
    std::string key; // the id as JSON text, matched by "notifications/cancelled"
    std::string tool;
    Json arguments;
    std::optional<Json> progressToken;
    std::size_t frameBytes = 0;
    std::stop_source stop;
};

class Server {
  public:
    Server(int input, int output) : m_input(input), m_output(output) {}

    int serve() {
        diagnose("Kelvane MCP server starting");
        for (std::size_t i = 0; i < workerCount(); ++i)
            m_workers.emplace_back([this] { workerLoop(); });
        std::thread reader([this] { readLoop(); });
        ::pthread_setname_np(reader.native_handle(), "mcp.stdin");
        reader.join();
        diagnose("stdin closed; exiting");
        if (!stopAllCalls()) {
            // A call that ignores its stop request must not keep the process alive.
            std::fflush(nullptr);
            ::_exit(0);
        }
        for (auto& worker : m_workers)
            worker.join();
        return 0;
    }

  private:
    void readLoop() {
        LineFramer framer(kMaxFrameBytes);
        std::vector<char> chunk(kReadChunkBytes);
        for (;;) {
            const ssize_t got = ::read(m_input, chunk.data(), chunk.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A client may hand over a non-blocking descriptor: wait for input instead.
                pollfd waiting{.fd = m_input, .events = POLLIN, .revents = 0};
                ::poll(&waiting, 1, -1);
                continue;
            }
            if (got <= 0)
                return; // end of input; an incomplete last line is dropped
            framer.feed(std::string_view(chunk.data(), static_cast<std::size_t>(got)),
                        [this](const LineFramer::Event& event) {
                            if (event.oversized) {
                                unparseable(event.length);
                            } else {
                                handleFrame(event.frame);
                            }
                        });
        }
    }

    static void unparseable(std::uint64_t length) {
        diagnose("unparseable frame (" + std::to_string(length) + " bytes)");
    }

    void handleFrame(std::string_view frame) {
        auto message = parseMessage(frame);
        if (!message) {
            unparseable(frame.size());
            return;
        }
        try {
            dispatch(*message, frame.size());
        } catch (const std::exception& failure) {
            diagnose(std::string("request not handled: ") + failure.what());
        }
    }

    void dispatch(Json& message, std::size_t frameBytes) {
        const auto& method = message["method"].get_ref<const std::string&>();
        std::optional<Json> id;
        if (const auto found = message.find("id"); found != message.end())
            id = *found;
        Json params = paramsOf(message);

        if (method == "initialize") {
            const auto requested = params.find("protocolVersion");
            Json serverInfo = Json::object();
            serverInfo["name"] = "kelvane";
            serverInfo["title"] = "Kelvane File Converter";
            serverInfo["version"] = KV_VERSION;
            Json result = Json::object();
            result["protocolVersion"] = requested != params.end() && requested->is_string()
                                            ? *requested
                                            : Json(kDefaultProtocolVersion);
            result["capabilities"] = Json{{"tools", Json::object()}};
            result["serverInfo"] = std::move(serverInfo);
            reply(id, std::move(result));
        } else if (method == "notifications/initialized") {
        } else if (method == "notifications/cancelled") {
            if (const auto request = params.find("requestId"); request != params.end())
                cancel(*request);
        } else if (method == "ping") {
            reply(id, Json::object());
        } else if (method == "tools/list") {
            reply(id, Json{{"tools", toolDefinitions()}});
        } else if (method == "tools/call") {
            const auto name = params.find("name");
            if (name == params.end() || !name->is_string()) {
                if (id)
                    send(errorMessage(*id, kInvalidParams, "tools/call requires a 'name'"));
                return;
            }
            auto call = std::make_shared<Call>();
            call->id = std::move(id);
            if (call->id)
                call->key = call->id->dump();
            call->tool = name->get<std::string>();
            if (const auto arguments = params.find("arguments");
                arguments != params.end() && arguments->is_object()) {
                call->arguments = std::move(*arguments);
            } else {
                call->arguments = Json::object();
            }
            if (const auto meta = params.find("_meta"); meta != params.end() && meta->is_object()) {
                const auto token = meta->find("progressToken");
                if (token != meta->end() && (token->is_string() || token->is_number()))
                    call->progressToken = *token;
            }
            call->frameBytes = frameBytes;
            if (answersAtOnce(call->tool)) {
                execute(*call);
            } else {
                enqueue(std::move(call));
            }
        } else if (id) {
            send(errorMessage(*id, kMethodNotFound, "method not found: " + method));
        }
    }

    void reply(const std::optional<Json>& id, Json result) {
        if (id)
            send(resultMessage(*id, std::move(result)));
    }

    void send(const Json& message) {
        const std::string line = serializeLine(message);
        if (line.empty())
            return;
        const std::lock_guard lock(m_writeLock);
        writeAll(m_output, line);
    }

    void enqueue(std::shared_ptr<Call> call) {
        std::unique_lock lock(m_callsLock);
        m_callsChanged.wait(lock, [&] {
            return m_queue.empty() || (m_queuedBytes + call->frameBytes <= kMaxQueuedFrameBytes &&
                                       m_queue.size() < kMaxQueuedCalls);
        });
        m_queuedBytes += call->frameBytes;
        m_queue.push_back(std::move(call));
        lock.unlock();
        m_callsChanged.notify_all();
    }

    void workerLoop() {
        for (;;) {
            std::shared_ptr<Call> call;
            {
                std::unique_lock lock(m_callsLock);
                m_callsChanged.wait(lock, [&] { return m_closing || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                call = std::move(m_queue.front());
                m_queue.pop_front();
                m_queuedBytes -= call->frameBytes;
                m_running.push_back(call);
            }
            m_callsChanged.notify_all();
            execute(*call);
            {
                const std::lock_guard lock(m_callsLock);
                m_running.erase(std::find(m_running.begin(), m_running.end(), call));
            }
            m_callsChanged.notify_all();
        }
    }

    // Runs one call and sends its result, unless the call was cancelled: then nothing is sent and
    // nothing it wrote is kept.
    void execute(Call& call) {
        const auto token = call.stop.get_token();
        if (token.stop_requested())
            return;
        ToolContext context{.stop = token, .progress = {}};

        std::mutex progressLock;
        double lastSent = -1.0;
        std::optional<ProgressThrottle> throttle;
        if (call.progressToken) {
            throttle.emplace(Uuid::random(), [&](const Uuid&, double value) {
                value = std::clamp(value, 0.0, 1.0);
                const std::lock_guard lock(progressLock);
                // Progress only ever moves forward, and stops once the call is cancelled.
                if (value <= lastSent || token.stop_requested())
                    return;
                lastSent = value;
                send(progressNotification(*call.progressToken, value));
            });
            context.progress = throttle->handler();
        }

        ToolResult result;
        try {
            result = callTool(call.tool, call.arguments, context);
        } catch (const std::exception& failure) {
            result = ToolResult::failure(failure.what());
        }
        if (token.stop_requested()) {
            if (result.output && !result.isError) {
                std::error_code ignored;
                std::filesystem::remove_all(*result.output, ignored);
            }
            return;
        }
        if (call.id)
            send(resultMessage(*call.id, result.toJson()));
    }

    void cancel(const Json& requestId) {
        const std::string key = requestId.dump();
        {
            const std::lock_guard lock(m_callsLock);
            for (auto it = m_queue.begin(); it != m_queue.end();) {
                if ((*it)->id && (*it)->key == key) {
                    m_queuedBytes -= (*it)->frameBytes;
                    it = m_queue.erase(it);
                } else {
                    ++it;
                }
            }
            for (const auto& call : m_running) {
                if (call->id && call->key == key)
                    call->stop.request_stop();
            }
        }
        m_callsChanged.notify_all();
    }

    // Drops waiting calls and stops running ones; true when they all ended within the grace time.
    bool stopAllCalls() {
        std::unique_lock lock(m_callsLock);
        m_closing = true;
        m_queue.clear();
        m_queuedBytes = 0;
        for (const auto& call : m_running)
            call->stop.request_stop();
        m_callsChanged.notify_all();
        return m_callsChanged.wait_for(lock, kShutdownGrace, [&] { return m_running.empty(); });
    }

    int m_input;
    int m_output;
    std::mutex m_writeLock; // one reply line at a time

    std::mutex m_callsLock;
    std::condition_variable m_callsChanged;
    std::deque<std::shared_ptr<Call>> m_queue;
    std::size_t m_queuedBytes = 0;
    std::vector<std::shared_ptr<Call>> m_running;
    bool m_closing = false;
    std::vector<std::thread> m_workers;
};

} // namespace

int serve(int input, int output) {
    Server server(input, output);
    return server.serve();
}

int run() {
    std::signal(SIGPIPE, SIG_IGN);
    ConversionLogger::shared().setEcho(ConversionLogger::Echo::standardError);
    // Replies keep a private copy of standard output; descriptor 1 then leads to standard error,
    // so whatever a library prints cannot corrupt the protocol stream.
    std::fflush(stdout);
    const int replies = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (replies < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        diagnose(std::string("cannot set up standard output: ") + std::strerror(errno));
        return 1;
    }
    const int status = serve(STDIN_FILENO, replies);
    ::close(replies);
    return status;
}

} // namespace kv::ToolServer
