// Batch notifications through a private session bus to a recording notification server.
#include "app/notification_stub.h"
#include "app/state_fixtures.h"
#include "platform/notify.h"

#include <gtest/gtest.h>
#include <thread>

namespace kv::test {
namespace {

TEST(Notifications, BatchSummaryReachesTheNotificationServer) {
    NotificationStub stub;
    if (!stub.owned())
        GTEST_SKIP() << "no private session bus (dbus-daemon missing)";
    bool active = false;
    // The real notifier: the freedesktop.org service on the session bus.
    StateHarness h(
        {.notify = [](const std::string& title,
                      const std::string& body) { DesktopNotification::send(title, body); },
         .isApplicationActive = [&] { return active; }});
    h.model->addFiles(writeTables(h.dir.path(), 2));
    writeFile(h.file("broken.json"), "[1,");
    h.model->addFiles({h.file("broken.json")});
    h.model->convertAll();
    h.settle();
    ASSERT_EQ(stub.received().size(), 1u);
    const auto got = stub.received()[0];
    EXPECT_EQ(got.appName, "Kelvane");
    EXPECT_EQ(got.summary, "Conversion finished with errors");
    EXPECT_EQ(got.body, "2 files converted \u00B7 1 failed");
    EXPECT_TRUE(h.model->notificationsRequested());

    // While Kelvane is the active application only the toast shows.
    active = true;
    h.model->clearAll();
    h.model->addFiles(writeTables(h.dir.path(), 1, "again"));
    h.model->convertAll();
    h.settle();
    EXPECT_EQ(h.model->toast()->title, "Done");
    EXPECT_EQ(stub.received().size(), 1u);

    active = false;
    h.model->clearAll();
    h.model->addFiles(writeTables(h.dir.path(), 1, "third"));
    h.model->convertAll();
    h.settle();
    ASSERT_EQ(stub.received().size(), 2u);
    EXPECT_EQ(stub.received()[1].summary, "Conversion complete");
    EXPECT_EQ(stub.received()[1].body, "1 file converted");
}

} // namespace
} // namespace kv::test
