// The desktop window module's entry: the addresses of its two starts.
#include "app/module/ui_module.h"
#include "app/ui/desktop_app.h"

extern "C" __attribute__((visibility("default"))) const kv::ui_module::UITable*
kelvane_ui_module() {
    static const kv::ui_module::UITable table{
        .version = kv::ui_module::kTableVersion,
        .runDesktop = &kv::ui::runDesktop,
        .renderScreenshots = &kv::ui::renderScreenshots,
    };
    return &table;
}
