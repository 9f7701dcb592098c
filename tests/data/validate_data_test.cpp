// The validator's table and subtitle checks, with their messages verbatim.
#include "support/test_support.h"
#include "validate/validator.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using F = SupportedFormat;

ValidationStatus check(std::string_view bytes, F target) {
    test::TempDir dir;
    const auto file = dir / ("out." + std::string(fileExtension(target)));
    test::writeFile(file, bytes);
    return Validator::validate(file, target);
}

TEST(ValidateData, Messages) {
    const auto failed = [](const char* reason) { return ValidationStatus::failed(reason); };
    const std::vector<std::tuple<std::string, F, ValidationStatus>> cases{
        {"a,b\n1,2\n\"3\n\",4\n", F::csv, ValidationStatus::passed()},
        {"a\tb\n1\t2\n", F::tsv, ValidationStatus::passed()},
        {"a,b,c,d,e\n1,2,3,4,5\n1,2,3,4,5,6\n", F::csv,
         failed("Row 3 has 6 columns, header has 5")},
        {"a,b,c,d,e\n", F::csv, failed("Expected a header plus at least one row, got 1")},
        {"a,b\n1\xFF,2\n", F::csv, failed("Delimited file not readable as UTF-8")},
        {"a,b\n1,2\n", F::tsv, ValidationStatus::passed()}, // one column each
        {"[\n  {\n    \"a\": 1\n  }\n]\n", F::json, ValidationStatus::passed()},
        {"[]", F::json, failed("JSON array is empty")},
        {"{\"a\":[1]}", F::json, failed("JSON root is not an array")},
        {"[1,]", F::json, failed("Output is not valid JSON")},
        {"7", F::json, failed("Output is not valid JSON")},
        {"[\"\xC3\x28\"]", F::json, failed("Output is not valid JSON")},
        {std::string(5000, '[') + std::string(5000, ']'), F::json,
         failed("Output is not valid JSON")},
        {"1\n00:00:01,000 --> 00:00:02,000\nhi\n", F::srt, ValidationStatus::passed()},
        {"1\n00:00:00,000 --> 00:00:02,000\nhi\n", F::srt, ValidationStatus::passed()},
        {"1\n00:00:00,000 --> 00:00:01,000\na\n\n2\n00:00:00,000 --> 00:00:02,000\nb\n\n3\n0:0:0 "
         "--> 1\nc\n",
         F::srt, failed("Every cue starts at 00:00 \u2014 timings were lost")},
        {"1\n00:00:01,000 --> 00:00:02,000\na\n\n2\n00:00:03,000 --> 00:00:02,500\nb\n", F::srt,
         failed("Cue 2 ends before it starts")},
        {"no cues at all\n", F::srt, failed("No cues parsed back from output")},
        {"00:00:01.000 --> 00:00:02.000\nhi\n", F::vtt,
         failed("WebVTT file must begin with the WEBVTT signature")},
        {"WEBVTT\n\n00:01.000 --> 00:02.000\nhi\n", F::vtt, ValidationStatus::passed()},
        {"WEBVTT\n\n\xFF\n", F::vtt, failed("Subtitle file not readable as UTF-8")},
    };
    for (const auto& [bytes, target, expected] : cases) {
        EXPECT_EQ(check(bytes, target), expected) << bytes.substr(0, 40);
    }
}

} // namespace
} // namespace kv
