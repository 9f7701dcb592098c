#!/usr/bin/env python3
"""Documents against pandoc, and PDF output against HTML and text renderers, as whole processes.

PDF: a 4 KB styled HTML page and a 300 KB HTML table against wkhtmltopdf and headless Chromium,
and 20 MB of text against enscript + ps2pdf (bench-only Debian packages; a missing peer is
skipped). A label filter matching only these runs nothing else.

Builds a 5 MB Markdown file, a 2 MB HTML page, and a 200-page document (about 100,000 words with
headings, emphasis, code, links, accents, CJK and emoji) that pandoc writes as DOCX and as RTF, then
prints time ratios (ours/pandoc: below 1 is faster; the goal is ≤ 0.1) and our peak RSS. The
Markdown also becomes EPUB against pandoc, and the DOCX becomes PDF against LibreOffice headless
(`soffice --convert-to pdf`, skipped when not installed); both with the goal ≤ 0.2.

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
# The renderer comparisons of pdf_main; a filter matching one of them runs nothing else.
PDF_LABELS = ("HTML 4 KB styled → PDF", "HTML 300 KB table → PDF", "Text 20 MB → PDF")


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


STYLED_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Quarterly notes</title>
<style>
body { font-family: sans-serif; color: #222; margin: 40px; line-height: 1.4; }
h1 { color: #0a3d62; border-bottom: 3px solid #0a3d62; padding-bottom: 6px; }
h2 { color: #3c6382; margin-top: 28px; }
.note { background: #fff3cd; border: 1px solid #e0a800; padding: 10px 14px; border-radius: 6px; }
table { border-collapse: collapse; width: 100%; margin: 16px 0; }
th, td { border: 1px solid #c00; padding: 4px 8px; text-align: left; }
th { background: #f2f2f2; }
code { font-family: monospace; background: #eee; padding: 1px 4px; }
</style></head><body>
<h1>Quarterly notes</h1>
<p>These notes are <strong>local</strong>, <em>private</em> and converted without uploading
anything. Café, naïve, Zürich, 東京, 서울 and an emoji 🚀 check the font fallback.</p>
<div class="note">A boxed remark with a <a href="https://example.org/">link</a> and
<code>inline code</code>.</div>
<h2>Figures</h2>
<table><tr><th>Region</th><th>Files</th><th>Size</th></tr>
<tr><td>North</td><td>1,204</td><td>3.1 GB</td></tr>
<tr><td>South</td><td>884</td><td>2.2 GB</td></tr>
<tr><td>East</td><td>2,310</td><td>5.9 GB</td></tr>
<tr><td>West</td><td>1,045</td><td>2.7 GB</td></tr></table>
<h2>Steps</h2>
<ol><li>Collect the files.</li><li>Convert them locally.</li><li>Check the output.</li></ol>
<ul><li>Nothing leaves the machine.</li><li>Every page prints on Letter paper.</li></ul>
<p>""" + " ".join(["The converter lays the page out once and cuts it into pages."] * 12) + """</p>
</body></html>
"""


def table_page(target_bytes, rng):
    rows = ["<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>rows</title><style>"
            "table{border-collapse:collapse}th,td{border:1px solid #ccc;padding:4px 8px}"
            "</style></head><body><table>\n<tr><th>id</th><th>name</th><th>city</th><th>price</th>"
            "<th>notes</th></tr>\n"]
    size, n = len(rows[0]), 0
    while size < target_bytes:
        n += 1
        row = (f"<tr><td>{n}</td><td>{rng.choice(WORDS)} {n}</td><td>{rng.choice(WORDS)}</td>"
               f"<td>{rng.randint(1, 99999) / 100:.2f}</td><td>{' '.join(rng.choice(WORDS) for _ in range(3))}</td></tr>\n")
        rows.append(row)
        size += len(row.encode())
    rows.append("</table></body></html>\n")
    return "".join(rows)


def plain_text(target_bytes, rng):
    lines, size = [], 0
    while size < target_bytes:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 16)))
        lines.append(line)
        size += len(line.encode()) + 1
    return "\n".join(lines) + "\n"


def write_pdf_fixtures(folder):
    rng = random.Random(17)
    paths = {}
    paths["styled"] = os.path.join(folder, "styled.html")
    with open(paths["styled"], "w", encoding="utf-8") as f:
        f.write(STYLED_PAGE)
    paths["table"] = os.path.join(folder, "table.html")
    with open(paths["table"], "w", encoding="utf-8") as f:
        f.write(table_page(300 * 1000, rng))
    paths["text"] = os.path.join(folder, "big.txt")
    with open(paths["text"], "w", encoding="utf-8") as f:
        f.write(plain_text(20 * 1000 * 1000, rng))
    return paths


def html_peers(source, out_pdf):
    """The HTML → PDF renderers installed here, by name."""
    peers = {}
    if shutil.which("wkhtmltopdf"):
        peers["wkhtmltopdf"] = ["wkhtmltopdf", "--quiet", "--enable-local-file-access", source, out_pdf]
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium:
        peers["chromium"] = [chromium, "--headless", "--disable-gpu", "--no-sandbox",
                             "--no-pdf-header-footer", f"--print-to-pdf={out_pdf}", "file://" + source]
    return peers


def pdf_main(binary, only):
    """HTML and text → PDF against wkhtmltopdf, headless Chromium and enscript + ps2pdf."""
    with tempfile.TemporaryDirectory(prefix="kv-bench-pdf-") as folder:
        paths = write_pdf_fixtures(folder)
        out = os.path.join(folder, "out")
        peer_out = os.path.join(folder, "peer")

        def prepare():
            shutil.rmtree(out, ignore_errors=True)
            shutil.rmtree(peer_out, ignore_errors=True)
            os.makedirs(peer_out)

        for label, key in ((PDF_LABELS[0], "styled"), (PDF_LABELS[1], "table")):
            if only not in label:
                continue
            peers = html_peers(paths[key], os.path.join(peer_out, "out.pdf"))
            if not peers:
                print(f"{label}: no peer installed (wkhtmltopdf, chromium)")
            for name, peer in peers.items():
                benchlib.compare(f"{label} vs {name}", [binary, "--convert", paths[key], "pdf", out],
                                 peer, runs=RUNS, prepare=prepare, goal="≤ 0.20")
        label = PDF_LABELS[2]
        if only in label:
            ours = [binary, "--convert", paths["text"], "pdf", out]
            if shutil.which("enscript") and shutil.which("ps2pdf"):
                ps = os.path.join(peer_out, "out.ps")
                peer = ["sh", "-c", f"enscript -q -B -p '{ps}' '{paths['text']}' && "
                                    f"ps2pdf '{ps}' '{os.path.join(peer_out, 'out.pdf')}'"]
                benchlib.compare(f"{label} vs enscript+ps2pdf", ours, peer, runs=RUNS, prepare=prepare)
            else:
                prepare()
                wall, peak = benchlib.measure(ours, runs=RUNS, prepare=prepare)
                print(f"{label:<40} ours {wall:7.3f}s  rss {peak / 1024:7.1f} MB (no peer installed)")
            size = os.path.getsize(paths["text"])
            wall, peak = benchlib.measure(ours, runs=1, prepare=prepare)
            print(f"{label}: {size / 1e6 / wall:.2f} MB/s wall, {size / 1e6 / benchlib.last_cpu:.2f} MB/s "
                  f"cpu, peak RSS {peak / 1024:.1f} MB  goal ≥ 2 MB/s, < 200 MB")


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
    pdf_main(binary, only)
    if only and any(only in label for label in PDF_LABELS):
        return
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

        def pandoc(pandoc_from, pandoc_to, extension):
            return lambda key: ["pandoc", "-f", pandoc_from, "-t", pandoc_to, "-s", paths[key], "-o",
                                os.path.join(peer_out, "out." + extension)]

        def run(label, key, target, peer, goal="≤ 0.10"):
            """`peer(key)` is the peer's command line; a label ending in "(skipped …)" is printed
            instead when the peer is not installed."""
            if only not in label:
                return
            ours = [binary, "--convert", paths[key], target, out]
            if MEMORY_ONLY:
                gross = max(peak_kib(ours) for _ in range(RUNS))
                line = f"{label:<40}"
            else:
                text = io.StringIO()
                with contextlib.redirect_stdout(text):
                    benchlib.compare(label, ours, peer(key), runs=RUNS, prepare=prepare, goal=goal)
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

        run("Markdown 5 MB → HTML", "md", "html", pandoc("markdown", "html", "html"))
        run("HTML 2 MB → Markdown", "html", "markdown", pandoc("html", "markdown", "md"))
        run("DOCX 200 pages → HTML", "docx", "html", pandoc("docx", "html", "html"))
        run("DOCX 200 pages → Markdown", "docx", "markdown", pandoc("docx", "markdown", "md"))
        run("RTF 200 pages → DOCX", "rtf", "docx", pandoc("rtf", "docx", "docx"))
        run("Markdown 5 MB → EPUB", "md", "epub",
            lambda key: ["pandoc", paths[key], "-o", os.path.join(peer_out, "out.epub")], goal="≤ 0.20")
        # LibreOffice in its own profile folder, so that no user's settings or lock get in the way;
        # its first (untimed) run creates the profile.
        soffice = shutil.which("soffice")
        if soffice:
            profile = "file://" + os.path.join(folder, "soffice-profile")
            run("DOCX 200 pages → PDF", "docx", "pdf",
                lambda key: [soffice, f"-env:UserInstallation={profile}", "--headless",
                             "--convert-to", "pdf", "--outdir", peer_out, paths[key]], goal="≤ 0.20")
        elif only in "DOCX 200 pages → PDF":
            print("DOCX 200 pages → PDF: LibreOffice (soffice) is not installed, skipped")


if __name__ == "__main__":
    main()
