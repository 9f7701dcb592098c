// Which shared libraries each kind of start loads: the headless modes never load Qt, which lives
// in the desktop window's module.
#include "support/test_support.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kv::test {
namespace {

const std::filesystem::path kModule =
    std::filesystem::path(KV_BINARY).parent_path() / "kelvane-ui.so";

// The dynamic loader's record of every library a start loads, dlopen included.
RunResult runWithLoaderLog(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"env", "LD_DEBUG=files", KV_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

std::string readProcFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The memory map of a tool server that has answered its first request, so that everything it
// needs to serve is loaded.
std::string mapsOfServingToolServer() {
    int toServer[2];
    int fromServer[2];
    if (::pipe2(toServer, O_CLOEXEC) != 0 || ::pipe2(fromServer, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toServer[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromServer[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string binary = KV_BINARY;
    std::string flag = "--mcp";
    char* argv[] = {binary.data(), flag.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toServer[0]);
    ::close(fromServer[1]);
    std::string maps;
    if (spawned == 0) {
        const std::string request =
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
            R"("2025-06-18","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})"
            "\n";
        std::string reply;
        if (::write(toServer[1], request.data(), request.size()) ==
            static_cast<ssize_t>(request.size())) {
            char c = 0;
            while (::read(fromServer[0], &c, 1) == 1 && c != '\n')
                reply += c;
        }
        if (reply.find("\"result\"") != std::string::npos)
            maps = readProcFile("/proc/" + std::to_string(pid) + "/maps");
    }
    ::close(toServer[1]); // end of input: the server leaves
    ::close(fromServer[0]);
    if (spawned == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    return maps;
}

// Global symbols a shared object defines (code and data), from nm.
std::set<std::string> definedSymbols(const std::filesystem::path& file) {
    const RunResult listed = runProgram({"nm", "-D", "--defined-only", file.string()});
    std::set<std::string> symbols;
    std::istringstream lines(listed.out);
    std::string address, kind, name;
    while (lines >> address >> kind >> name)
        if (kind == "T" || kind == "D" || kind == "B")
            symbols.insert(name);
    return symbols;
}

TEST(HeadlessStart, TheExecutableNeedsNoQtLibrary) {
    const RunResult listed = runProgram({"ldd", KV_BINARY});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_NE(listed.out.find("libglib-2.0"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("libQt6"), std::string::npos) << listed.out;
}

TEST(HeadlessStart, VersionAndATextConversionLoadNoQt) {
    const RunResult version = runWithLoaderLog({"--version"});
    ASSERT_EQ(version.exitCode, 0) << version.err;
    // The log is there (the loader named the executable's libraries), and Qt is not in it.
    EXPECT_NE(version.err.find("libicuuc"), std::string::npos);
    EXPECT_EQ(version.err.find("libQt6"), std::string::npos);
    EXPECT_EQ(version.err.find("kelvane-ui.so"), std::string::npos);

    TempDir dir;
    writeFile(dir / "notes.txt", "first line\nsecond line\n");
    const RunResult convert =
        runWithLoaderLog({"--convert", (dir / "notes.txt").string(), "html", dir.path().string()});
    ASSERT_EQ(convert.exitCode, 0) << convert.err;
    EXPECT_TRUE(std::filesystem::exists(dir / "notes.html"));
    EXPECT_NE(convert.err.find("libicuuc"), std::string::npos);
    EXPECT_EQ(convert.err.find("libQt6"), std::string::npos);
    EXPECT_EQ(convert.err.find("kelvane-ui.so"), std::string::npos);
}

TEST(HeadlessStart, AServingToolServerMapsNoQt) {
    const std::string maps = mapsOfServingToolServer();
    ASSERT_NE(maps.find("libicuuc"), std::string::npos) << "no map of a serving tool server";
    EXPECT_EQ(maps.find("libQt6"), std::string::npos);
    EXPECT_EQ(maps.find("kelvane-ui.so"), std::string::npos);
}

TEST(DesktopModule, AMissingModuleIsReportedAndNothingIsDrawn) {
    TempDir dir;
    std::filesystem::create_directories(dir / "modules");
    ScopedEnv modules("KELVANE_MODULE_DIR", (dir / "modules").string());
    const RunResult run = runKelvane({"--render-screenshots", (dir / "shots").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("the desktop window could not be loaded"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("kelvane-ui.so"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "shots"));
}

TEST(DesktopModule, AModuleWithoutTheEntryIsRefused) {
    // Any shared object lacking the entry stands in for a module of another build.
    TempDir dir;
    std::filesystem::create_directories(dir / "modules");
    std::filesystem::copy_file(std::filesystem::path(KV_BINARY).parent_path() / "kelvane-av.so",
                               dir / "modules" / "kelvane-ui.so");
    ScopedEnv modules("KELVANE_MODULE_DIR", (dir / "modules").string());
    const RunResult run = runKelvane({"--render-screenshots", (dir / "shots").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("does not match this program"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "shots"));
}

TEST(DesktopModule, HoldsNoSecondCopyOfTheProgramsCode) {
    // A function in both would run with its own statics in the module (a second logger, a
    // second folder-grant list) while the engine uses the executable's.
    const auto module = definedSymbols(kModule);
    const auto program = definedSymbols(KV_BINARY);
    ASSERT_TRUE(module.count("kelvane_ui_module")) << "nm found no symbols in " << kModule;
    ASSERT_TRUE(program.count("main"));
    std::string both;
    for (const auto& name : module)
        if (program.count(name) && name.starts_with("_Z") && name.find("2kv") != std::string::npos)
            both += name + "\n";
    EXPECT_EQ(both, "");
}

} // namespace
} // namespace kv::test
