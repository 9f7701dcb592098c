#!/usr/bin/env python3
"""Documents against pandoc, as whole processes.

Builds a 5 MB Markdown file, a 2 MB HTML page, and a 200-page document (about 100,000 words with
headings, emphasis, code, links, accents, CJK and emoji) that pandoc writes as DOCX and as RTF, then
prints time ratios (ours/pandoc: below 1 is faster; the goal is ≤ 0.1) and our peak RSS against the
input size (goal ≤ 5). Usage: bench/documents/run.py [kelvane binary] [label filter]; the default
binary is the Release build in build/. KV_BENCH_RUNS sets the timed runs per comparison (default 1,
after one warm-up): pandoc needs tens of seconds on the larger inputs.
"""

import contextlib
import io
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

RUNS = int(os.environ.get("KV_BENCH_RUNS", "1"))
WORDS = ["local", "private", "converted", "document", "naïve", "café", "déjà", "résumé", "Zürich", "東京",
         "서울", "Москва", "🚀", "über", "files", "never", "uploaded", "fast", "heading", "paragraph"]
WORDS_PER_PAGE = 500


def sentence(rng):
    words = [rng.choice(WORDS) for _ in range(rng.randint(8, 18))]
    i = rng.randrange(len(words))
    kind = rng.random()
    if kind < 0.2:
        words[i] = f"*{words[i]}*"
    elif kind < 0.35:
        words[i] = f"**{words[i]}**"
    elif kind < 0.45:
        words[i] = f"`{words[i]}`"
    elif kind < 0.55:
        words[i] = f"[{words[i]}](https://example.org/{i})"
    return " ".join(words).capitalize() + "."


def markdown_text(target_bytes, rng):
    parts, size, n = [], 0, 0
    while size < target_bytes:
        n += 1
        level = "#" * (1 + n % 3)
        block = f"{level} Section {n} {rng.choice(WORDS)}\n\n"
        for _ in range(rng.randint(2, 5)):
            block += " ".join(sentence(rng) for _ in range(rng.randint(2, 6))) + "\n\n"
        parts.append(block)
        size += len(block.encode())
    return "".join(parts)


def html_text(target_bytes, rng):
    parts, size, n = ["<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Bench</title></head><body>\n"], 0, 0
    inline = [("<em>", "</em>"), ("<strong>", "</strong>"), ("<code>", "</code>"),
              ("<a href=\"https://example.org/x\">", "</a>")]
    while size < target_bytes:
        n += 1
        level = 1 + n % 3
        block = f"<h{level}>Section {n} {rng.choice(WORDS)}</h{level}>\n"
        for _ in range(rng.randint(2, 5)):
            words = [rng.choice(WORDS) for _ in range(rng.randint(30, 80))]
            for k in range(0, len(words), 9):
                o, c = rng.choice(inline)
                words[k] = o + words[k] + c
            block += "<p>" + " ".join(words) + "</p>\n"
        if n % 20 == 0:
            block += "<ul>" + "".join(f"<li>{rng.choice(WORDS)} item</li>" for _ in range(5)) + "</ul>\n"
            block += "<table>" + "".join(f"<tr><td>{rng.choice(WORDS)}</td><td>{k}</td></tr>" for k in range(4)) + "</table>\n"
        parts.append(block)
        size += len(block.encode())
    parts.append("</body></html>\n")
    return "".join(parts)


def write_fixtures(folder):
    rng = random.Random(13)
    paths = {}
    paths["md"] = os.path.join(folder, "big.md")
    with open(paths["md"], "w", encoding="utf-8") as f:
        f.write(markdown_text(5 * 1000 * 1000, rng))
    paths["html"] = os.path.join(folder, "page.html")
    with open(paths["html"], "w", encoding="utf-8") as f:
        f.write(html_text(2 * 1000 * 1000, rng))
    # 200 pages of about 500 words each, written by pandoc as DOCX and as RTF.
    pages_md = os.path.join(folder, "pages.md")
    text, words = [], 0
    while words < 200 * WORDS_PER_PAGE:
        chunk = markdown_text(3000, rng)
        text.append(chunk)
        words += len(chunk.split())
    with open(pages_md, "w", encoding="utf-8") as f:
        f.write("".join(text))
    for fmt in ("docx", "rtf"):
        paths[fmt] = os.path.join(folder, f"pages.{fmt}")
        subprocess.check_call(["pandoc", pages_md, "-s", "--metadata", "title=Pages", "-o", paths[fmt]])
    return paths


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else benchlib.kelvane_binary()
    only = sys.argv[2] if len(sys.argv) > 2 else ""
    if not shutil.which("pandoc"):
        raise SystemExit("pandoc is missing: run scripts/bootstrap.sh")

    with tempfile.TemporaryDirectory(prefix="kv-bench-documents-") as folder:
        paths = write_fixtures(folder)
        sizes = {k: os.path.getsize(p) for k, p in paths.items()}
        print("inputs: " + ", ".join(f"{k} {v / 1e6:.2f} MB" for k, v in sizes.items()))
        out = os.path.join(folder, "out")
        peer_out = os.path.join(folder, "peer")

        def prepare():
            shutil.rmtree(out, ignore_errors=True)
            shutil.rmtree(peer_out, ignore_errors=True)
            os.makedirs(peer_out)

        def run(label, key, target, pandoc_from, pandoc_to, extension):
            if only not in label:
                return
            ours = [binary, "--convert", paths[key], target, out]
            peer = ["pandoc", "-f", pandoc_from, "-t", pandoc_to, "-s", paths[key], "-o",
                    os.path.join(peer_out, "out." + extension)]
            text = io.StringIO()
            with contextlib.redirect_stdout(text):
                benchlib.compare(label, ours, peer, runs=RUNS, prepare=prepare, goal="≤ 0.10")
            line = text.getvalue().rstrip("\n")
            match = re.search(r"rss ours\s+([0-9.]+) MB", line)
            rss = float(match.group(1)) * 1024 * 1024 / sizes[key] if match else float("nan")
            print(f"{line}  rss/input {rss:.1f}")
            sys.stdout.flush()

        run("Markdown 5 MB → HTML", "md", "html", "markdown", "html", "html")
        run("HTML 2 MB → Markdown", "html", "markdown", "html", "markdown", "md")
        run("DOCX 200 pages → HTML", "docx", "html", "docx", "html", "html")
        run("DOCX 200 pages → Markdown", "docx", "markdown", "docx", "markdown", "md")
        run("RTF 200 pages → DOCX", "rtf", "docx", "rtf", "docx", "docx")


if __name__ == "__main__":
    main()
