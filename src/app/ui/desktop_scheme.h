// The desktop's light or dark preference, read without Qt (GIO's headers clash with Qt's macros).
#pragma once

namespace kv::ui {

/// GNOME 42 and later: org.gnome.desktop.interface color-scheme is 'prefer-dark'.
bool gnomePrefersDark();

} // namespace kv::ui
