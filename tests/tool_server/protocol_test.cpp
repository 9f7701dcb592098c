#include "frontends/tool_server/line_framer.h"
#include "frontends/tool_server/protocol.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kv::ToolServer {
namespace {

struct Seen {
    std::vector<std::string> frames;
    std::vector<std::uint64_t> oversized;
};

void feedAll(LineFramer& framer, std::string_view bytes, Seen& seen, std::size_t chunk) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        framer.feed(bytes.substr(at, chunk), [&](const LineFramer::Event& event) {
            if (event.oversized) {
                seen.oversized.push_back(event.length);
            } else {
                seen.frames.emplace_back(event.frame);
            }
        });
    }
}

TEST(LineFramer, SameFramesWhateverTheChunking) {
    const std::string input = "{\"a\":1}\n\n\nsecond\r\nthird line\nincomplete";
    for (std::size_t chunk : {1, 2, 3, 7, 64}) {
        LineFramer framer(1024);
        Seen seen;
        feedAll(framer, input, seen, chunk);
        EXPECT_EQ(seen.frames, (std::vector<std::string>{"{\"a\":1}", "second\r", "third line"}))
            << chunk;
        EXPECT_TRUE(seen.oversized.empty());
        EXPECT_EQ(framer.pendingBytes(), std::string("incomplete").size());
    }
}

TEST(LineFramer, LongLinesAreCountedDroppedAndReadingRecovers) {
    for (std::size_t chunk : {1, 5, 4096}) {
        LineFramer framer(10);
        Seen seen;
        const std::string input = std::string(10, 'a') + "\n" + std::string(11, 'b') + "\n" +
                                  std::string(1000, 'c') + "\nok\n" + std::string(25, 'd');
        feedAll(framer, input, seen, chunk);
        EXPECT_EQ(seen.frames, (std::vector<std::string>{std::string(10, 'a'), "ok"})) << chunk;
        EXPECT_EQ(seen.oversized, (std::vector<std::uint64_t>{11, 1000})) << chunk;
        // Never holds more than the bound, even in the middle of an endless line.
        EXPECT_LE(framer.pendingBytes(), 10u);
    }
}

TEST(Protocol, OnlyObjectsWithAStringMethodAreMessages) {
    EXPECT_TRUE(parseMessage(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"));
    EXPECT_TRUE(parseMessage("{\"method\":\"ping\"}\r")); // a trailing CR is whitespace
    EXPECT_FALSE(parseMessage("{not json}!"));
    EXPECT_FALSE(parseMessage(R"([{"method":"ping"}])"));
    EXPECT_FALSE(parseMessage(R"({"id":1,"method":7})"));
    EXPECT_FALSE(parseMessage(R"({"id":1,"result":{}})"));
    EXPECT_FALSE(parseMessage("{\"method\":\"ping\",\"s\":\"\xff\"}")); // not UTF-8
}

TEST(Protocol, NestingBeyondTheLimitIsRefused) {
    const auto nested = [](int depth) {
        return "{\"method\":\"ping\",\"p\":" +
               std::string(static_cast<std::size_t>(depth - 1), '[') +
               std::string(static_cast<std::size_t>(depth - 1), ']') + "}";
    };
    EXPECT_TRUE(parseMessage(nested(kMaxNestingDepth)));
    EXPECT_FALSE(parseMessage(nested(kMaxNestingDepth + 1)));
    // Brackets inside strings, escaped quotes included, are text.
    EXPECT_FALSE(nestingExceeds("{\"a\":\"[[[[\\\"[[[[\"}", 2));
    EXPECT_TRUE(nestingExceeds("[[[\"]\"", 2));
}

TEST(Protocol, RepliesWithInvalidUtf8AreStillSent) {
    Json result = Json::object();
    result["output_path"] = std::string("/tmp/caf\xe9.png");
    const std::string line = serializeLine(resultMessage(Json(3), result));
    EXPECT_EQ(line, "{\"jsonrpc\":\"2.0\",\"id\":3,\"result\":{\"output_path\":\"/tmp/"
                    "caf\xef\xbf\xbd.png\"}}\n");
}

TEST(Protocol, IdsAreEchoedUnchanged) {
    for (const char* id : {"\"abc\"", "0", "-5", "1.5", "null", "{\"z\":1,\"a\":[2]}"}) {
        const auto message = parseMessage(std::string("{\"id\":") + id + ",\"method\":\"x\"}");
        ASSERT_TRUE(message) << id;
        const std::string line =
            serializeLine(errorMessage(message->at("id"), kMethodNotFound, "m"));
        EXPECT_EQ(line, std::string("{\"jsonrpc\":\"2.0\",\"id\":") + id +
                            ",\"error\":{\"code\":-32601,\"message\":\"m\"}}\n");
    }
}

} // namespace
} // namespace kv::ToolServer
