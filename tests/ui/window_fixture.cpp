// Fixture pictures drawn with QPainter.
#include "window_fixture.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <cmath>

namespace kv::test {

void writePhoto(const std::filesystem::path& file) {
    QImage image(1600, 1067, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, 1067);
    sky.setColorAt(0, QColor(0x2b3a67));
    sky.setColorAt(1, QColor(0xf6c28b));
    p.fillRect(image.rect(), sky);
    for (int i = 0; i < 20000; ++i) {
        p.setPen(QColor::fromHsv(i % 360, 120 + i % 100, 80 + i % 150));
        const int x = (i * 7919) % 1600;
        const int y = (i * 104729) % 1067;
        p.drawLine(x, y, x + (i % 7) - 3, y + (i % 11) - 5);
    }
    p.end();
    ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "JPEG", 95));
}

void writePicture(const std::filesystem::path& file, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 4 % 256, y * 5 % 256, (x + y) % 256));
    ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "PNG"));
}

} // namespace kv::test
