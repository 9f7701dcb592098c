#!/usr/bin/env python3
"""Documents against pandoc, as whole processes.

Builds a 5 MB Markdown file, a 2 MB HTML page, and a 200-page document (about 100,000 words with
headings, emphasis, code, links, accents, CJK and emoji) that pandoc writes as DOCX and as RTF, then
prints time ratios (ours/pandoc: below 1 is faster; the goal is ≤ 0.1) and our peak RSS.

Memory columns: "gross" is the whole process's peak RSS; "net" subtracts the peak of an idle run of
the same conversion on a tiny file of the same kind (the code, libraries and start-up allocations
every run has, about 10 MB). The goal (peak RSS ≤ 5× the input) is measured against the input
file's size: "gross/in" and "net/in". For DOCX, whose XML is stored deflated, "net/xml" also sets
the net peak against the uncompressed size of word/document.xml.

Usage: bench/documents/run.py [kelvane binary] [label filter]; the default binary is the Release
build in build/. KV_BENCH_RUNS sets the timed runs per comparison (default 1, after one warm-up):
pandoc needs tens of seconds on the larger inputs. KV_BENCH_MEMORY_ONLY=1 skips pandoc and prints
the memory columns alone.
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
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import benchlib  # noqa: E402

RUNS = int(os.environ.get("KV_BENCH_RUNS", "1"))
MEMORY_ONLY = os.environ.get("KV_BENCH_MEMORY_ONLY") == "1"
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
    # Tiny inputs of each kind, for the idle peak that "net" subtracts.
    tiny_md = os.path.join(folder, "tiny.md")
    with open(tiny_md, "w", encoding="utf-8") as f:
        f.write("# Tiny\n\nOne *short* paragraph.\n")
    paths["tiny-md"] = tiny_md
    for fmt in ("html", "docx", "rtf"):
        paths["tiny-" + fmt] = os.path.join(folder, f"tiny.{fmt}")
        subprocess.check_call(["pandoc", tiny_md, "-s", "--metadata", "title=Tiny", "-o", paths["tiny-" + fmt]])
    return paths


def document_xml_size(path):
    with zipfile.ZipFile(path) as package:
        return package.getinfo("word/document.xml").file_size


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else benchlib.kelvane_binary()
    only = sys.argv[2] if len(sys.argv) > 2 else ""
    if not shutil.which("pandoc"):
        raise SystemExit("pandoc is missing: run scripts/bootstrap.sh")

    with tempfile.TemporaryDirectory(prefix="kv-bench-documents-") as folder:
        paths = write_fixtures(folder)
        sizes = {k: os.path.getsize(p) for k, p in paths.items()}
        xml_size = document_xml_size(paths["docx"])
        print("inputs: " + ", ".join(f"{k} {v / 1e6:.2f} MB" for k, v in sizes.items() if not k.startswith("tiny"))
              + f" (word/document.xml {xml_size / 1e6:.2f} MB)")
        out = os.path.join(folder, "out")
        peer_out = os.path.join(folder, "peer")

        def prepare():
            shutil.rmtree(out, ignore_errors=True)
            shutil.rmtree(peer_out, ignore_errors=True)
            os.makedirs(peer_out)

        def peak_kib(argv):
            prepare()
            _, peak, code = benchlib.run_once(argv)
            if code != 0:
                raise SystemExit(f"command failed ({code}): {' '.join(argv)}")
            return peak

        def run(label, key, target, pandoc_from, pandoc_to, extension):
            if only not in label:
                return
            ours = [binary, "--convert", paths[key], target, out]
            if MEMORY_ONLY:
                gross = max(peak_kib(ours) for _ in range(RUNS))
                line = f"{label:<40}"
            else:
                peer = ["pandoc", "-f", pandoc_from, "-t", pandoc_to, "-s", paths[key], "-o",
                        os.path.join(peer_out, "out." + extension)]
                text = io.StringIO()
                with contextlib.redirect_stdout(text):
                    benchlib.compare(label, ours, peer, runs=RUNS, prepare=prepare, goal="≤ 0.10")
                line = text.getvalue().rstrip("\n")
                match = re.search(r"rss ours\s+([0-9.]+) MB", line)
                gross = float(match.group(1)) * 1024 if match else float("nan")
            idle = min(peak_kib([binary, "--convert", paths["tiny-" + key], target, out]) for _ in range(3))
            net = max(gross - idle, 0)
            columns = (f"  mem gross {gross / 1024:6.1f} MB net {net / 1024:6.1f} MB (idle {idle / 1024:.1f})"
                       f"  gross/in {gross * 1024 / sizes[key]:5.1f}  net/in {net * 1024 / sizes[key]:5.1f}")
            if key == "docx":
                columns += f"  net/xml {net * 1024 / xml_size:4.1f}"
            print(line + columns + "  goal net/in ≤ 5")
            sys.stdout.flush()

        run("Markdown 5 MB → HTML", "md", "html", "markdown", "html", "html")
        run("HTML 2 MB → Markdown", "html", "markdown", "html", "markdown", "md")
        run("DOCX 200 pages → HTML", "docx", "html", "docx", "html", "html")
        run("DOCX 200 pages → Markdown", "docx", "markdown", "docx", "markdown", "md")
        run("RTF 200 pages → DOCX", "rtf", "docx", "rtf", "docx", "docx")


if __name__ == "__main__":
    main()
