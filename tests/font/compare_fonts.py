"""Independent check with fontTools: do two font files (ttf/otf/woff/woff2) hold the same font?

Every table but the derived ones (loca, DSIG) is compared byte for byte; glyf glyph by glyph
(contours, points, on-curve bits, instructions, boxes, components); head without the fields a
container legitimately rewrites; hmtx metric by metric. Prints the differences, exits 1 on any."""

import sys

from fontTools.ttLib import TTFont

DERIVED = {"loca", "DSIG", "glyf", "head", "hmtx"}


def glyph_summary(glyf, name):
    g = glyf[name]
    if g.numberOfContours == 0 and not hasattr(g, "coordinates"):
        return ("empty",)
    if g.isComposite():
        comps = [(c.glyphName, getattr(c, "x", None), getattr(c, "y", None), c.flags & ~0x0100,
                  tuple(map(tuple, getattr(c, "transform", []))) if hasattr(c, "transform") else None)
                 for c in g.components]
        program = g.program.getBytecode() if hasattr(g, "program") else b""
        return ("composite", (g.xMin, g.yMin, g.xMax, g.yMax), comps, program)
    coords = list(g.coordinates)
    on_curve = [f & 1 for f in g.flags]
    program = g.program.getBytecode() if hasattr(g, "program") else b""
    return ("simple", (g.xMin, g.yMin, g.xMax, g.yMax), list(g.endPtsOfContours), coords, on_curve, program)


def main(a_path, b_path):
    a, b = TTFont(a_path, lazy=False), TTFont(b_path, lazy=False)
    problems = []
    a_tags, b_tags = set(a.reader.keys()), set(b.reader.keys())
    if a_tags - {"DSIG"} != b_tags - {"DSIG"}:
        problems.append(f"tables differ: {sorted(a_tags ^ b_tags)}")
    for tag in sorted((a_tags & b_tags) - DERIVED):
        if a.reader[tag] != b.reader[tag]:
            problems.append(f"table {tag} differs")
    if "head" in a_tags and "head" in b_tags:
        for field in vars(a["head"]):
            if field in ("checkSumAdjustment", "indexToLocFormat", "tableTag"):
                continue
            mine, theirs = getattr(a["head"], field), getattr(b["head"], field, None)
            if field == "flags":  # bit 11 marks fonts that went through a WOFF2 glyf transform
                mine, theirs = mine & ~0x0800, (theirs or 0) & ~0x0800
            if mine != theirs:
                problems.append(f"head.{field} differs")
    if "hmtx" in a_tags and a["hmtx"].metrics != b["hmtx"].metrics:
        problems.append("hmtx metrics differ")
    if "glyf" in a_tags:
        ga, gb = a["glyf"], b["glyf"]
        compared = 0
        for name in a.getGlyphOrder():
            if name not in gb.glyphs or glyph_summary(ga, name) != glyph_summary(gb, name):
                problems.append(f"glyph {name} differs")
            compared += 1
        print(f"glyphs compared: {compared}")
    for p in problems[:20]:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
