#!/usr/bin/env python3
"""Data tables and subtitles against Miller, Python, jq and sed, as whole processes.

Builds a ~100 MB CSV (integers, floats with exponents, dates, booleans, names with commas and
quotes, non-Latin text and emoji, comments with line breaks, 30% empty cells), the same rows as a
JSON array and as NDJSON, and 50,000 SRT cues, then prints time ratios (ours/peer: below 1 is
faster) and peak RSS. Usage: bench/data/run.py [kelvane binary] [megabytes] [label filter];
the default binary is the Release build in build/ (./run.sh makes it); KV_BENCH_RUNS sets the timed runs
per comparison (default 2, after one warm-up).
"""

import contextlib
import csv
import io
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import benchlib  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(HERE))
RUNS = int(os.environ.get("KV_BENCH_RUNS", "2"))

FIRST = ["Ana", "Björn", "Chloé", "Dmitri", "Eun-ji", "Fatima", "Grace", "Hiro", "Ines", "José"]
LAST = ["O'Neil", "Smith, Jr.", "van der Berg", "Łukasiewicz", "\"Doc\" Brown", "Nakamura", "Ødegaard"]
CITIES = ["Zürich", "東京", "Москва", "القاهرة", "São Paulo", "Αθήνα", "서울", "Kraków 🏰", "Mumbai 🌧", "Reykjavík"]
WORDS = ["fast", "local", "private", "converted", "tables", "naïve", "café", "🚀", "déjà vu", "résumé", "—", "quoted \"word\""]
COLUMNS = ["id", "score", "ratio", "date", "active", "name", "city", "comment", "amount", "count"]


def make_rows(target_bytes, rng):
    """Rows of typed values (None = empty) until the CSV text reaches target_bytes."""
    rows, size, i = [], 0, 0
    while size < target_bytes:
        i += 1
        comment = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 9)))
        if rng.random() < 0.3:
            comment += "\n" + " ".join(rng.choice(WORDS) for _ in range(3))
        values = [
            i,
            float(f"{rng.uniform(-9, 9):.4f}e{rng.randint(-30, 30)}"),
            round(rng.random() * 1000, 2),
            f"20{rng.randint(10, 29)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
            rng.random() < 0.5,
            f"{rng.choice(FIRST)} {rng.choice(LAST)}",
            rng.choice(CITIES),
            comment,
            rng.randint(-10**9, 10**9) / 100,
            rng.randint(0, 100000),
        ]
        values = [None if (c > 0 and rng.random() < 0.3) else v for c, v in enumerate(values)]
        rows.append(values)
        size += sum(len(str(v)) for v in values if v is not None) + 16
    return rows


def cell(v):
    if v is None:
        return ""
    if v is True:
        return "true"
    if v is False:
        return "false"
    return str(v)


def write_fixtures(folder, megabytes):
    rng = random.Random(7)
    rows = make_rows(megabytes * 1_000_000, rng)
    paths = {k: os.path.join(folder, f"bench.{k}") for k in ("csv", "json", "ndjson")}
    with open(paths["csv"], "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(COLUMNS)
        w.writerows([cell(v) for v in r] for r in rows)
    objects = [dict(zip(COLUMNS, r)) for r in rows]
    with open(paths["json"], "w", encoding="utf-8") as f:
        json.dump(objects, f, ensure_ascii=False)
    with open(paths["ndjson"], "w", encoding="utf-8") as f:
        for o in objects:
            f.write(json.dumps(o, ensure_ascii=False))
            f.write("\n")
    srt = os.path.join(folder, "bench.srt")
    with open(srt, "w", encoding="utf-8") as f:
        for n in range(1, 50001):
            start = n * 2.5
            end = start + 2.0

            def ts(t):
                h, rest = divmod(int(t * 1000), 3600000)
                m, rest = divmod(rest, 60000)
                return f"{h:02d}:{m:02d}:{rest // 1000:02d},{rest % 1000:03d}"
            f.write(f"{n}\n{ts(start)} --> {ts(end)}\n{rng.choice(WORDS)} {rng.choice(CITIES)}\nline two\n\n")
    paths["srt"] = srt
    return paths


PY_CSV_TO_JSON = """
import csv, json, sys
with open(sys.argv[1], newline='', encoding='utf-8') as f:
    rows = list(csv.DictReader(f))
with open(sys.argv[2], 'w', encoding='utf-8') as f:
    json.dump(rows, f, ensure_ascii=False, indent=2)
"""
PY_JSON_TO_CSV = """
import csv, json, sys
rows = json.load(open(sys.argv[1], encoding='utf-8'))
keys = list(rows[0].keys())
with open(sys.argv[2], 'w', newline='', encoding='utf-8') as f:
    w = csv.writer(f, lineterminator='\\n')
    w.writerow(keys)
    for r in rows:
        w.writerow(['' if r.get(k) is None else r.get(k) for k in keys])
"""
PY_NDJSON_TO_CSV = """
import csv, json, sys
with open(sys.argv[1], encoding='utf-8') as src, open(sys.argv[2], 'w', newline='', encoding='utf-8') as f:
    w = csv.writer(f, lineterminator='\\n')
    keys = None
    for line in src:
        if not line.strip():
            continue
        r = json.loads(line)
        if keys is None:
            keys = list(r.keys())
            w.writerow(keys)
        w.writerow(['' if r.get(k) is None else r.get(k) for k in keys])
"""


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else benchlib.kelvane_binary()
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    only = sys.argv[3] if len(sys.argv) > 3 else ""
    if not os.path.exists(binary):
        raise SystemExit(f"{binary} is missing: build Release into build/ first (./run.sh)")
    for tool in ("mlr", "jq", "sed"):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} is missing: run scripts/bootstrap.sh")

    with tempfile.TemporaryDirectory(prefix="kv-bench-data-") as folder:
        paths = write_fixtures(folder, megabytes)
        out = os.path.join(folder, "out")
        peer_out = os.path.join(folder, "peer.out")
        sizes = {k: os.path.getsize(p) for k, p in paths.items()}
        print(f"inputs: csv {sizes['csv']/1e6:.0f} MB, json {sizes['json']/1e6:.0f} MB, "
              f"ndjson {sizes['ndjson']/1e6:.0f} MB, srt {sizes['srt']/1e6:.1f} MB (50,000 cues)")
        # NDJSON keeps its .json extension for us (the format is detected from it).
        nd_json = os.path.join(folder, "lines.json")
        os.link(paths["ndjson"], nd_json)

        def prepare():
            shutil.rmtree(out, ignore_errors=True)
            with contextlib.suppress(FileNotFoundError):
                os.remove(peer_out)

        def ours(source, target):
            return [binary, "--convert", source, target, out]

        def shell(command):
            return ["sh", "-c", command + " > " + peer_out]

        def run(label, ours_argv, peer_argv, goal, input_key):
            if only not in label:
                return None
            text = io.StringIO()
            with contextlib.redirect_stdout(text):
                ratio = benchlib.compare(label, ours_argv, peer_argv, runs=RUNS, prepare=prepare, goal=goal)
            line = text.getvalue().rstrip("\n")
            match = re.search(r"rss ours\s+([0-9.]+) MB", line)
            rss = float(match.group(1)) * 1024 * 1024 / sizes[input_key] if match else float("nan")
            print(f"{line}  rss/input {rss:.2f}")
            sys.stdout.flush()
            return ratio

        q = lambda p: "'" + p + "'"  # noqa: E731
        run("CSV→JSON vs Miller", ours(paths["csv"], "json"),
            shell(f"mlr --icsv --ojson cat {q(paths['csv'])}"), "≤ 0.25", "csv")
        run("CSV→JSON vs Python csv+json", ours(paths["csv"], "json"),
            ["python3", "-c", PY_CSV_TO_JSON, paths["csv"], peer_out], None, "csv")
        run("JSON→CSV vs Python", ours(paths["json"], "csv"),
            ["python3", "-c", PY_JSON_TO_CSV, paths["json"], peer_out], "≤ 0.33", "json")
        run("JSON→CSV vs jq", ours(paths["json"], "csv"),
            shell(f"jq -r '.[] | [.[]] | @csv' {q(paths['json'])}"), None, "json")
        run("JSON→CSV vs Miller", ours(paths["json"], "csv"),
            shell(f"mlr --ijson --ocsv unsparsify {q(paths['json'])}"), None, "json")
        run("NDJSON→CSV vs Python", ours(nd_json, "csv"),
            ["python3", "-c", PY_NDJSON_TO_CSV, paths["ndjson"], peer_out], "≤ 0.33", "ndjson")
        run("NDJSON→CSV vs jq", ours(nd_json, "csv"),
            shell(f"jq -r '[.[]] | @csv' {q(paths['ndjson'])}"), None, "ndjson")
        run("NDJSON→CSV vs Miller", ours(nd_json, "csv"),
            shell(f"mlr --ijsonl --ocsv unsparsify {q(paths['ndjson'])}"), None, "ndjson")
        run("CSV→Markdown vs Miller", ours(paths["csv"], "markdown"),
            shell(f"mlr --icsv --omd cat {q(paths['csv'])}"), "≤ 0.71", "csv")
        run("SRT→VTT (50,000 cues) vs sed", ours(paths["srt"], "vtt"),
            shell("sed -E '1s/^/WEBVTT\\n\\n/; s/([0-9]{2}:[0-9]{2}:[0-9]{2}),([0-9]{3})/\\1.\\2/g' "
                  + q(paths["srt"])), None, "srt")

        one_line_row(binary, folder, megabytes, out, only)


def one_line_row(binary, folder, megabytes, out, only):
    """One CSV line of megabytes/2 million one-byte cells: a header with no row below it, which
    fails with its message; the figure is the peak RSS against the input (goal at most 4x)."""
    label = "One-line CSV→JSON peak RSS"
    if only not in label:
        return
    path = os.path.join(folder, "one-line.csv")
    cells = megabytes * 1_000_000 // 2
    with open(path, "w") as f:
        f.write("a," * (cells - 1) + "a\n")
    size = os.path.getsize(path)
    peaks, wall = [], 0.0
    for _ in range(RUNS):
        shutil.rmtree(out, ignore_errors=True)
        wall, peak, code = benchlib.run_once([binary, "--convert", path, "json", out])
        if code != 1:
            raise SystemExit(f"one-line CSV: expected the no-data-rows failure, got exit {code}")
        peaks.append(peak)
    rss = max(peaks) * 1024
    print(f"{label:<40} ours {wall:7.3f}s  {cells/1e6:.0f} M cells  rss ours {rss/1e6:7.1f} MB"
          f"  rss/input {rss/size:.2f}  goal ≤ 4")


if __name__ == "__main__":
    main()
