// Writing a grid of coded tiles as a HEIF or AVIF file, and planning the tiles.
#include "image/heif_grid.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <tuple>
#include <utility>

namespace kv::image {
namespace {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

std::string_view propertyType(const Bytes& box) {
    return std::string_view(reinterpret_cast<const char*>(box.data() + 4), 4);
}

// Appends big-endian numbers and boxes whose size is filled in when they close.
class Writer {
  public:
    void number(std::uint64_t value, std::size_t bytes) {
        for (std::size_t i = bytes; i-- > 0;)
            m_bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    void u8(std::uint64_t value) { number(value, 1); }
    void u16(std::uint64_t value) { number(value, 2); }
    void u32(std::uint64_t value) { number(value, 4); }
    void text(std::string_view value) { m_bytes.insert(m_bytes.end(), value.begin(), value.end()); }
    void bytes(View value) { m_bytes.insert(m_bytes.end(), value.begin(), value.end()); }

    std::size_t open(std::string_view type) {
        const std::size_t start = m_bytes.size();
        u32(0);
        text(type);
        return start;
    }
    std::size_t openFull(std::string_view type, std::uint8_t version, std::uint32_t flags) {
        const std::size_t start = open(type);
        u8(version);
        number(flags, 3);
        return start;
    }
    void close(std::size_t start) {
        const std::uint64_t size = m_bytes.size() - start;
        if (size > std::numeric_limits<std::uint32_t>::max())
            throw PlatformError("HEIF header too large");
        for (std::size_t i = 0; i < 4; ++i)
            m_bytes[start + i] = static_cast<std::uint8_t>(size >> (8 * (3 - i)));
    }
    const Bytes& result() const { return m_bytes; }

  private:
    Bytes m_bytes;
};

Bytes sizeBox(std::uint32_t width, std::uint32_t height) {
    Writer box;
    const std::size_t start = box.openFull("ispe", 0, 0);
    box.u32(width);
    box.u32(height);
    box.close(start);
    return box.result();
}

Bytes iccBox(View icc) {
    Writer box;
    const std::size_t start = box.open("colr");
    box.text("prof");
    box.bytes(icc);
    box.close(start);
    return box.result();
}

// Where the TIFF header starts inside an EXIF block (after an optional "Exif\0\0").
std::uint32_t tiffHeaderOffset(View exif) {
    for (std::size_t at : {std::size_t{0}, std::size_t{6}}) {
        if (exif.size() < at + 4)
            break;
        const View head = exif.subspan(at, 4);
        if ((head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0) ||
            (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 42))
            return static_cast<std::uint32_t>(at);
    }
    throw PlatformError("EXIF block without a TIFF header");
}

struct Item {
    std::uint32_t id = 0;
    std::string type;
    bool hidden = false;
    std::string contentType;                                // "mime" items only
    std::vector<View> data;                                 // concatenated into one extent
    std::vector<std::pair<std::uint32_t, bool>> properties; // ipco index (1-based), essential
    std::uint64_t offset = 0;                               // in the file, once laid out
    std::uint64_t length() const {
        std::uint64_t total = 0;
        for (const View piece : data)
            total += piece.size();
        return total;
    }
};

// The property container, each distinct box stored once (tiles mostly share theirs).
class PropertyTable {
  public:
    std::uint32_t add(View box) {
        for (std::size_t i = 0; i < m_boxes.size(); ++i)
            if (std::ranges::equal(m_boxes[i], box))
                return static_cast<std::uint32_t>(i + 1);
        if (m_boxes.size() >= 0x7fff)
            throw PlatformError("HEIF grid: too many distinct properties");
        m_boxes.emplace_back(box.begin(), box.end());
        return static_cast<std::uint32_t>(m_boxes.size());
    }
    const std::vector<Bytes>& boxes() const { return m_boxes; }

  private:
    std::vector<Bytes> m_boxes;
};

Bytes metaBox(const std::vector<Item>& items, const PropertyTable& table,
              const std::vector<std::tuple<std::string, std::uint32_t, std::vector<std::uint32_t>>>&
                  references,
              bool wideOffsets) {
    const bool wideIds = items.back().id > 0xffff;
    Writer meta;
    const std::size_t metaStart = meta.openFull("meta", 0, 0);

    std::size_t box = meta.openFull("hdlr", 0, 0);
    meta.u32(0);
    meta.text("pict");
    meta.u32(0);
    meta.u32(0);
    meta.u32(0);
    meta.u8(0); // empty name
    meta.close(box);

    box = meta.openFull("pitm", wideIds ? 1 : 0, 0);
    meta.number(items.front().id, wideIds ? 4 : 2);
    meta.close(box);

    box = meta.openFull("iloc", wideIds ? 2 : 0, 0);
    const std::size_t offsetSize = wideOffsets ? 8 : 4;
    meta.u8(offsetSize << 4 | 4); // offset and length sizes
    meta.u8(0);                   // no base offsets
    meta.number(items.size(), wideIds ? 4 : 2);
    for (const Item& item : items) {
        meta.number(item.id, wideIds ? 4 : 2);
        meta.u16(0); // this file
        meta.u16(1); // one extent
        meta.number(item.offset, offsetSize);
        const std::uint64_t length = item.length();
        if (length > std::numeric_limits<std::uint32_t>::max())
            throw PlatformError("HEIF item too large");
        meta.u32(length);
    }
    meta.close(box);

    box = meta.openFull("iinf", wideIds ? 1 : 0, 0);
    meta.number(items.size(), wideIds ? 4 : 2);
    for (const Item& item : items) {
        const std::size_t entry =
            meta.openFull("infe", item.id > 0xffff ? 3 : 2, item.hidden ? 1 : 0);
        meta.number(item.id, item.id > 0xffff ? 4 : 2);
        meta.u16(0); // not protected
        meta.text(item.type);
        meta.u8(0); // empty name
        if (item.type == "mime") {
            meta.text(item.contentType);
            meta.u8(0);
        }
        meta.close(entry);
    }
    meta.close(box);

    box = meta.openFull("iref", wideIds ? 1 : 0, 0);
    for (const auto& [type, from, to] : references) {
        const std::size_t entry = meta.open(type);
        meta.number(from, wideIds ? 4 : 2);
        meta.u16(to.size());
        for (const std::uint32_t id : to)
            meta.number(id, wideIds ? 4 : 2);
        meta.close(entry);
    }
    meta.close(box);

    box = meta.open("iprp");
    const std::size_t container = meta.open("ipco");
    for (const Bytes& property : table.boxes())
        meta.bytes(property);
    meta.close(container);
    const std::size_t associations = meta.openFull("ipma", wideIds ? 1 : 0, 1); // 15-bit indices
    std::size_t withProperties = 0;
    for (const Item& item : items)
        withProperties += item.properties.empty() ? 0 : 1;
    meta.u32(withProperties);
    for (const Item& item : items) {
        if (item.properties.empty())
            continue;
        meta.number(item.id, wideIds ? 4 : 2);
        if (item.properties.size() > 255)
            throw PlatformError("HEIF grid: too many properties on one item");
        meta.u8(item.properties.size());
        for (const auto& [index, essential] : item.properties)
            meta.u16(index | (essential ? 0x8000U : 0U));
    }
    meta.close(associations);
    meta.close(box);

    meta.close(metaStart);
    return meta.result();
}

} // namespace

HeifTiling planHeifTiles(std::uint32_t width, std::uint32_t height, std::uint32_t largest) {
    constexpr std::uint32_t kMaxAcross = 256; // the grid stores rows and columns in one byte
    constexpr std::uint32_t kSmallest = 64;   // the smallest tile readers accept
    const auto plan = [&](std::uint32_t extent, std::uint32_t& tile, std::uint32_t& count) {
        if (extent == 0)
            throw PlatformError("HEIF grid: empty picture");
        count = std::min((extent + largest - 1) / largest, kMaxAcross);
        tile = std::max(((extent + count - 1) / count + 15) / 16 * 16, kSmallest);
        count = (extent + tile - 1) / tile;
        while (count > kMaxAcross) { // rounding up to 16 cannot add a tile, but stay safe
            tile += 16;
            count = (extent + tile - 1) / tile;
        }
    };
    HeifTiling tiling;
    plan(width, tiling.tileWidth, tiling.columns);
    plan(height, tiling.tileHeight, tiling.rows);
    while (tiling.columns * tiling.rows > 0xffff) { // a reference list holds at most 65,535 tiles
        tiling.tileHeight += 16;
        tiling.rows = (height + tiling.tileHeight - 1) / tiling.tileHeight;
    }
    return tiling;
}

void writeHeifGrid(const HeifGrid& grid, std::FILE* out) {
    const std::size_t count = static_cast<std::size_t>(grid.columns) * grid.rows;
    if (grid.columns == 0 || grid.rows == 0 || grid.columns > 256 || grid.rows > 256 ||
        count > 0xffff || grid.tiles.size() != count)
        throw PlatformError("HEIF grid: impossible layout");
    const HeifCodedImage& first = grid.tiles.front();
    const bool alpha = first.alpha.has_value();
    for (const HeifCodedImage& tile : grid.tiles)
        if (tile.alpha.has_value() != alpha || tile.colour.type != first.colour.type)
            throw PlatformError("HEIF grid: tiles differ");

    // The grid description: 32-bit sizes only when the picture needs them.
    const bool wideSize = grid.width > 0xffff || grid.height > 0xffff;
    Writer description;
    description.u8(0);
    description.u8(wideSize ? 1 : 0);
    description.u8(grid.rows - 1);
    description.u8(grid.columns - 1);
    description.number(grid.width, wideSize ? 4 : 2);
    description.number(grid.height, wideSize ? 4 : 2);
    const Bytes& layout = description.result();

    PropertyTable table;
    std::vector<Item> items;
    std::uint32_t nextId = 1;
    const auto addItem = [&](std::string type) -> Item& {
        Item& item = items.emplace_back();
        item.id = nextId++;
        item.type = std::move(type);
        return item;
    };
    // A grid takes the size of the picture and the tile's colour, pixel and auxiliary properties;
    // the coding configuration and the tile size stay with the tiles.
    const auto gridItem = [&](const HeifCodedItem& tile) -> Item& {
        Item& item = addItem("grid");
        item.data.push_back(layout);
        item.properties.emplace_back(table.add(sizeBox(grid.width, grid.height)), false);
        for (std::size_t i = 0; i < tile.properties.size(); ++i) {
            const std::string_view type = propertyType(tile.properties[i]);
            if (type == "ispe" || type == "hvcC" || type == "av1C")
                continue;
            item.properties.emplace_back(table.add(tile.properties[i]), tile.essential[i]);
        }
        return item;
    };

    const std::uint32_t colourGrid = gridItem(first.colour).id;
    if (!grid.icc.empty())
        items.back().properties.emplace_back(table.add(iccBox(grid.icc)), false);
    const std::uint32_t alphaGrid = alpha ? gridItem(*first.alpha).id : 0;
    std::vector<std::tuple<std::string, std::uint32_t, std::vector<std::uint32_t>>> references;
    const auto addTiles = [&](std::uint32_t gridId, bool alphaTiles) {
        std::vector<std::uint32_t> ids;
        for (const HeifCodedImage& tile : grid.tiles) {
            const HeifCodedItem& coded = alphaTiles ? *tile.alpha : tile.colour;
            Item& item = addItem(coded.type);
            item.hidden = true;
            item.data.push_back(coded.data);
            for (std::size_t i = 0; i < coded.properties.size(); ++i)
                item.properties.emplace_back(table.add(coded.properties[i]), coded.essential[i]);
            ids.push_back(item.id);
        }
        references.emplace_back("dimg", gridId, std::move(ids));
    };
    addTiles(colourGrid, false);
    if (alpha) {
        addTiles(alphaGrid, true);
        references.emplace_back("auxl", alphaGrid, std::vector<std::uint32_t>{colourGrid});
    }
    Bytes exifPayload;
    if (!grid.exif.empty()) {
        Writer payload;
        payload.u32(tiffHeaderOffset(grid.exif));
        payload.bytes(grid.exif);
        exifPayload = payload.result();
        Item& item = addItem("Exif");
        item.data.push_back(exifPayload);
        references.emplace_back("cdsc", item.id, std::vector<std::uint32_t>{colourGrid});
    }
    if (!grid.xmp.empty()) {
        Item& item = addItem("mime");
        item.contentType = "application/rdf+xml";
        item.data.push_back(grid.xmp);
        references.emplace_back("cdsc", item.id, std::vector<std::uint32_t>{colourGrid});
    }

    std::uint64_t dataBytes = 0;
    for (const Item& item : items)
        dataBytes += item.length();
    const bool largeData = dataBytes + 16 > std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t mdatHeader = largeData ? 16 : 8;
    // Offsets have a fixed width, so the meta box is laid out once to learn its size.
    const std::size_t metaSize = metaBox(items, table, references, largeData).size();
    std::uint64_t offset = first.fileType.size() + metaSize + mdatHeader;
    for (Item& item : items) {
        item.offset = offset;
        offset += item.length();
    }
    const Bytes meta = metaBox(items, table, references, largeData);

    Writer mdat;
    if (largeData) {
        mdat.u32(1);
        mdat.text("mdat");
        mdat.number(dataBytes + 16, 8);
    } else {
        mdat.u32(dataBytes + 8);
        mdat.text("mdat");
    }
    const auto put = [&](View bytes) {
        if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
            throw PlatformError("cannot write the HEIF file");
    };
    put(first.fileType);
    put(meta);
    put(mdat.result());
    for (const Item& item : items)
        for (const View piece : item.data)
            put(piece);
}

} // namespace kv::image
