// Per-user desktop integration: the "kelvane" URL handler, file-manager actions that open such
// URLs, and the D-Bus activation file of the automation service.
#include "frontends/automation/desktop_integration.h"

#include "frontends/automation/automation_service.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace kv::DesktopIntegration {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUrlHandler = "kelvane-url-handler.desktop";
constexpr std::string_view kMarker = "kelvane-"; // prefix of every action id and file we own

// One file-manager action: opens "kelvane://<host>?src=<file>&<query>" for each selected file.
struct Action {
    std::string_view id;
    std::string_view label;
    std::string_view host;
    std::string_view query;
    std::string_view mimeTypes;  // freedesktop form, ";"-terminated
    std::string_view thunarKind; // Thunar's file-kind element
};

constexpr std::array<Action, 5> kActions{{
    {"convert-jpeg", "Convert to JPEG", "convert", "fmt=jpeg", "image/*;", "image-files"},
    {"convert-png", "Convert to PNG", "convert", "fmt=png", "image/*;", "image-files"},
    {"convert-mp4", "Convert to MP4", "convert", "fmt=mp4", "video/*;", "video-files"},
    {"convert-m4a", "Convert to M4A", "convert", "fmt=m4a", "audio/*;", "audio-files"},
    {"compress", "Compress (Balanced)", "compress", "level=balanced", "image/*;video/*;audio/*;",
     "image-files/><video-files/><audio-files"},
}};

fs::path fromEnvironment(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value != nullptr && *value == '/')
        return value;
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "/tmp") / fallbackUnderHome;
}

// Double quotes for desktop-entry Exec keys (which also unescape backslashes once).
std::string execQuoted(const fs::path& path) {
    std::string out = "\"";
    for (const char c : path.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            out += "\\\\";
        out += c;
    }
    return out + "\"";
}

std::string shellQuoted(const fs::path& path) {
    std::string out = "'";
    for (const char c : path.string()) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string xmlEscaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& file, const std::string& text, bool executable,
               std::vector<fs::path>& written) {
    fs::create_directories(file.parent_path());
    const auto temporary = fs::path(file).concat(".kelvane-new");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out)
            throw fs::filesystem_error("Cannot write", temporary,
                                       std::make_error_code(std::errc::io_error));
    }
    fs::permissions(temporary, executable ? fs::perms(0755) : fs::perms(0644));
    fs::rename(temporary, file);
    written.push_back(file);
}

fs::path helperPath(const Locations& where) {
    return where.dataHome / "kelvane" / "kelvane-open-url";
}

std::string helperScript(const Locations& where) {
    return "#!/bin/sh\n"
           "# Opens kelvane://HOST?src=FILE&QUERY for every FILE; started by file-manager "
           "actions.\n"
           "# usage: kelvane-open-url HOST QUERY FILE...\n"
           "exe=" +
           shellQuoted(where.executable) +
           "\n"
           "host=\"$1\"; query=\"$2\"; shift 2\n"
           "for f in \"$@\"; do\n"
           "    case \"$f\" in\n"
           "    /*) ;;\n"
           "    *) f=\"$PWD/$f\" ;;\n"
           "    esac\n"
           "    src=$(printf '%s' \"$f\" | od -An -v -tx1 | tr -d ' \\n' | sed 's/../%&/g')\n"
           "    \"$exe\" \"kelvane://$host?src=$src&$query\" >/dev/null 2>&1 &\n"
           "done\n";
}

std::string actionCommand(const Locations& where, const Action& action, std::string_view files) {
    return execQuoted(helperPath(where)) + " " + std::string(action.host) + " " +
           std::string(action.query) + " " + std::string(files);
}

// The lines of an INI file with `key` set (or removed, when `value` is empty) in `section`.
std::string withIniKey(const std::string& text, std::string_view section, std::string_view key,
                       std::string_view value) {
    std::istringstream in(text);
    std::string line, out, current;
    bool sectionSeen = false, keyDone = value.empty();
    const auto flush = [&] {
        if (current == section && !keyDone) {
            out += std::string(key) + "=" + std::string(value) + "\n";
            keyDone = true;
        }
    };
    while (std::getline(in, line)) {
        if (line.starts_with("[")) {
            flush();
            current = line.substr(1, line.find(']') - 1);
            if (current == section)
                sectionSeen = true;
        } else if (current == section && line.starts_with(std::string(key) + "=")) {
            continue; // replaced below, or removed
        }
        out += line + "\n";
    }
    flush();
    if (!sectionSeen && !value.empty())
        out +=
            "[" + std::string(section) + "]\n" + std::string(key) + "=" + std::string(value) + "\n";
    return out;
}

// Thunar's uca.xml without our actions (each <action> … </action> whose unique-id starts with
// the marker).
std::string withoutOurThunarActions(std::string text) {
    for (std::size_t from = 0;;) {
        const auto start = text.find("<action>", from);
        if (start == std::string::npos)
            break;
        const auto end = text.find("</action>", start);
        if (end == std::string::npos)
            break;
        const auto stop = end + std::string_view("</action>").size();
        const std::string block = text.substr(start, stop - start);
        if (block.find("<unique-id>" + std::string(kMarker)) != std::string::npos) {
            auto eraseTo = stop;
            while (eraseTo < text.size() &&
                   (text[eraseTo] == '\n' || text[eraseTo] == ' ' || text[eraseTo] == '\t'))
                ++eraseTo;
            text.erase(start, eraseTo - start);
            from = start;
        } else {
            from = stop;
        }
    }
    return text;
}

struct Files {
    fs::path appDesktop, urlDesktop, mimeapps, dbusService, helper, nautilusFolder, thunar;
    std::vector<fs::path> nemo, dolphin;
};

Files filesOf(const Locations& where) {
    Files f;
    f.appDesktop = where.dataHome / "applications" / "kelvane.desktop";
    f.urlDesktop = where.dataHome / "applications" / kUrlHandler;
    f.mimeapps = where.configHome / "mimeapps.list";
    f.dbusService = where.dataHome / "dbus-1" / "services" /
                    (std::string(AutomationService::kBusName) + ".service");
    f.helper = helperPath(where);
    f.nautilusFolder = where.dataHome / "nautilus" / "scripts" / "Kelvane";
    f.thunar = where.configHome / "Thunar" / "uca.xml";
    for (const auto& action : kActions) {
        const std::string name = std::string(kMarker) + std::string(action.id);
        f.nemo.push_back(where.dataHome / "nemo" / "actions" / (name + ".nemo_action"));
        f.dolphin.push_back(where.dataHome / "kio" / "servicemenus" / (name + ".desktop"));
    }
    return f;
}

} // namespace

Locations Locations::current() {
    std::error_code error;
    auto exe = fs::read_symlink("/proc/self/exe", error);
    if (error)
        exe = "kelvane";
    return {fromEnvironment("XDG_DATA_HOME", ".local/share"),
            fromEnvironment("XDG_CONFIG_HOME", ".config"), exe};
}

std::vector<fs::path> install(const Locations& where) {
    const Files f = filesOf(where);
    std::vector<fs::path> written;
    const std::string exe = execQuoted(where.executable);
    writeText(
        f.appDesktop,
        "[Desktop Entry]\nType=Application\nName=Kelvane\nComment=Convert files on this computer\n"
        "Exec=" +
            exe + " --seed-files %F\nIcon=kelvane\nTerminal=false\nCategories=Utility;\n",
        false, written);
    writeText(f.urlDesktop,
              "[Desktop Entry]\nType=Application\nName=Kelvane file-manager service\nExec=" + exe +
                  " %u\nIcon=kelvane\nTerminal=false\nNoDisplay=true\nMimeType=x-scheme-handler/"
                  "kelvane;\n",
              false, written);
    writeText(f.mimeapps,
              withIniKey(readText(f.mimeapps), "Default Applications", "x-scheme-handler/kelvane",
                         kUrlHandler),
              false, written);
    writeText(f.dbusService,
              "[D-BUS Service]\nName=" + std::string(AutomationService::kBusName) +
                  "\nExec=" + exe + " --dbus-service\n",
              false, written);
    writeText(f.helper, helperScript(where), true, written);

    std::string thunarActions;
    for (std::size_t i = 0; i < kActions.size(); ++i) {
        const Action& a = kActions[i];
        const std::string name = std::string(kMarker) + std::string(a.id);
        // Nautilus lists scripts by file name; one menu entry per label.
        writeText(f.nautilusFolder / a.label,
                  "#!/bin/sh\nexec " + shellQuoted(f.helper) + " " + std::string(a.host) + " " +
                      std::string(a.query) + " \"$@\"\n",
                  true, written);
        writeText(f.nemo[i],
                  "[Nemo Action]\nName=" + std::string(a.label) + "\nComment=Kelvane: " +
                      std::string(a.label) + "\nExec=" + actionCommand(where, a, "%F") +
                      "\nIcon-Name=kelvane\nSelection=notnone\nMimetypes=" +
                      std::string(a.mimeTypes) + "\n",
                  false, written);
        writeText(f.dolphin[i],
                  "[Desktop "
                  "Entry]\nType=Service\nServiceTypes=KonqPopupMenu/"
                  "Plugin\nX-KDE-ServiceTypes=KonqPopupMenu/"
                  "Plugin\nMimeType=" +
                      std::string(a.mimeTypes) +
                      "\nActions=run;\nX-KDE-Submenu=Kelvane\n\n"
                      "[Desktop Action run]\nName=" +
                      std::string(a.label) +
                      "\nIcon=kelvane\nExec=" + actionCommand(where, a, "%F") + "\n",
                  true, written);
        thunarActions +=
            "<action>\n\t<icon>kelvane</icon>\n\t<name>" + xmlEscaped(a.label) +
            "</name>\n\t<unique-id>" + name + "</unique-id>\n\t<command>" +
            xmlEscaped(shellQuoted(f.helper) + " " + std::string(a.host) + " " +
                       std::string(a.query) + " %F") +
            "</command>\n\t<description>Kelvane</description>\n\t<patterns>*</patterns>\n\t<" +
            std::string(a.thunarKind) + "/>\n</action>\n";
    }
    std::string uca = withoutOurThunarActions(readText(f.thunar));
    if (uca.find("</actions>") == std::string::npos)
        uca = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";
    uca.insert(uca.find("</actions>"), thunarActions);
    writeText(f.thunar, uca, false, written);
    return written;
}

std::vector<fs::path> uninstall(const Locations& where) {
    const Files f = filesOf(where);
    std::vector<fs::path> removed;
    auto drop = [&](const fs::path& file) {
        std::error_code error;
        if (fs::remove(file, error))
            removed.push_back(file);
    };
    drop(f.appDesktop);
    drop(f.urlDesktop);
    drop(f.dbusService);
    drop(f.helper);
    for (const auto& a : kActions)
        drop(f.nautilusFolder / a.label);
    std::error_code ignored;
    fs::remove(f.nautilusFolder, ignored); // only when empty
    for (const auto& file : f.nemo)
        drop(file);
    for (const auto& file : f.dolphin)
        drop(file);
    std::vector<fs::path> rewritten;
    if (fs::exists(f.mimeapps))
        writeText(f.mimeapps,
                  withIniKey(readText(f.mimeapps), "Default Applications",
                             "x-scheme-handler/kelvane", ""),
                  false, rewritten);
    if (fs::exists(f.thunar))
        writeText(f.thunar, withoutOurThunarActions(readText(f.thunar)), false, rewritten);
    return removed;
}

int runInstall() {
    try {
        for (const auto& file : install(Locations::current()))
            std::printf("%s\n", file.c_str());
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "install-desktop-integration failed: %s\n", failure.what());
        return 1;
    }
}

int runUninstall() {
    try {
        for (const auto& file : uninstall(Locations::current()))
            std::printf("%s\n", file.c_str());
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "uninstall-desktop-integration failed: %s\n", failure.what());
        return 1;
    }
}

} // namespace kv::DesktopIntegration
