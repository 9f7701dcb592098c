#include "frontends/tool_server/protocol.h"
#include "frontends/tool_server/tool_server.h"
#include "support/test_support.h"

#include <future>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <unistd.h>

namespace kv::ToolServer {
namespace {

// Runs the server in this process over two pipes (the sanitizer builds see its threads).
class PipeSession {
  public:
    PipeSession() {
        EXPECT_EQ(::pipe(m_in), 0);
        EXPECT_EQ(::pipe(m_out), 0);
        m_server = std::async(std::launch::async, [this] { return serve(m_in[0], m_out[1]); });
    }
    ~PipeSession() {
        closeInput();
        for (int fd : {m_in[0], m_out[0], m_out[1]})
            ::close(fd);
    }

    void write(const std::string& bytes) {
        ASSERT_EQ(::write(m_in[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The next complete line of output.
    std::string line() {
        for (;;) {
            if (const auto end = m_pending.find('\n'); end != std::string::npos) {
                std::string line = m_pending.substr(0, end + 1);
                m_pending.erase(0, end + 1);
                return line;
            }
            char buffer[65536];
            const ssize_t got = ::read(m_out[0], buffer, sizeof buffer);
            if (got <= 0)
                return {};
            m_pending.append(buffer, static_cast<std::size_t>(got));
        }
    }

    int closeInput() {
        if (m_in[1] >= 0) {
            ::close(m_in[1]);
            m_in[1] = -1;
            const int status = m_server.get();
            ::close(m_out[1]); // the server is done writing: reads now see the end
            m_out[1] = -1;
            return status;
        }
        return -1;
    }

  private:
    int m_in[2] = {-1, -1};
    int m_out[2] = {-1, -1};
    std::future<int> m_server;
    std::string m_pending;
};

std::string callLine(int id, const std::string& source) {
    Json arguments{{"source_path", source}, {"target_format", "json"}};
    return serializeLine(
        Json{{"jsonrpc", "2.0"},
             {"id", id},
             {"method", "tools/call"},
             {"params", Json{{"name", "convert_file"}, {"arguments", arguments}}}});
}

TEST(ToolServerSession, ConcurrentCallsAreAnsweredOnceEachOnWholeLines) {
    test::TempDir dir;
    constexpr int kCalls = 24;
    std::string requests;
    for (int i = 0; i < kCalls; ++i) {
        const auto source = dir / ("t" + std::to_string(i) + ".csv");
        test::writeFile(source, "k,v\n" + std::to_string(i) + ",x\n");
        requests += callLine(i, source.string());
        if (i % 6 == 0)
            requests += "garbage\n{\"method\":\"notifications/cancelled\"}\n";
    }
    PipeSession session;
    session.write(requests + R"({"jsonrpc":"2.0","id":"p","method":"ping"})" + "\n");

    std::map<std::string, Json> replies;
    while (replies.size() < kCalls + 1) {
        const std::string line = session.line();
        ASSERT_FALSE(line.empty());
        const auto message = Json::parse(line);
        ASSERT_FALSE(replies.contains(message["id"].dump())) << line;
        replies[message["id"].dump()] = message;
    }
    EXPECT_EQ(replies["\"p\""]["result"], Json::object());
    for (int i = 0; i < kCalls; ++i) {
        const auto& result = replies[std::to_string(i)]["result"];
        EXPECT_FALSE(result.contains("isError")) << result.dump();
        EXPECT_EQ(result["structuredContent"]["output_path"],
                  (dir / ("t" + std::to_string(i) + ".json")).string());
    }
    EXPECT_EQ(session.closeInput(), 0);
    EXPECT_EQ(session.line(), ""); // nothing more once the input is closed
}

} // namespace
} // namespace kv::ToolServer
