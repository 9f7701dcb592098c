// Line icons drawn from small SVG paths in the current text colour, sharp at any scale.
#include "app/ui/icons.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QSvgRenderer>

namespace kv::ui {

namespace {

// 24 × 24 drawings, stroked 1.8 wide with round ends.
const char* shape(Glyph glyph) {
    switch (glyph) {
    case Glyph::add: return R"(<path d="M12 5v14M5 12h14"/>)";
    case Glyph::convert: return R"(<path d="M4 8h13l-3.5-3.5M20 16H7l3.5 3.5"/>)";
    case Glyph::retry: return R"(<path d="M20 12a8 8 0 1 1-2.4-5.7"/><path d="M20 4v5h-5"/>)";
    case Glyph::stop: return R"(<rect x="6" y="6" width="12" height="12" rx="2.5"/>)";
    case Glyph::folder:
        return R"(<path d="M3.5 7.5a2 2 0 0 1 2-2h4l2 2.2h7a2 2 0 0 1 2 2v7.8a2 2 0 0 1-2 2h-13a2 2 0 0 1-2-2z"/>)";
    case Glyph::log:
        return R"(<rect x="4" y="4" width="16" height="16" rx="3"/><path d="M8 9h8M8 12.5h8M8 16h5"/>)";
    case Glyph::settings:
        return R"(<circle cx="12" cy="12" r="3"/><path d="M12 3v2.5M12 18.5V21M3 12h2.5M18.5 12H21M5.6 5.6l1.8 1.8M16.6 16.6l1.8 1.8M5.6 18.4l1.8-1.8M16.6 7.4l1.8-1.8"/>)";
    case Glyph::all:
        return R"(<rect x="4" y="4" width="6.5" height="6.5" rx="1.5"/><rect x="13.5" y="4" width="6.5" height="6.5" rx="1.5"/><rect x="4" y="13.5" width="6.5" height="6.5" rx="1.5"/><rect x="13.5" y="13.5" width="6.5" height="6.5" rx="1.5"/>)";
    case Glyph::image:
        return R"(<rect x="3.5" y="4.5" width="17" height="15" rx="2.5"/><circle cx="9" cy="10" r="1.6"/><path d="M4 17l5-4.5 4 3.5 3-2.5 4 3.5"/>)";
    case Glyph::video:
        return R"(<rect x="3.5" y="6" width="12" height="12" rx="2.5"/><path d="M15.5 10.5l5-3v9l-5-3"/>)";
    case Glyph::audio:
        return R"(<path d="M9 17.5V6l10-2v11.5"/><circle cx="6.8" cy="17.5" r="2.3"/><circle cx="16.8" cy="15.5" r="2.3"/>)";
    case Glyph::document:
        return R"(<path d="M6.5 3.5h7l4 4v13h-11z"/><path d="M13.5 3.5v4h4M9 12h6M9 15.5h6"/>)";
    case Glyph::archive:
        return R"(<rect x="4" y="4" width="16" height="5" rx="1.5"/><path d="M5.5 9v9.5a1.5 1.5 0 0 0 1.5 1.5h10a1.5 1.5 0 0 0 1.5-1.5V9M10 13h4"/>)";
    case Glyph::font: return R"(<path d="M5 19l6-14h2l6 14M7.6 13.5h8.8"/>)";
    case Glyph::recent: return R"(<circle cx="12" cy="12" r="8.5"/><path d="M12 7.5V12l3 2"/>)";
    case Glyph::stats: return R"(<path d="M5 19.5V12M10 19.5V6M15 19.5v-9M20 19.5V4.5"/>)";
    case Glyph::close: return R"(<path d="M6.5 6.5l11 11M17.5 6.5l-11 11"/>)";
    case Glyph::copy:
        return R"(<rect x="8.5" y="8.5" width="11" height="11" rx="2"/><path d="M15.5 8.5V6.5a2 2 0 0 0-2-2h-7a2 2 0 0 0-2 2v7a2 2 0 0 0 2 2h2"/>)";
    case Glyph::trash:
        return R"(<path d="M4.5 7h15M9.5 7V4.5h5V7M6.5 7l1 12.5h9l1-12.5M10.3 10.5v6M13.7 10.5v6"/>)";
    case Glyph::search: return R"(<circle cx="10.5" cy="10.5" r="6"/><path d="M15 15l5 5"/>)";
    case Glyph::compress: return R"(<path d="M9 4v5H4M15 4v5h5M9 20v-5H4M15 20v-5h5"/>)";
    case Glyph::check: return R"(<path d="M5 12.5l4.5 4.5L19 7.5"/>)";
    case Glyph::warning: return R"(<path d="M12 4l9 15.5H3z"/><path d="M12 10v4.5M12 17.2v.3"/>)";
    case Glyph::error: return R"(<circle cx="12" cy="12" r="8.5"/><path d="M9 9l6 6M15 9l-6 6"/>)";
    case Glyph::chevron: return R"(<path d="M8 10l4 4 4-4"/>)";
    case Glyph::help:
        return R"(<circle cx="12" cy="12" r="8.5"/><path d="M9.6 9.5a2.5 2.5 0 1 1 3.4 2.3c-.7.3-1 .8-1 1.5v.7M12 16.8v.3"/>)";
    }
    return "";
}

// Renders the drawing at whatever size and scale the widget asks for.
class SvgIconEngine final : public QIconEngine {
  public:
    SvgIconEngine(QByteArray svg, QByteArray selected)
        : m_svg(std::move(svg)), m_selected(std::move(selected)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        QSvgRenderer renderer(mode == QIcon::Selected && !m_selected.isEmpty() ? m_selected
                                                                               : m_svg);
        painter->save();
        if (mode == QIcon::Disabled)
            painter->setOpacity(0.4);
        renderer.render(painter, QRectF(rect));
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap image(size * scale);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            paint(&painter, QRect(QPoint(0, 0), size * scale), mode, state);
        }
        image.setDevicePixelRatio(scale);
        return image;
    }

    QIconEngine* clone() const override { return new SvgIconEngine(m_svg, m_selected); }

  private:
    QByteArray m_svg;
    QByteArray m_selected;
};

} // namespace

QIcon icon(Glyph glyph, QColor color, QColor selected) {
    auto drawing = [glyph](QColor stroke) {
        return QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 24 24' "
                              "fill='none' stroke='%1' stroke-width='1.8' stroke-linecap='round' "
                              "stroke-linejoin='round'>%2</svg>")
            .arg(stroke.name(), QString::fromLatin1(shape(glyph)))
            .toUtf8();
    };
    return QIcon(
        new SvgIconEngine(drawing(color), selected.isValid() ? drawing(selected) : QByteArray()));
}

Glyph categoryGlyph(const QString& category) {
    if (category == "Image")
        return Glyph::image;
    if (category == "Video")
        return Glyph::video;
    if (category == "Audio")
        return Glyph::audio;
    if (category == "Document")
        return Glyph::document;
    if (category == "Archive")
        return Glyph::archive;
    if (category == "Font")
        return Glyph::font;
    return Glyph::all;
}

QIcon appIcon() {
    QIcon themed = QIcon::fromTheme("kelvane");
    if (!themed.isNull())
        return themed;
    return QIcon(":/kelvane/kelvane.svg");
}

} // namespace kv::ui
