// Media fixtures made with the ffmpeg command line, and ffprobe as the independent reader.
#include "media_fixtures.h"

#include <gtest/gtest.h>
#include <sstream>

namespace kv::test {

void ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"ffmpeg", "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult result = runProgram(argv);
    ASSERT_EQ(result.exitCode, 0) << result.err;
}

Probe probe(const std::filesystem::path& file) {
    const RunResult result = runProgram({"ffprobe", "-v", "error", "-show_format", "-show_streams",
                                         "-of", "flat=s=.", file.string()});
    Probe info;
    if (result.exitCode != 0)
        return info;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"')
            value = value.substr(1, value.size() - 2);
        for (const std::string prefix : {"streams.stream.", "format."})
            if (key.rfind(prefix, 0) == 0)
                key = (prefix == "format." ? "format." : "stream.") + key.substr(prefix.size());
        for (char& c : key)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        info[key] = value;
    }
    return info;
}

std::vector<double> videoPacketTimes(const std::filesystem::path& file) {
    const RunResult result =
        runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                    "packet=pts_time", "-of", "csv=p=0", file.string()});
    std::vector<double> times;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty())
            times.push_back(std::stod(line));
    std::sort(times.begin(), times.end());
    return times;
}

int streamOf(const Probe& info, const std::string& type) {
    for (int i = 0; i < 8; ++i) {
        const auto found = info.find("stream." + std::to_string(i) + ".codec_type");
        if (found == info.end())
            break;
        const auto cover = info.find("stream." + std::to_string(i) + ".disposition.attached_pic");
        if (found->second == type && (cover == info.end() || cover->second == "0"))
            return i;
    }
    return -1;
}

std::string field(const Probe& info, int stream, const std::string& key) {
    const auto found = info.find("stream." + std::to_string(stream) + "." + key);
    return found == info.end() ? std::string() : found->second;
}

std::string formatField(const Probe& info, const std::string& key) {
    const auto found = info.find("format." + key);
    return found == info.end() ? std::string() : found->second;
}

double number(const std::string& text) {
    try {
        return std::stod(text);
    } catch (...) {
        return -1;
    }
}

std::vector<std::string> entriesOf(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    return names;
}

ConvertRequest requestFor(const std::filesystem::path& source, SupportedFormat sourceFormat,
                          SupportedFormat target, const std::filesystem::path& outputDir) {
    return makeRequest(source, sourceFormat, target, outputDir);
}

} // namespace kv::test
