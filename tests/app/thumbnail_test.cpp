// Row pictures: made in the background, at list size, cached by path and modification time.
#include "app/state_fixtures.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

namespace kv::test {
namespace {

namespace fs = std::filesystem;

// Asks until the picture is there, running the event loop in between.
std::optional<Thumbnail> waitForThumbnail(ConversionViewModel& model, const Uuid& id,
                                          int* readySignals) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (*readySignals > 0)
            return model.thumbnail(id);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return std::nullopt;
}

TEST(Thumbnails, ImageAndVideoRowsGetSmallPicturesInTheBackground) {
    if (!haveTool("convert") || !haveTool("ffmpeg"))
        GTEST_SKIP() << "ImageMagick and ffmpeg make the fixtures";
    StateHarness h;
    const auto picture = writePictures(h.dir.path(), 1, "400x100")[0];
    const auto video = h.file("clip.mp4");
    const auto made = runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                  "color=c=red:size=160x120:rate=10", "-t", "1", "-pix_fmt",
                                  "yuv420p", video.string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const auto tables = writeTables(h.dir.path(), 1);
    h.model->addFiles({picture, video, tables[0]});
    ASSERT_EQ(h.model->jobs().size(), 3u);

    int ready = 0;
    std::vector<Uuid> readyIds;
    QObject::connect(h.model.get(), &ConversionViewModel::thumbnailReady, [&](const Uuid& id) {
        ++ready;
        readyIds.push_back(id);
    });

    const Uuid imageId = h.model->jobs()[0].id;
    EXPECT_FALSE(h.model->thumbnail(imageId).has_value()); // never waits for the decoder
    const auto image = waitForThumbnail(*h.model, imageId, &ready);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->width, ThumbnailCache::kPixelSize);
    EXPECT_EQ(image->height, 18);
    EXPECT_EQ(image->rgba.size(), static_cast<std::size_t>(image->width * image->height * 4));
    EXPECT_EQ(readyIds.front(), imageId);

    ready = 0;
    const Uuid videoId = h.model->jobs()[1].id;
    EXPECT_FALSE(h.model->thumbnail(videoId).has_value());
    const auto frame = waitForThumbnail(*h.model, videoId, &ready);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, ThumbnailCache::kPixelSize);
    EXPECT_EQ(frame->height, 54);
    // The first frame is red.
    EXPECT_GT(frame->rgba[0], 200);
    EXPECT_LT(frame->rgba[1], 60);

    // Documents have no picture.
    EXPECT_FALSE(h.model->thumbnail(h.model->jobs()[2].id).has_value());

    // A changed file is a new picture: the old one is not served.
    ready = 0;
    const auto redrawn = runProgram({"convert", "-size", "100x400", "xc:blue", picture.string()});
    ASSERT_EQ(redrawn.exitCode, 0);
    fs::last_write_time(picture, fs::last_write_time(picture) + std::chrono::seconds(5));
    EXPECT_FALSE(h.model->thumbnail(imageId).has_value());
    const auto again = waitForThumbnail(*h.model, imageId, &ready);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->width, 18);
    EXPECT_EQ(again->height, ThumbnailCache::kPixelSize);
}

} // namespace
} // namespace kv::test
