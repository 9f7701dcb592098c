"""Independent check with fontTools: are the table checksums and head.checkSumAdjustment of each
SFNT or WOFF file the ones fontTools computes when it writes the same tables?

fontTools rewrites the file as a plain SFNT (same tables, same order, no recalculated boxes or
timestamp) and recomputes every checksum and the adjustment; they must equal the file's own.
(WOFF2 is left out: its directory has no checksums, and decoders recompute the adjustment for
the glyf and loca they rebuild.) Exits 1 on any difference and prints it."""

import io
import sys

from fontTools.ttLib import TTFont


def directory(font):
    return {tag: entry.checkSum for tag, entry in font.reader.tables.items()}


def check(path):
    mine = TTFont(path, lazy=True, recalcBBoxes=False, recalcTimestamp=False)
    if mine.flavor == "woff2":
        return [f"{path}: WOFF2 is not checked here"]
    mine.flavor = None  # what the file unpacks to: a plain SFNT
    out = io.BytesIO()
    mine.save(out, reorderTables=False)
    theirs = TTFont(io.BytesIO(out.getvalue()), lazy=True)
    problems = []
    for tag, value in directory(TTFont(path, lazy=True)).items():
        if value != theirs.reader.tables[tag].checkSum:
            problems.append(f"{path}: {tag} checksum {value:08x}, fontTools {theirs.reader.tables[tag].checkSum:08x}")
    a = TTFont(path, lazy=True)["head"].checkSumAdjustment
    b = theirs["head"].checkSumAdjustment
    if a != b:
        problems.append(f"{path}: head.checkSumAdjustment {a:08x}, fontTools {b:08x}")
    return problems


if __name__ == "__main__":
    problems = [p for path in sys.argv[1:] for p in check(path)]
    for p in problems[:20]:
        print(p)
    sys.exit(1 if problems else 0)
