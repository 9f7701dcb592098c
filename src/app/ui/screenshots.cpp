// "--render-screenshots <dir>": the window and its sheets drawn off-screen over sample rows.
#include "app/state/conversion_view_model.h"
#include "app/ui/compress_sheet.h"
#include "app/ui/desktop_app.h"
#include "app/ui/log_panel.h"
#include "app/ui/main_window.h"
#include "engine/logger.h"
#include "frontends/in_place/folder_access.h"
#include "platform/settings_store.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace kv::ui {

namespace {

// Runs the event loop until `done` or `timeoutMs` passed.
template <typename Done> bool pump(Done done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// A landscape photo: sky, sun and hills, with enough detail for the compression levels to differ.
void writePhoto(const QString& path, const char* format = "JPEG") {
    QImage image(1600, 1067, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, 700);
    sky.setColorAt(0, QColor(0x2b3a67));
    sky.setColorAt(0.6, QColor(0xe58f65));
    sky.setColorAt(1, QColor(0xf6c28b));
    p.fillRect(image.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xffe3a3));
    p.drawEllipse(QPointF(1100, 560), 90, 90);
    for (int layer = 0; layer < 4; ++layer) {
        QPainterPath hills;
        hills.moveTo(0, 1067);
        for (int x = 0; x <= 1600; x += 40)
            hills.lineTo(x, 640 + layer * 90 + 60 * std::sin(x / (170.0 + layer * 40) + layer));
        hills.lineTo(1600, 1067);
        p.setBrush(QColor::fromHsv(150 + layer * 12, 120, 110 - layer * 22));
        p.drawPath(hills);
    }
    for (int i = 0; i < 4000; ++i) { // grass texture
        const int x = (i * 7919) % 1600;
        const int y = 860 + (i * 104729) % 200;
        p.setPen(QColor::fromHsv(100 + i % 40, 140, 60 + i % 50));
        p.drawLine(x, y, x + (i % 5) - 2, y - 8 - i % 9);
    }
    p.end();
    image.save(path, format, 92);
}

void writeReport(const QString& path) {
    QPdfWriter pdf(path);
    pdf.setTitle("Quarterly report");
    QPainter p(&pdf);
    QFont title("DejaVu Sans", 24);
    p.setFont(title);
    p.drawText(QRect(0, 0, pdf.width(), 1200), Qt::AlignCenter, "Quarterly report");
    p.end();
}

void writeWave(const QString& path) {
    constexpr int kRate = 22050;
    constexpr int kSeconds = 2;
    QByteArray data;
    for (int i = 0; i < kRate * kSeconds; ++i) {
        const auto sample = static_cast<qint16>(8000 * std::sin(i * 2 * 3.14159265 * 440 / kRate));
        data.append(static_cast<char>(sample & 0xff));
        data.append(static_cast<char>((sample >> 8) & 0xff));
    }
    QByteArray file;
    auto u32 = [&file](quint32 v) {
        for (int i = 0; i < 4; ++i)
            file.append(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    auto u16 = [&file](quint16 v) {
        file.append(static_cast<char>(v & 0xff));
        file.append(static_cast<char>(v >> 8));
    };
    file.append("RIFF");
    u32(static_cast<quint32>(36 + data.size()));
    file.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(kRate);
    u32(kRate * 2);
    u16(2);
    u16(16);
    file.append("data");
    u32(static_cast<quint32>(data.size()));
    file.append(data);
    QFile out(path);
    if (out.open(QIODevice::WriteOnly))
        out.write(file);
}

void writeText(const QString& path, const QByteArray& text) {
    QFile out(path);
    if (out.open(QIODevice::WriteOnly))
        out.write(text);
}

bool save(QWidget& widget, const std::filesystem::path& dir, const char* name) {
    const QString path = QString::fromStdString((dir / name).string());
    const bool ok = widget.grab().save(path, "PNG");
    std::fprintf(ok ? stdout : stderr, "%s%s\n", ok ? "" : "could not write ",
                 path.toLocal8Bit().constData());
    return ok;
}

} // namespace

int renderScreenshots(const std::vector<std::string>& args) {
    std::optional<std::filesystem::path> dir;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--render-screenshots") {
            dir = args[i + 1];
            break;
        }
    if (!dir) {
        std::fputs("usage: --render-screenshots <dir>\n", stderr);
        return 2;
    }
    std::error_code error;
    std::filesystem::create_directories(*dir, error);
    if (error) {
        std::fprintf(stderr, "render-screenshots: cannot create %s: %s\n", dir->c_str(),
                     error.message().c_str());
        return 1;
    }
    // Off-screen rendering needs no display; the fonts and sizes stay fixed.
    if (!hasDisplay())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_SCALE_FACTOR", "1");
    ConversionLogger::shared().setEcho(ConversionLogger::Echo::none);
    int argc = 1;
    char name[] = "kelvane";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kelvane");

    // Sample files and a private settings file, so the user's own settings stay untouched.
    QTemporaryDir work;
    const QString root = work.path();
    const QString samples = root + "/Samples";
    std::filesystem::create_directories(samples.toStdString());
    writePhoto(samples + "/Lake at dusk.jpg");
    writePhoto(samples + "/Hills panorama.png", "PNG");
    writeReport(samples + "/Quarterly report.pdf");
    writeWave(samples + "/Interview take 3.wav");
    writeText(samples + "/Release notes.md", "# Release notes\n\n- Faster\n- Smaller\n");
    writeText(samples + "/Broken photo.png", QByteArray("\x89PNG\r\n\x1a\n", 8) + "not a picture");
    writeText(samples + "/Guest list.csv", "name,table\nAda,1\nGrace,2\nLinus,3\n");

    SettingsStore settings((root + "/settings.json").toStdString());
    settings.set("Kelvane.accent", "blue");
    settings.set("Kelvane.statsTotalConversions", std::int64_t{248});
    settings.set("Kelvane.statsBytesSaved", std::int64_t{1'734'000'000});
    settings.set("Kelvane.sidebarExpandedSections",
                 std::vector<std::string>{"recents", "statistics"});
    FolderAccess grants(settings);
    ViewModelServices services;
    services.settings = &settings;
    services.notify = [](const std::string&, const std::string&) {};
    services.isApplicationActive = [] { return true; };
    ConversionViewModel state(services);
    state.setAppearanceMode(AppearanceMode::light);
    state.applyGlobalOutputDirectory((root + "/Converted").toStdString());
    std::filesystem::create_directories((root + "/Converted").toStdString());

    MainWindow window(state, grants);
    window.resize(1180, 720);
    window.show();
    std::vector<std::filesystem::path> files;
    for (const char* file :
         {"Lake at dusk.jpg", "Hills panorama.png", "Quarterly report.pdf", "Interview take 3.wav",
          "Release notes.md", "Broken photo.png", "Guest list.csv"})
        files.push_back((samples + "/" + file).toStdString());
    state.addFiles(files);

    // Two rows run for real: one finishes, one fails on its broken file.
    const auto jobs = state.jobs();
    for (const auto& job : jobs)
        if (job.fileName == "Hills panorama.png" || job.fileName == "Broken photo.png" ||
            job.fileName == "Guest list.csv")
            state.convertSingleJob(job.id);
    state.waitUntilIdle(60000);
    // Row pictures come from worker threads.
    pump([&] { return false; }, 800);
    state.dismissToast();

    bool ok = true;
    state.setAppearanceMode(AppearanceMode::light);
    pump([] { return false; }, 100);
    ok &= save(window, *dir, "main-light.png");
    state.setAppearanceMode(AppearanceMode::dark);
    pump([] { return false; }, 300);
    ok &= save(window, *dir, "main-dark.png");

    state.setAppearanceMode(AppearanceMode::light);
    pump([] { return false; }, 100);
    state.toggleLogPanel();
    pump([] { return false; }, 100);
    ok &= save(window, *dir, "log-panel.png");
    state.hideLogPanel();

    for (const auto& job : state.jobs())
        if (job.fileName == "Lake at dusk.jpg") {
            CompressSheet* sheet = window.openCompressSheet(job.id, false);
            pump([sheet] { return !sheet->isMeasuring(); }, 120000);
            pump([] { return false; }, 100);
            ok &= save(*sheet, *dir, "compress-sheet.png");
            sheet->close();
        }

    QWidget* settingsDialog = window.openSettings(false);
    pump([] { return false; }, 100);
    ok &= save(*settingsDialog, *dir, "settings.png");
    settingsDialog->close();
    return ok ? 0 : 1;
}

} // namespace kv::ui
