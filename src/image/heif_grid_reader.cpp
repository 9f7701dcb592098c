// Taking the coded picture items out of a single-image HEIF or AVIF file.
#include "image/heif_grid.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>

namespace kv::image {
namespace {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

[[noreturn]] void malformed(const char* what) {
    throw PlatformError(std::string("HEIF tile: ") + what);
}

// Big-endian reads over a view that throw instead of running off its end.
class Reader {
  public:
    explicit Reader(View data) : m_data(data) {}

    std::uint64_t number(std::size_t bytes) {
        need(bytes);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value = (value << 8) | m_data[m_position + i];
        m_position += bytes;
        return value;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(number(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(number(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(number(4)); }
    std::string fourcc() {
        need(4);
        std::string code(reinterpret_cast<const char*>(m_data.data() + m_position), 4);
        m_position += 4;
        return code;
    }
    View rest() const { return m_data.subspan(m_position); }
    void skip(std::size_t bytes) {
        need(bytes);
        m_position += bytes;
    }

  private:
    void need(std::size_t bytes) const {
        if (bytes > m_data.size() - m_position)
            malformed("box ends early");
    }
    View m_data;
    std::size_t m_position = 0;
};

struct Box {
    std::string type;
    View whole;   // header included
    View payload; // after the header
};

std::vector<Box> boxesIn(View data) {
    std::vector<Box> boxes;
    while (!data.empty()) {
        Reader reader(data);
        std::uint64_t size = reader.u32();
        Box box;
        box.type = reader.fourcc();
        std::size_t header = 8;
        if (size == 1) {
            size = reader.number(8);
            header = 16;
        } else if (size == 0) {
            size = data.size();
        }
        if (size < header || size > data.size())
            malformed("bad box size");
        box.whole = data.first(static_cast<std::size_t>(size));
        box.payload = box.whole.subspan(header);
        boxes.push_back(box);
        data = data.subspan(static_cast<std::size_t>(size));
    }
    return boxes;
}

struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};
struct Location {
    int method = 0; // 0: file offsets, 1: the meta box's idat
    std::uint64_t base = 0;
    std::vector<Extent> extents;
};

struct Meta {
    std::uint32_t primary = 0;
    std::map<std::uint32_t, std::string> itemTypes;
    std::map<std::uint32_t, Location> locations;
    std::vector<std::tuple<std::string, std::uint32_t, std::uint32_t>> references; // type, from, to
    std::vector<View> properties;                                                  // ipco, in order
    std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, bool>>> associations;
    View itemData;
};

void readItemInfo(View payload, Meta& meta) {
    Reader reader(payload);
    const std::uint8_t version = reader.u8();
    reader.skip(3);
    reader.skip(version == 0 ? 2 : 4); // entry count: the boxes that follow say it too
    for (const Box& entry : boxesIn(reader.rest())) {
        if (entry.type != "infe")
            continue;
        Reader info(entry.payload);
        const std::uint8_t infoVersion = info.u8();
        info.skip(3);
        if (infoVersion < 2)
            malformed("old item info");
        const std::uint32_t id = infoVersion == 2 ? info.u16() : info.u32();
        info.skip(2); // protection index
        meta.itemTypes[id] = info.fourcc();
    }
}

void readLocations(View payload, Meta& meta) {
    Reader reader(payload);
    const std::uint8_t version = reader.u8();
    reader.skip(3);
    if (version > 2)
        malformed("unknown iloc version");
    const std::uint8_t sizes = reader.u8();
    const std::uint8_t moreSizes = reader.u8();
    const std::size_t offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = moreSizes >> 4;
    const std::size_t indexSize = version == 0 ? 0 : (moreSizes & 15);
    const std::uint32_t count = version < 2 ? reader.u16() : reader.u32();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t id = version < 2 ? reader.u16() : reader.u32();
        Location location;
        if (version > 0)
            location.method = reader.u16() & 15;
        reader.skip(2); // data reference: this file
        location.base = reader.number(baseSize);
        const std::uint16_t extents = reader.u16();
        for (std::uint16_t e = 0; e < extents; ++e) {
            reader.skip(indexSize);
            Extent extent;
            extent.offset = reader.number(offsetSize);
            extent.length = reader.number(lengthSize);
            location.extents.push_back(extent);
        }
        meta.locations[id] = std::move(location);
    }
}

void readReferences(View payload, Meta& meta) {
    Reader reader(payload);
    const std::uint8_t version = reader.u8();
    reader.skip(3);
    for (const Box& box : boxesIn(reader.rest())) {
        Reader entry(box.payload);
        const std::uint32_t from = version == 0 ? entry.u16() : entry.u32();
        const std::uint16_t count = entry.u16();
        for (std::uint16_t i = 0; i < count; ++i)
            meta.references.emplace_back(box.type, from, version == 0 ? entry.u16() : entry.u32());
    }
}

void readProperties(View payload, Meta& meta) {
    for (const Box& box : boxesIn(payload)) {
        if (box.type == "ipco") {
            for (const Box& property : boxesIn(box.payload))
                meta.properties.push_back(property.whole);
        } else if (box.type == "ipma") {
            Reader reader(box.payload);
            const std::uint8_t version = reader.u8();
            reader.skip(2);
            const bool wideIndex = (reader.u8() & 1) != 0;
            const std::uint32_t count = reader.u32();
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::uint32_t id = version < 1 ? reader.u16() : reader.u32();
                const std::uint8_t associations = reader.u8();
                for (std::uint8_t a = 0; a < associations; ++a) {
                    const std::uint16_t value = wideIndex ? reader.u16() : reader.u8();
                    const std::uint16_t essentialBit = wideIndex ? 0x8000 : 0x80;
                    meta.associations[id].emplace_back(value & (essentialBit - 1),
                                                       (value & essentialBit) != 0);
                }
            }
        }
    }
}

HeifCodedItem itemFrom(View file, const Meta& meta, std::uint32_t id) {
    HeifCodedItem item;
    const auto type = meta.itemTypes.find(id);
    if (type == meta.itemTypes.end() || (type->second != "hvc1" && type->second != "av01"))
        malformed("the picture is not a coded image");
    item.type = type->second;
    if (const auto found = meta.associations.find(id); found != meta.associations.end()) {
        for (const auto& [index, essential] : found->second) {
            if (index == 0 || index > meta.properties.size())
                malformed("property index out of range");
            const View property = meta.properties[index - 1];
            item.properties.emplace_back(property.begin(), property.end());
            item.essential.push_back(essential);
        }
    }
    const auto location = meta.locations.find(id);
    if (location == meta.locations.end())
        malformed("picture without data");
    const View source = location->second.method == 0   ? file
                        : location->second.method == 1 ? meta.itemData
                                                       : View{};
    if (location->second.method > 1)
        malformed("unsupported data construction");
    for (const Extent& extent : location->second.extents) {
        const std::uint64_t start = location->second.base + extent.offset;
        const std::uint64_t length =
            extent.length == 0 && start <= source.size() ? source.size() - start : extent.length;
        if (start > source.size() || length > source.size() - start)
            malformed("data outside the file");
        const View piece =
            source.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(length));
        item.data.insert(item.data.end(), piece.begin(), piece.end());
    }
    if (item.data.empty())
        malformed("picture without data");
    return item;
}

bool hasProperty(const HeifCodedItem& item, std::string_view type) {
    return std::any_of(item.properties.begin(), item.properties.end(), [&](const Bytes& box) {
        return box.size() >= 8 &&
               std::string_view(reinterpret_cast<const char*>(box.data() + 4), 4) == type;
    });
}

} // namespace

namespace {

// The ftyp box and the parsed meta box of a file.
Meta readMeta(View file, Bytes& fileType) {
    Meta meta;
    bool sawMeta = false;
    for (const Box& box : boxesIn(file)) {
        if (box.type == "ftyp")
            fileType.assign(box.whole.begin(), box.whole.end());
        if (box.type != "meta")
            continue;
        sawMeta = true;
        Reader reader(box.payload);
        reader.skip(4);
        for (const Box& child : boxesIn(reader.rest())) {
            Reader content(child.payload);
            if (child.type == "pitm") {
                const std::uint8_t version = content.u8();
                content.skip(3);
                meta.primary = version == 0 ? content.u16() : content.u32();
            } else if (child.type == "iinf") {
                readItemInfo(child.payload, meta);
            } else if (child.type == "iloc") {
                readLocations(child.payload, meta);
            } else if (child.type == "iref") {
                readReferences(child.payload, meta);
            } else if (child.type == "iprp") {
                readProperties(child.payload, meta);
            } else if (child.type == "idat") {
                meta.itemData = child.payload;
            }
        }
    }
    if (fileType.empty() || !sawMeta || meta.primary == 0)
        malformed("not a HEIF file");
    return meta;
}

// The width and height an item's ispe property gives.
std::pair<std::uint32_t, std::uint32_t> itemSize(const HeifCodedItem& item) {
    for (const Bytes& box : item.properties) {
        if (box.size() >= 20 && std::memcmp(box.data() + 4, "ispe", 4) == 0) {
            Reader reader(View(box).subspan(12));
            const std::uint32_t width = reader.u32();
            return {width, reader.u32()};
        }
    }
    malformed("tile without a size");
}

} // namespace

HeifCodedImage extractHeifImage(View file) {
    HeifCodedImage image;
    const Meta meta = readMeta(file, image.fileType);
    image.colour = itemFrom(file, meta, meta.primary);
    for (const auto& [type, from, to] : meta.references) {
        if (type != "auxl" || to != meta.primary)
            continue;
        HeifCodedItem alpha = itemFrom(file, meta, from);
        if (hasProperty(alpha, "auxC"))
            image.alpha = std::move(alpha);
    }
    return image;
}

std::optional<HeifGrid> readHeifGrid(View file) {
    Bytes fileType;
    const Meta meta = readMeta(file, fileType);
    const auto type = meta.itemTypes.find(meta.primary);
    if (type == meta.itemTypes.end() || type->second != "grid")
        return std::nullopt;
    for (const auto& [kind, from, to] : meta.references)
        if (kind == "auxl" && to == meta.primary)
            return std::nullopt; // tiles with alpha: not read here

    // The grid description: version, flags (bit 0: 32-bit sizes), rows − 1, columns − 1, size.
    const auto location = meta.locations.find(meta.primary);
    if (location == meta.locations.end() || location->second.extents.size() != 1)
        malformed("grid without a description");
    const View source = location->second.method == 1 ? meta.itemData : file;
    const Extent extent = location->second.extents.front();
    const std::uint64_t start = location->second.base + extent.offset;
    if (start > source.size() || extent.length > source.size() - start)
        malformed("data outside the file");
    Reader description(
        source.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(extent.length)));
    description.skip(1);
    const bool wideSize = (description.u8() & 1) != 0;
    HeifGrid grid;
    grid.rows = description.u8() + 1U;
    grid.columns = description.u8() + 1U;
    grid.width = static_cast<std::uint32_t>(description.number(wideSize ? 4 : 2));
    grid.height = static_cast<std::uint32_t>(description.number(wideSize ? 4 : 2));

    for (const auto& [kind, from, to] : meta.references) {
        if (kind != "dimg" || from != meta.primary)
            continue;
        HeifCodedImage tile;
        tile.fileType = fileType;
        tile.colour = itemFrom(file, meta, to);
        grid.tiles.push_back(std::move(tile));
    }
    if (grid.tiles.size() != static_cast<std::size_t>(grid.rows) * grid.columns)
        malformed("grid and tile count disagree");
    const auto [tileWidth, tileHeight] = itemSize(grid.tiles.front().colour);
    grid.tileWidth = tileWidth;
    grid.tileHeight = tileHeight;
    if (std::uint64_t{tileWidth} * grid.columns < grid.width ||
        std::uint64_t{tileHeight} * grid.rows < grid.height)
        malformed("tiles do not cover the picture");
    // The grid's own ICC profile, which its tiles do not carry.
    if (const auto found = meta.associations.find(meta.primary); found != meta.associations.end()) {
        for (const auto& [index, essential] : found->second) {
            if (index == 0 || index > meta.properties.size())
                malformed("property index out of range");
            const View box = meta.properties[index - 1];
            if (box.size() >= 12 && std::memcmp(box.data() + 4, "colr", 4) == 0 &&
                std::memcmp(box.data() + 8, "prof", 4) == 0)
                grid.icc.assign(box.begin() + 12, box.end());
        }
    }
    return grid;
}

} // namespace kv::image
