// The window over the real state and engine, driven the way a person drives it.
#include "app/ui/compress_sheet.h"
#include "app/ui/log_panel.h"
#include "app/ui/queue_model.h"
#include "app/ui/queue_roles.h"
#include "support/background_process.h"
#include "window_fixture.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QLineEdit>
#include <QListView>
#include <QLocalSocket>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <gtest/gtest.h>
#include <unistd.h>

namespace kv::test {
namespace {

QMimeData* fileUrls(const std::vector<std::filesystem::path>& files) {
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const auto& file : files)
        urls << QUrl::fromLocalFile(QString::fromStdString(file.string()));
    urls << QUrl("https://example.com/not-a-local-file.png"); // never added
    mime->setUrls(urls);
    return mime;
}

std::vector<std::filesystem::path> filesUnder(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        found.push_back(entry.path());
    return found;
}

TEST(Window, StartsWithSeededFilesInArgumentOrder) {
    TempDir dir;
    writePicture(dir / "first.png");
    writeFile(dir / "second.csv", "a,b\n1,2\n");
    ScopedEnv config("XDG_CONFIG_HOME", (dir / "config").string());
    ScopedEnv probe("KELVANE_REPORT_FIRST_PAINT", "1");
    const auto run = runKelvane({"--seed-files", (dir / "first.png").string(),
                                 (dir / "missing.png").string(), (dir / "second.csv").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto first = run.out.find("Added: first.png");
    const auto second = run.out.find("Added: second.csv");
    ASSERT_NE(first, std::string::npos) << run.out;
    ASSERT_NE(second, std::string::npos) << run.out;
    EXPECT_LT(first, second);
    EXPECT_EQ(run.out.find("missing.png"), std::string::npos) << "a missing path is skipped";
    EXPECT_NE(run.err.find("first-paint-monotonic-ms"), std::string::npos) << run.err;
}

TEST(Window, ASecondStartHandsItsFilesToTheRunningWindow) {
    TempDir dir;
    writeFile(dir / "later.csv", "a,b\n1,2\n");
    const std::string config = "XDG_CONFIG_HOME=" + (dir / "config").string();
    BackgroundKelvane first({}, {config});
    // The window listens once it is up; before that a second start would open its own window.
    const QString name = QStringLiteral("kelvane-desktop-%1").arg(::getuid());
    ASSERT_TRUE(waitFor(
        [&] {
            QLocalSocket probe;
            probe.connectToServer(name);
            return probe.waitForConnected(200);
        },
        30000))
        << first.standardError();
    const auto second = runKelvane({"--seed-files", (dir / "later.csv").string()});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_TRUE(waitFor(
        [&] { return first.standardOutput().find("Added: later.csv") != std::string::npos; },
        10000))
        << first.standardOutput();
    EXPECT_TRUE(first.running()) << "the first window stays open";
}

TEST(Window, WithoutADisplaySaysSoAndExitsTwo) {
    ScopedEnv display("DISPLAY", std::nullopt);
    ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"--seed-files", "/tmp"}}) {
        const auto run = runKelvane(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.err.find("no display"), std::string::npos) << run.err;
    }
    // A headless mode still works without a display.
    EXPECT_EQ(runKelvane({"--version"}).exitCode, 0);
}

TEST(Window, ConvertButtonTurnsARowIntoAFileOnDisk) {
    WindowHarness h;
    writePicture(h.dir / "photo.png");
    h.state->addFiles({h.dir / "photo.png"});
    ui::QueueModel* model = h.window->queueModel();
    ASSERT_EQ(model->rowCount(), 1);
    const Uuid id = h.state->jobs().front().id;
    h.state->setTargetFormat(SupportedFormat::jpeg, id);
    QToolButton* convert = h.window->convertButton();
    ASSERT_TRUE(convert->isEnabled());

    QTest::mouseClick(convert, Qt::LeftButton);
    ASSERT_TRUE(waitFor(
        [&] {
            return model->index(0).data(ui::StatusRole).toInt() ==
                   static_cast<int>(ConversionStatus::completed);
        },
        60000))
        << model->index(0).data(ui::ErrorRole).toString().toStdString();
    const ConversionJob* job = h.state->job(id);
    ASSERT_TRUE(job && job->outputURL);
    EXPECT_EQ(job->outputURL->parent_path(), h.output);
    const std::string bytes = readFile(*job->outputURL);
    ASSERT_GT(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xD8", 2)) << "a JPEG file";
    EXPECT_FALSE(convert->isEnabled()) << "nothing is left to convert";
    EXPECT_FALSE(model->index(0).data(ui::DeltaRole).toString().isEmpty());
}

TEST(Window, DroppingThreeFilesAddsThreeRows) {
    WindowHarness h;
    writePicture(h.dir / "a.png");
    writeFile(h.dir / "b.csv", "x,y\n1,2\n");
    writeFile(h.dir / "c.md", "# Title\n\ntext\n");
    const std::vector<std::filesystem::path> files{h.dir / "a.png", h.dir / "b.csv",
                                                   h.dir / "c.md"};
    std::unique_ptr<QMimeData> mime(fileUrls(files));
    const QPoint centre = h.window->rect().center();

    QDragEnterEvent enter(centre, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(h.window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_TRUE(h.state->isDragTargeted());

    QDropEvent drop(centre, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(h.window.get(), &drop);
    EXPECT_FALSE(h.state->isDragTargeted());
    ui::QueueModel* model = h.window->queueModel();
    ASSERT_EQ(model->rowCount(), 3);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(model->index(row).data(ui::NameRole).toString().toStdString(),
                  files[static_cast<std::size_t>(row)].filename().string());

    // The same drop again adds nothing: the files are already queued.
    QDropEvent again(centre, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(h.window.get(), &again);
    EXPECT_EQ(model->rowCount(), 3);
}

TEST(Window, CompressSheetMeasuresTheLevelsOfAPhotoThenCompresses) {
    WindowHarness h;
    writePhoto(h.dir / "photo.jpg");
    h.state->addFiles({h.dir / "photo.jpg"});
    const Uuid id = h.state->jobs().front().id;
    ui::CompressSheet* sheet = h.window->openCompressSheet(id, false);
    EXPECT_TRUE(sheet->isMeasuring());
    EXPECT_TRUE(h.state->compressingJob().has_value());
    ASSERT_TRUE(waitFor([&] { return !sheet->isMeasuring(); }, 180000));
    EXPECT_GE(sheet->levelCount(), 3) << "a textured photo saves at several levels";

    QList<QPushButton*> levels;
    for (QPushButton* button : sheet->findChildren<QPushButton*>())
        if (button->accessibleName().startsWith("Compress at"))
            levels << button;
    ASSERT_EQ(levels.size(), sheet->levelCount());
    QTest::mouseClick(levels.back(), Qt::LeftButton);
    ASSERT_TRUE(waitFor(
        [&] {
            const ConversionJob* job = h.state->job(id);
            return job && job->status != ConversionStatus::converting &&
                   job->status != ConversionStatus::pending;
        },
        120000));
    const ConversionJob* job = h.state->job(id);
    ASSERT_EQ(job->status, ConversionStatus::completed) << job->errorMessage.value_or("");
    EXPECT_LT(std::filesystem::file_size(*job->outputURL),
              std::filesystem::file_size(h.dir / "photo.jpg"));
    EXPECT_TRUE(std::filesystem::exists(h.dir / "photo.jpg")) << "the source stays";
}

TEST(Window, StopCancelsALongVideoAndLeavesNoFile) {
    if (!haveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg makes the video fixture";
    WindowHarness h;
    const auto video = h.dir / "long.avi";
    const auto made =
        runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
                    "-t", "40", "-c:v", "mpeg4", "-q:v", "6", video.string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    h.state->addFiles({video});
    ASSERT_EQ(h.state->jobs().size(), 1u);
    const Uuid id = h.state->jobs().front().id;
    h.state->setTargetFormat(SupportedFormat::mp4, id);
    QTest::mouseClick(h.window->convertButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor(
        [&] {
            const ConversionJob* job = h.state->job(id);
            return job && job->status == ConversionStatus::converting && job->progress > 0.01;
        },
        60000));
    QToolButton* stop = h.window->stopButton();
    ASSERT_TRUE(stop->isEnabled());
    QTest::mouseClick(stop, Qt::LeftButton);
    ASSERT_TRUE(h.state->waitUntilIdle(60000));
    const ConversionJob* job = h.state->job(id);
    EXPECT_EQ(job->status, ConversionStatus::pending) << "a stopped row can run again";
    EXPECT_FALSE(job->outputURL.has_value());
    EXPECT_TRUE(filesUnder(h.output).empty()) << "no partial output";
    EXPECT_FALSE(stop->isEnabled());
}

TEST(Window, LogPanelFollowsShortcutFiltersAndSearch) {
    WindowHarness h;
    ui::LogPanel* panel = h.window->logPanel();
    EXPECT_TRUE(panel->isHidden());
    QTest::keyClick(h.window.get(), Qt::Key_L, Qt::ControlModifier);
    EXPECT_TRUE(h.state->showLogPanel());
    EXPECT_FALSE(panel->isHidden());

    h.state->clearLog();
    auto& log = ConversionLogger::shared();
    log.error("Could not read PNG header", "Image", "a.png");
    log.warning("Skipping duplicate: b.csv", "Files");
    log.info("Added: c.md (Markdown)", "Files");
    log.error("Disk full", "Engine");
    waitFor([] { return false; }, 50);
    panel->refresh();
    EXPECT_EQ(panel->visibleCount(), 4);

    QPushButton* errors = nullptr;
    for (QPushButton* button : panel->findChildren<QPushButton*>())
        if (button->text() == "Errors")
            errors = button;
    ASSERT_NE(errors, nullptr);
    QTest::mouseClick(errors, Qt::LeftButton);
    EXPECT_EQ(panel->visibleCount(), 2);
    auto* search = panel->findChild<QLineEdit*>();
    ASSERT_NE(search, nullptr);
    QTest::keyClicks(search, "png");
    EXPECT_EQ(panel->visibleCount(), 1) << "only the error that mentions png";

    QTest::keyClick(h.window.get(), Qt::Key_L, Qt::ControlModifier);
    EXPECT_TRUE(panel->isHidden());
}

TEST(Window, SelectAllAndDeleteEmptyTheQueue) {
    WindowHarness h;
    writeFile(h.dir / "a.csv", "x\n1\n");
    writeFile(h.dir / "b.csv", "x\n2\n");
    h.state->addFiles({h.dir / "a.csv", h.dir / "b.csv"});
    QListView* queue = h.window->queueView();
    QTest::keyClick(h.window.get(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(h.state->selection().size(), 2u);
    EXPECT_EQ(queue->selectionModel()->selectedRows().size(), 2);
    QTest::keyClick(h.window.get(), Qt::Key_Delete);
    EXPECT_TRUE(h.state->jobs().empty());
    EXPECT_EQ(h.window->queueModel()->rowCount(), 0);
}

double meanLightness(const QImage& image) {
    double sum = 0;
    int count = 0;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7, ++count)
            sum += QColor(image.pixel(x, y)).lightnessF();
    return count ? sum / count : 0;
}

TEST(Window, RendersScreenshotsOfEveryView) {
    const auto dir = std::filesystem::path(KV_BINARY).parent_path() / "screenshots";
    std::filesystem::remove_all(dir);
    TempDir home;
    ScopedEnv config("XDG_CONFIG_HOME", (home / "config").string());
    const auto run = runKelvane({"--render-screenshots", dir.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::map<std::string, QImage> shots;
    for (const char* name : {"main-light.png", "main-dark.png", "compress-sheet.png",
                             "log-panel.png", "settings.png"}) {
        QImage image(QString::fromStdString((dir / name).string()));
        ASSERT_FALSE(image.isNull()) << name;
        EXPECT_GE(image.width(), 400) << name;
        shots[name] = image;
    }
    EXPECT_GT(meanLightness(shots["main-light.png"]), 0.7);
    EXPECT_LT(meanLightness(shots["main-dark.png"]), 0.3);
    EXPECT_FALSE(std::filesystem::exists(home / "config" / "kelvane" / "settings.json"))
        << "the screenshots never touch the user's settings";
}

} // namespace
} // namespace kv::test
