// Colours, fonts and the application palette of the window, light and dark.
#pragma once

#include <QColor>
#include <QString>

class QApplication;

namespace kv::ui {

struct Theme {
    bool dark = false;
    QColor accent;
    QColor onAccent;   // text drawn on the accent
    QColor window;     // the window background (tinted when asked)
    QColor sidebar;    // the sidebar's panel
    QColor surface;    // rows, cards, fields
    QColor surfaceAlt; // hovered rows, pills
    QColor border;
    QColor text;
    QColor secondaryText;
    QColor success;
    QColor warning;
    QColor error;

    /// The theme for an appearance, an accent colour and an optional background tint (0…1).
    static Theme make(bool dark, QColor accent, double tint = 0.0);
};

/// True when the desktop asks applications for a dark appearance (GNOME's colour-scheme key,
/// a ":dark" GTK theme, or a dark platform palette).
bool desktopPrefersDark();

/// The accent colour of an accent name ("blue", "teal", …); `custom` for "custom".
QColor accentColor(const QString& name, QColor custom);

/// Palette and style sheet of the whole application for `theme`.
void applyTheme(QApplication& app, const Theme& theme);

/// The theme currently applied.
const Theme& currentTheme();

/// The colour of a file category's badge ("Image", "Video", …).
QColor categoryColor(const QString& category);

} // namespace kv::ui
