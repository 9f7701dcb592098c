// Line icons drawn from small SVG paths in the current text colour, sharp at any scale.
#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace kv::ui {

enum class Glyph {
    add,
    convert,
    retry,
    stop,
    folder,
    log,
    settings,
    all,
    image,
    video,
    audio,
    document,
    archive,
    font,
    recent,
    stats,
    close,
    copy,
    trash,
    search,
    compress,
    check,
    warning,
    error,
    chevron,
    help,
};

/// `glyph` stroked in `color` (in `selected` on a selected row, when given).
QIcon icon(Glyph glyph, QColor color, QColor selected = {});
/// The glyph of a file category ("Image", "Video", …); `all` for anything else.
Glyph categoryGlyph(const QString& category);
/// The application's own icon (installed as "kelvane", else the bundled drawing).
QIcon appIcon();

} // namespace kv::ui
