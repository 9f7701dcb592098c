// The state tests' entry: a private home (settings, trash) and session bus, then a
// QCoreApplication, then every test on its main thread.
#include "app/notification_stub.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

namespace {

std::string g_root;

} // namespace

namespace kv::test {

const std::filesystem::path& privateHome() {
    static const std::filesystem::path home(g_root);
    return home;
}

} // namespace kv::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);

    // GLib reads these once, at first use: they are set before anything calls it.
    char pattern[] = "/tmp/kelvane-state-XXXXXX";
    const char* root = ::mkdtemp(pattern);
    if (root == nullptr)
        return 1;
    g_root = root;
    const auto sub = [&](const char* name) {
        const auto path = std::filesystem::path(g_root) / name;
        std::filesystem::create_directories(path);
        return path.string();
    };
    ::setenv("HOME", sub("home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", sub("config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", sub("data").c_str(), 1);
    ::setenv("XDG_DOCUMENTS_DIR", sub("documents").c_str(), 1);

    pid_t busPid = -1;
    if (kv::test::haveTool("dbus-daemon")) {
        const auto bus = kv::test::runProgram(
            {"dbus-daemon", "--session", "--print-address=1", "--print-pid=1", "--fork"});
        std::istringstream lines(bus.out);
        std::string address;
        std::getline(lines, address);
        lines >> busPid;
        if (!address.empty())
            ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    } else {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvane-test-bus", 1);
    }

    QCoreApplication app(argc, argv);
    const int status = RUN_ALL_TESTS();
    if (busPid > 0)
        ::kill(busPid, SIGTERM);
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
    return status;
}
