// Mode selection at start-up and the headless command-line modes.
#include "frontends/cli/command_line.h"

#include "engine/conversion_error.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "engine/logger.h"
#include "formats/supported_format.h"
#include "frontends/automation/automation_service.h"
#include "frontends/automation/desktop_integration.h"
#include "frontends/tool_server/tool_server.h"
#include "frontends/url_service/url_forwarding.h"
#include "selftest/conversion_tester.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kv::CommandLine {
namespace {

struct Switch {
    std::string_view flag;
    Mode mode;
};

constexpr std::array<Switch, 9> kSwitches{{
    {"--test", Mode::test},
    {"--render-screenshots", Mode::renderScreenshots},
    {"--convert", Mode::convert},
    {"--estimate", Mode::estimate},
    {"--compress", Mode::compress},
    {"--mcp", Mode::mcp},
    {"--dbus-service", Mode::dbusService},
    {"--install-desktop-integration", Mode::installDesktopIntegration},
    {"--uninstall-desktop-integration", Mode::uninstallDesktopIntegration},
}};

// "kelvane:…", the scheme compared without regard to case.
bool isServiceUrl(std::string_view arg) {
    constexpr std::string_view kScheme = "kelvane:";
    if (arg.size() < kScheme.size())
        return false;
    for (std::size_t i = 0; i < kScheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(arg[i])) != kScheme[i])
            return false;
    return true;
}

std::vector<std::string> serviceUrls(const std::vector<std::string>& args) {
    std::vector<std::string> urls;
    for (const auto& arg : args)
        if (isServiceUrl(arg))
            urls.push_back(arg);
    return urls;
}

void printError(const std::string& text) {
    std::fputs(text.c_str(), stderr);
}
void printResult(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

bool hasFlag(const std::vector<std::string>& args, std::string_view flag) {
    return std::find(args.begin(), args.end(), flag) != args.end();
}

std::string allRawValues() {
    std::string list;
    for (auto format : allFormats()) {
        if (!list.empty())
            list += ' ';
        list += rawValue(format);
    }
    return list;
}

} // namespace

std::optional<std::string> operand(const std::vector<std::string>& args, std::string_view flag,
                                   std::size_t k) {
    const auto at = std::find(args.begin(), args.end(), flag);
    if (at == args.end())
        return std::nullopt;
    const auto index = static_cast<std::size_t>(at - args.begin()) + k;
    if (index >= args.size())
        return std::nullopt;
    return args[index];
}

Mode selectMode(const std::vector<std::string>& args) {
    for (const auto& s : kSwitches)
        if (hasFlag(args, s.flag))
            return s.mode;
    if (hasFlag(args, "--help") || hasFlag(args, "-h"))
        return Mode::help;
    if (hasFlag(args, "--version"))
        return Mode::version;
    if (!serviceUrls(args).empty())
        return Mode::urlService;
    return Mode::desktop;
}

int runConvert(const std::vector<std::string>& args) {
    const auto input = operand(args, "--convert", 1);
    const auto targetText = operand(args, "--convert", 2);
    const auto outputText = operand(args, "--convert", 3);
    if (!input || !targetText || !outputText) {
        printError("usage: --convert <input> <target-format> <output-dir>\n");
        return 2;
    }
    const auto target = formatFromRawValue(*targetText);
    if (!target) {
        printError("unknown format '" + *targetText + "'. valid: " + allRawValues() + "\n");
        return 2;
    }
    const std::filesystem::path outputDir(*outputText);
    try {
        std::filesystem::create_directories(outputDir);
        auto job = FileDetector::createJob(*input);
        if (!job)
            throw ConversionError::unsupportedFormat();
        job->targetFormat = *target;
        job->stripMetadata = hasFlag(args, "--strip-metadata");
        const auto output = ConversionEngine::convert(*job, outputDir, [](double) {});
        printResult(output.string() + "\n");
        return 0;
    } catch (const std::exception& failure) {
        printError(std::string("convert failed: ") + failure.what() + "\n");
        return 1;
    }
}

int run(Mode mode, const std::vector<std::string>& args) {
    // Headless modes: stdout carries results only; the log echoes to stderr.
    ConversionLogger::shared().setEcho(ConversionLogger::Echo::standardError);
    switch (mode) {
    case Mode::convert: return runConvert(args);
    case Mode::test: return ConversionTester::run();
    case Mode::estimate: return runEstimate(args);
    case Mode::compress: return runCompress(args);
    case Mode::help: printResult(helpText()); return 0;
    case Mode::version: printResult(versionText()); return 0;
    case Mode::mcp: return ToolServer::run();
    case Mode::urlService: return UrlService::run(serviceUrls(args));
    case Mode::dbusService: return AutomationService::run();
    case Mode::installDesktopIntegration: return DesktopIntegration::runInstall();
    case Mode::uninstallDesktopIntegration: return DesktopIntegration::runUninstall();
    case Mode::renderScreenshots: // main starts these two with the desktop's libraries
    case Mode::desktop: return 2;
    }
    return 2;
}

} // namespace kv::CommandLine
