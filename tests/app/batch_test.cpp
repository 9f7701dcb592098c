// Batches through the real engine: limits, cancellation, summaries, trash, recents.
#include "app/notification_stub.h"
#include "app/state_fixtures.h"
#include "engine/conversion_error.h"
#include "support/pdf_fixtures.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <thread>

namespace kv::test {
namespace {

namespace fs = std::filesystem;

std::size_t filesIn(const fs::path& folder) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().front() != '.')
            ++count;
    return count;
}

TEST(Batch, PdfsRunOneAfterAnotherInQueueOrder) {
    EngineProbe probe;
    StateHarness h({.convert = probe.convert()});
    std::vector<fs::path> pdfs;
    for (int i = 0; i < 5; ++i) {
        pdfs.push_back(h.file("doc" + std::to_string(i) + ".pdf"));
        writeTextPDF(pdfs.back(), {"Page one of " + std::to_string(i), "Page two"});
    }
    h.model->addFiles(pdfs);
    for (const auto& job : h.model->jobs())
        h.model->setTargetFormat(SupportedFormat::txt, job.id);
    h.model->convertAll();
    EXPECT_TRUE(h.model->isProcessing());
    h.settle();
    EXPECT_FALSE(h.model->isProcessing());
    EXPECT_EQ(h.model->completedCount(), 5);
    EXPECT_EQ(probe.peak.load(), 1);
    EXPECT_EQ(probe.started, (std::vector<std::string>{"doc0.pdf", "doc1.pdf", "doc2.pdf",
                                                       "doc3.pdf", "doc4.pdf"}));
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->title, "Done");
    EXPECT_EQ(h.model->toast()->detail, "5 files converted");
    EXPECT_EQ(h.model->statsTotalConversions(), 5);
}

TEST(Batch, ImagesRunInParallelUpToTheImageLimit) {
    if (!haveTool("convert"))
        GTEST_SKIP() << "ImageMagick makes the pictures";
    EngineProbe probe;
    // Four cores: at most two jobs at once in total.
    StateHarness h({.convert = probe.convert(), .activeCores = 4});
    h.model->addFiles(writePictures(h.dir.path() / "in", 8, "900x700"));
    for (const auto& job : h.model->jobs())
        h.model->setTargetFormat(SupportedFormat::jpeg, job.id);
    h.model->convertAll();
    h.settle();
    EXPECT_EQ(h.model->completedCount(), 8);
    EXPECT_EQ(probe.peak.load(), 2);
    EXPECT_EQ(filesIn(h.output), 8u);
    // Statistics count every conversion and the bytes saved by the ones that came out smaller.
    std::int64_t saved = 0;
    for (const auto& job : h.model->jobs()) {
        ASSERT_TRUE(job.outputSize.has_value());
        EXPECT_EQ(*job.outputSize, static_cast<std::int64_t>(fs::file_size(*job.outputURL)));
        saved += std::max<std::int64_t>(0, job.fileSize - *job.outputSize);
    }
    EXPECT_GT(saved, 0);
    EXPECT_EQ(h.model->statsTotalConversions(), 8);
    EXPECT_EQ(h.model->statsBytesSaved(), saved);
}

TEST(Batch, FiveImagesOnEightCoresRunAtMostSixAtOnce) {
    if (!haveTool("convert"))
        GTEST_SKIP() << "ImageMagick makes the pictures";
    EngineProbe probe;
    StateHarness h({.convert = probe.convert(), .activeCores = 8});
    h.model->addFiles(writePictures(h.dir.path() / "in", 5, "900x700"));
    for (const auto& job : h.model->jobs())
        h.model->setTargetFormat(SupportedFormat::jpeg, job.id);
    h.model->convertAll();
    h.settle();
    EXPECT_EQ(h.model->completedCount(), 5);
    EXPECT_GE(probe.peak.load(), 2);
    EXPECT_LE(probe.peak.load(), 5);
}

TEST(Batch, CancelAfterThreeOfTenLeavesSevenPendingAndNoPartialOutput) {
    StateHarness h;
    h.model->addFiles(writeTables(h.dir.path(), 10));
    for (const auto& job : h.model->jobs())
        h.model->setTargetFormat(SupportedFormat::json, job.id);
    bool notified = false;
    QObject::connect(h.model.get(), &ConversionViewModel::notificationPosted,
                     [&] { notified = true; });
    const auto canceller = QObject::connect(h.model.get(), &ConversionViewModel::jobUpdated, [&] {
        if (h.model->completedCount() == 3 && h.model->isProcessing())
            h.model->cancel();
    });
    h.model->convertAll();
    h.settle();
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->kind, Toast::Kind::warning);
    EXPECT_EQ(h.model->toast()->title, "Cancelled");
    EXPECT_EQ(h.model->toast()->detail, "3 done \u00B7 7 not started");
    EXPECT_EQ(h.model->completedCount(), 3);
    EXPECT_EQ(filesIn(h.output), 3u);
    for (const auto& job : h.model->jobs())
        if (job.status != ConversionStatus::completed) {
            EXPECT_EQ(job.status, ConversionStatus::pending);
            EXPECT_EQ(job.progress, 0.0);
        }
    EXPECT_FALSE(notified);
    EXPECT_EQ(logLinesStartingWith("Conversion cancelled by user"), 1);

    // The pending ones run in the next batch.
    QObject::disconnect(canceller);
    h.model->convertAll();
    h.settle();
    EXPECT_EQ(h.model->completedCount(), 10);
}

TEST(Batch, CancelBeforeAnythingFinishedStillSaysCancelled) {
    // Conversions that run until they are told to stop.
    StateHarness h({.convert = [](const ConversionJob&, const fs::path&,
                                  std::function<void(double)>, std::stop_token stop) -> fs::path {
        while (!stop.stop_requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        throw ConversionError::cancelled();
    }});
    h.model->addFiles(writeTables(h.dir.path(), 4));
    h.model->convertAll();
    h.model->cancel();
    h.settle();
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->title, "Cancelled");
    EXPECT_EQ(h.model->toast()->detail, "0 done \u00B7 4 not started");
    EXPECT_EQ(h.model->statsTotalConversions(), 0);
}

TEST(Batch, SummariesForAllFailedAndSomeFailed) {
    std::vector<std::pair<std::string, std::string>> posted;
    StateHarness h({.notify = [](const std::string&, const std::string&) {}});
    QObject::connect(h.model.get(), &ConversionViewModel::notificationPosted,
                     [&](const QString& title, const QString& body) {
                         posted.emplace_back(title.toStdString(), body.toStdString());
                     });
    // JSON that is no table fails in the converter.
    writeFile(h.file("bad1.json"), "{\"not\": \"a table\"");
    writeFile(h.file("bad2.json"), "[1, 2,");
    h.model->addFiles({h.file("bad1.json"), h.file("bad2.json")});
    h.model->convertAll();
    h.settle();
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->kind, Toast::Kind::error);
    EXPECT_EQ(h.model->toast()->title, "Conversion failed");
    EXPECT_EQ(h.model->toast()->detail, "2 files could not be converted");
    EXPECT_EQ(h.model->failedCount(), 2);
    EXPECT_FALSE(h.model->jobs()[0].errorMessage.value_or("").empty());
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].first, "Conversion finished with errors");
    EXPECT_EQ(posted[0].second, "0 files converted \u00B7 2 failed");

    h.model->clearAll();
    h.model->addFiles(writeTables(h.dir.path(), 2));
    writeFile(h.file("bad3.json"), "nope");
    h.model->addFiles({h.file("bad3.json")});
    h.model->convertAll();
    h.settle();
    EXPECT_EQ(h.model->toast()->kind, Toast::Kind::warning);
    EXPECT_EQ(h.model->toast()->title, "Finished with errors");
    EXPECT_EQ(h.model->toast()->detail, "2 converted \u00B7 1 failed");

    // Retrying the failed one runs only it.
    writeFile(h.file("bad3.json"), "[{\"a\": 1}]");
    h.model->retryAllFailed();
    h.settle();
    EXPECT_EQ(h.model->failedCount(), 0);
    EXPECT_EQ(h.model->toast()->title, "Done");
    EXPECT_EQ(h.model->toast()->detail, "1 file converted");
}

TEST(Batch, NoOutputFolderChosenAndPanelCancelledStopsWithAToast) {
    StateHarness h({.folderPanel =
                        [](const FolderPanelRequest& request) {
                            EXPECT_EQ(request.title, "Choose Output Folder");
                            return std::optional<fs::path>();
                        }},
                   false);
    EXPECT_EQ(h.model->outputDirName(), "Choose folder\u2026");
    h.model->addFiles(writeTables(h.dir.path(), 1));
    h.model->convertAll();
    EXPECT_FALSE(h.model->isProcessing());
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->title, "Choose an output folder");
    EXPECT_EQ(h.model->jobs()[0].status, ConversionStatus::pending);
}

fs::path trashFiles() {
    return privateHome() / "data" / "Trash" / "files";
}

TEST(Batch, OriginalGoesToTheTrashOnlyAfterItsLastTarget) {
    StateHarness h;
    h.model->setKeepOriginals(false);
    const auto source = h.file("keepme.csv");
    writeFile(source, "a,b\n1,2\n");
    h.model->addFiles({source});
    const Uuid first = h.model->jobs()[0].id;
    h.model->setTargetFormat(SupportedFormat::json, first);
    h.model->duplicateJob(first);
    const Uuid second = h.model->jobs()[1].id;
    h.model->setTargetFormat(SupportedFormat::tsv, second);

    h.model->convertSingleJob(first);
    h.settle();
    ASSERT_EQ(h.model->job(first)->status, ConversionStatus::completed);
    EXPECT_TRUE(fs::exists(source)) << "trashed while a second target still needed it";

    h.model->convertSingleJob(second);
    h.settle();
    ASSERT_EQ(h.model->job(second)->status, ConversionStatus::completed);
    EXPECT_FALSE(fs::exists(source));
    EXPECT_TRUE(fs::exists(trashFiles() / "keepme.csv")) << "not in the private trash";
    EXPECT_EQ(logLinesStartingWith("Moved original to Trash: keepme.csv"), 1);
}

TEST(Batch, FailedTrashKeepsTheSourceAndSaysSo) {
    StateHarness h({.trash = [](const fs::path&) {
        throw std::runtime_error("Trash is not supported here");
    }});
    h.model->setKeepOriginals(false);
    const auto tables = writeTables(h.dir.path(), 1);
    h.model->addFiles(tables);
    h.model->convertAll();
    h.settle();
    EXPECT_TRUE(fs::exists(tables[0]));
    EXPECT_EQ(logLinesStartingWith("Could not trash original table0.csv: Trash is not supported"),
              1);
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->title, "Original kept");
    EXPECT_EQ(h.model->toast()->detail, "table0.csv couldn't be moved to the Trash");
}

TEST(Recents, CappedAtTenWithMoveToFrontAndReplay) {
    StateHarness h;
    h.model->addFiles(writeTables(h.dir.path(), 11));
    for (const auto& job : h.model->jobs())
        h.model->setTargetFormat(SupportedFormat::json, job.id);
    h.model->convertAll();
    h.settle();
    ASSERT_EQ(h.model->completedCount(), 11);
    ASSERT_EQ(h.model->recents().size(), 10u);

    // table3 again to the same target: its entry moves to the front, nothing is added.
    const Uuid again = h.model->jobs()[3].id;
    h.model->setTargetFormat(SupportedFormat::json, again);
    h.model->retryAllFailed(); // nothing failed: no batch
    EXPECT_FALSE(h.model->isProcessing());
    h.model->setTargetFormat(SupportedFormat::tsv, again);
    h.model->setTargetFormat(SupportedFormat::json, again);
    h.model->convertSingleJob(again);
    h.settle();
    ASSERT_EQ(h.model->recents().size(), 10u);
    EXPECT_EQ(fs::path(h.model->recents()[0].sourcePath).filename(), "table3.csv");
    int table3 = 0;
    for (const auto& recent : h.model->recents())
        table3 += fs::path(recent.sourcePath).filename() == "table3.csv" ? 1 : 0;
    EXPECT_EQ(table3, 1);

    // Replay adds the source with the remembered target, without converting it.
    const RecentJob recent = h.model->recents()[0];
    h.model->clearAll();
    h.model->replayRecent(recent);
    ASSERT_EQ(h.model->jobs().size(), 1u);
    EXPECT_EQ(h.model->jobs()[0].targetFormat, SupportedFormat::json);
    EXPECT_EQ(h.model->jobs()[0].status, ConversionStatus::pending);

    // A recent whose file is gone only says so.
    fs::remove(recent.sourcePath);
    h.model->replayRecent(recent);
    EXPECT_EQ(h.model->jobs().size(), 1u);
    ASSERT_TRUE(h.model->toast().has_value());
    EXPECT_EQ(h.model->toast()->title, "File not found");
    EXPECT_EQ(h.model->toast()->detail, "table3.csv has moved or been deleted");
}

TEST(Compress, QueuedPictureCompressesBesideTheOthers) {
    if (!haveTool("convert"))
        GTEST_SKIP() << "ImageMagick makes the picture";
    StateHarness h;
    const auto pictures = writePictures(h.dir.path() / "in", 1, "640x480");
    h.model->addFiles(pictures);
    const Uuid id = h.model->jobs()[0].id;
    h.model->setCompressingJob(id);
    EXPECT_TRUE(h.model->isAnyModalOpen());
    h.model->compress(id, CompressionLevel::small);
    EXPECT_FALSE(h.model->compressingJob().has_value());
    h.settle();
    const ConversionJob* job = h.model->job(id);
    ASSERT_EQ(job->status, ConversionStatus::completed) << job->errorMessage.value_or("");
    ASSERT_TRUE(job->outputURL && job->outputSize);
    EXPECT_EQ(job->outputURL->parent_path(), h.output);
    EXPECT_EQ(*job->outputSize, static_cast<std::int64_t>(fs::file_size(*job->outputURL)));
    EXPECT_TRUE(fs::exists(pictures[0]));
}

} // namespace
} // namespace kv::test

namespace kv::test {
namespace {

TEST(Batch, ReconvertingAnEditedSourceReadsTheNewFile) {
    if (!haveTool("convert") || !haveTool("identify"))
        GTEST_SKIP() << "ImageMagick makes and reads the pictures";
    StateHarness h;
    const auto source = writePictures(h.dir.path(), 1, "120x80")[0];
    h.model->addFiles({source});
    const Uuid id = h.model->jobs()[0].id;
    h.model->setTargetFormat(SupportedFormat::jpeg, id);
    h.model->convertSingleJob(id);
    h.settle();
    ASSERT_EQ(h.model->job(id)->status, ConversionStatus::completed);
    const auto first = *h.model->job(id)->outputURL;

    // The same name, redrawn at another size, in the same process.
    ASSERT_EQ(runProgram({"convert", "-size", "50x70", "xc:green", source.string()}).exitCode, 0);
    h.model->setTargetFormat(SupportedFormat::png, id);
    h.model->setTargetFormat(SupportedFormat::jpeg, id);
    h.model->convertSingleJob(id);
    h.settle();
    ASSERT_EQ(h.model->job(id)->status, ConversionStatus::completed);
    const auto second = *h.model->job(id)->outputURL;
    ASSERT_NE(first, second);
    const auto size = [](const std::filesystem::path& file) {
        return runProgram({"identify", "-format", "%wx%h", file.string()}).out;
    };
    EXPECT_EQ(size(first), "120x80");
    EXPECT_EQ(size(second), "50x70");
}

} // namespace
} // namespace kv::test

namespace kv::test {
namespace {

TEST(Batch, QuittingDuringABatchLeavesNoPartialOutput) {
    if (!haveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg makes the video";
    StateHarness h;
    ScopedTmpdir tmp(h.dir.path() / "tmp");
    const auto video = h.file("long.avi");
    const auto made =
        runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=30",
                    "-t", "30", "-c:v", "mpeg4", "-q:v", "5", video.string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    h.model->addFiles({video});
    h.model->setTargetFormat(SupportedFormat::mp4, h.model->jobs()[0].id);
    h.model->convertAll();
    // Until the transcode is under way.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (h.model->jobs()[0].progress <= 0.0 && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(h.model->jobs()[0].status, ConversionStatus::converting);
    ASSERT_LT(h.model->jobs()[0].progress, 1.0);
    h.model.reset(); // what quitting does

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(h.output))
        left.push_back(entry.path().filename().string());
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_TRUE(tmp.empty());
    EXPECT_TRUE(fs::exists(video));
}

} // namespace
} // namespace kv::test
