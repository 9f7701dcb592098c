// Colours, fonts and the application palette of the window, light and dark.
#include "app/ui/theme.h"

#include "app/ui/desktop_scheme.h"

#include <QApplication>
#include <QFont>
#include <QPalette>
#include <QStyleFactory>
#include <cstdlib>
#include <map>

namespace kv::ui {

namespace {

Theme g_current = Theme::make(false, QColor(0x2f7cf6));

QColor mix(QColor a, QColor b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

} // namespace

Theme Theme::make(bool dark, QColor accent, double tint) {
    Theme t;
    t.dark = dark;
    t.accent = accent;
    t.onAccent = accent.lightnessF() > 0.72 ? QColor(0x1d1d1f) : QColor(Qt::white);
    if (dark) {
        t.window = QColor(0x1c1d21);
        t.sidebar = QColor(0x232429);
        t.surface = QColor(0x2a2b31);
        t.surfaceAlt = QColor(0x34363d);
        t.border = QColor(0x3a3c44);
        t.text = QColor(0xeceef2);
        t.secondaryText = QColor(0x9a9ca6);
        t.success = QColor(0x3ecf8e);
        t.warning = QColor(0xf5b83d);
        t.error = QColor(0xff6b6b);
    } else {
        t.window = QColor(0xf4f5f7);
        t.sidebar = QColor(0xeaecef);
        t.surface = QColor(0xffffff);
        t.surfaceAlt = QColor(0xf0f1f4);
        t.border = QColor(0xdcdfe4);
        t.text = QColor(0x1d1e22);
        t.secondaryText = QColor(0x6b6e76);
        t.success = QColor(0x1f9d57);
        t.warning = QColor(0xc77c02);
        t.error = QColor(0xd93036);
    }
    if (tint > 0) {
        const double strength = std::min(tint, 1.0) * 0.12;
        t.window = mix(t.window, accent, strength);
        t.sidebar = mix(t.sidebar, accent, strength);
    }
    return t;
}

bool desktopPrefersDark() {
    if (const char* gtk = std::getenv("GTK_THEME"); gtk != nullptr)
        if (std::string_view(gtk).find(":dark") != std::string_view::npos)
            return true;
    if (gnomePrefersDark())
        return true;
    // KDE and others publish a dark palette to the platform theme.
    const QPalette platform = QGuiApplication::palette();
    return platform.color(QPalette::Window).lightnessF() < 0.4;
}

QColor accentColor(const QString& name, QColor custom) {
    static const std::map<QString, QColor> kAccents{
        {"paper", QColor(0x8c7b62)},  {"silver", QColor(0x8e9199)}, {"graphite", QColor(0x5d6068)},
        {"slate", QColor(0x55708c)},  {"blue", QColor(0x2f7cf6)},   {"indigo", QColor(0x5b5bd6)},
        {"purple", QColor(0x9550d9)}, {"pink", QColor(0xe0508f)},   {"red", QColor(0xe5484d)},
        {"orange", QColor(0xe8830c)}, {"green", QColor(0x2f9e5b)},  {"teal", QColor(0x12a594)},
    };
    if (name == "custom")
        return custom;
    const auto found = kAccents.find(name);
    return found == kAccents.end() ? QColor(0x8c7b62) : found->second;
}

QColor categoryColor(const QString& category) {
    static const std::map<QString, QColor> kColors{
        {"Image", QColor(0x2f9e8f)},    {"Video", QColor(0xd9534f)},   {"Audio", QColor(0x9550d9)},
        {"Document", QColor(0x2f7cf6)}, {"Archive", QColor(0xc98a16)}, {"Font", QColor(0x5d6068)},
    };
    const auto found = kColors.find(category);
    return found == kColors.end() ? QColor(0x8e9199) : found->second;
}

const Theme& currentTheme() {
    return g_current;
}

void applyTheme(QApplication& app, const Theme& t) {
    g_current = t;
    if (QStyle* fusion = QStyleFactory::create("Fusion"))
        app.setStyle(fusion);
    QPalette p;
    p.setColor(QPalette::Window, t.window);
    p.setColor(QPalette::WindowText, t.text);
    p.setColor(QPalette::Base, t.surface);
    p.setColor(QPalette::AlternateBase, t.surfaceAlt);
    p.setColor(QPalette::Text, t.text);
    p.setColor(QPalette::Button, t.surface);
    p.setColor(QPalette::ButtonText, t.text);
    p.setColor(QPalette::Highlight, t.accent);
    p.setColor(QPalette::HighlightedText, t.onAccent);
    p.setColor(QPalette::ToolTipBase, t.surface);
    p.setColor(QPalette::ToolTipText, t.text);
    p.setColor(QPalette::PlaceholderText, t.secondaryText);
    p.setColor(QPalette::Mid, t.border);
    p.setColor(QPalette::Dark, t.border.darker(120));
    p.setColor(QPalette::Light, t.surface);
    p.setColor(QPalette::Midlight, t.surfaceAlt);
    p.setColor(QPalette::Link, t.accent);
    p.setColor(QPalette::Disabled, QPalette::Text, t.secondaryText);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, t.secondaryText);
    p.setColor(QPalette::Disabled, QPalette::WindowText, t.secondaryText);
    app.setPalette(p);

    QFont font = app.font();
    font.setPointSizeF(10.0);
    app.setFont(font);

    const QString css = QStringLiteral(R"(
QToolTip { color: %1; background: %2; border: 1px solid %3; padding: 4px 6px; border-radius: 6px; }
QToolBar { background: %4; border: none; border-bottom: 1px solid %3; padding: 6px 10px; spacing: 4px; }
QToolBar QToolButton { color: %1; border: 1px solid transparent; border-radius: 7px; padding: 5px 9px; }
QToolBar QToolButton:hover { background: %5; }
QToolBar QToolButton:pressed { background: %3; }
QToolBar QToolButton:disabled { color: %6; }
QToolButton#primaryAction { background: %7; color: %8; font-weight: 600; }
QToolButton#primaryAction:hover { background: %9; }
QToolButton#primaryAction:disabled { background: %5; color: %6; }
QLineEdit { background: %2; border: 1px solid %3; border-radius: 7px; padding: 5px 8px; color: %1; selection-background-color: %7; }
QLineEdit:focus { border: 1px solid %7; }
QComboBox { background: %2; border: 1px solid %3; border-radius: 7px; padding: 4px 8px; color: %1; min-height: 20px; }
QComboBox:focus { border: 1px solid %7; }
QComboBox::drop-down { border: none; width: 22px; }
QComboBox::down-arrow { image: url(:/kelvane/ui/chevron-down.svg); width: 12px; height: 12px; }
QSpinBox { background: %2; border: 1px solid %3; border-radius: 7px; padding: 4px 8px; color: %1; min-height: 20px; }
QSpinBox:focus { border: 1px solid %7; }
QSpinBox::up-button, QSpinBox::down-button { border: none; width: 18px; background: transparent; }
QSpinBox::up-arrow { image: url(:/kelvane/ui/chevron-up.svg); width: 10px; height: 10px; }
QSpinBox::down-arrow { image: url(:/kelvane/ui/chevron-down.svg); width: 10px; height: 10px; }
QCheckBox::indicator { width: 16px; height: 16px; border-radius: 4px; border: 1px solid %3; background: %2; }
QCheckBox::indicator:checked { background: %7; border-color: %7; image: url(:/kelvane/ui/check.svg); }
QComboBox QAbstractItemView { background: %2; border: 1px solid %3; selection-background-color: %7; selection-color: %8; outline: none; }
QPushButton { background: %2; border: 1px solid %3; border-radius: 7px; padding: 6px 14px; color: %1; }
QPushButton:hover { background: %5; }
QPushButton#primary { background: %7; color: %8; border: 1px solid %7; font-weight: 600; }
QPushButton:disabled { color: %6; }
QPushButton[filter="true"] { border-radius: 11px; padding: 3px 12px; }
QPushButton[filter="true"]:checked { background: %7; color: %8; border-color: %7; }
QMenu { background: %2; border: 1px solid %3; border-radius: 8px; padding: 5px; color: %1; }
QMenu::item { padding: 5px 22px 5px 12px; border-radius: 5px; }
QMenu::item:selected { background: %7; color: %8; }
QMenu::item:disabled { color: %6; }
QMenu::separator { height: 1px; background: %3; margin: 4px 8px; }
QMenuBar { background: %4; color: %1; }
QMenuBar::item { padding: 4px 10px; background: transparent; border-radius: 5px; }
QMenuBar::item:selected { background: %5; }
QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }
QScrollBar::handle:vertical { background: %3; border-radius: 3px; min-height: 32px; }
QScrollBar::handle:vertical:hover { background: %6; }
QScrollBar::add-line, QScrollBar::sub-line { height: 0; width: 0; }
QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }
QSlider::groove:horizontal { height: 4px; background: %3; border-radius: 2px; }
QSlider::sub-page:horizontal { background: %7; border-radius: 2px; }
QSlider::handle:horizontal { background: %2; border: 1px solid %3; width: 16px; height: 16px; margin: -7px 0; border-radius: 8px; }
QCheckBox { color: %1; spacing: 8px; }
QStatusBar { background: %4; color: %6; border-top: 1px solid %3; }
QStatusBar QLabel { color: %6; padding: 0 6px; }
QSplitter::handle { background: %3; }
QTabWidget::pane { border: none; }
QTabBar::tab { background: transparent; color: %6; padding: 6px 14px; border-radius: 7px; margin: 2px; }
QTabBar::tab:selected { background: %5; color: %1; }
QListView, QListWidget { outline: none; }
)")
                            .arg(t.text.name(), t.surface.name(), t.border.name(), t.window.name(),
                                 t.surfaceAlt.name(), t.secondaryText.name(), t.accent.name(),
                                 t.onAccent.name(), t.accent.lighter(112).name());
    app.setStyleSheet(css);
}

} // namespace kv::ui
