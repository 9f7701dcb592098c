// JSON tables: any text either fails with the documented error or gives a table whose JSON
// output is itself valid JSON.
#include "data/json_parser.h"
#include "data/json_table.h"
#include "engine/conversion_error.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kv::DataConverter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)orderedKeysOfFirstObject(text);
    (void)stringify(text);
    try {
        JSONReadReport report;
        const Table table = rowsFromJSON(text, &report);
        const std::string json = writeJSON(table);
        JSONIgnore ignore;
        JSONParser parser(json, ignore);
        if (!parser.parseDocument())
            std::abort();
    } catch (const kv::ConversionError& error) {
        if (error.kind() != kv::ConversionError::Kind::corruptFile)
            std::abort();
    }
    return 0;
}
