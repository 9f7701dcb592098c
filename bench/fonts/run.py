#!/usr/bin/env python3
"""Font conversions against the reference tools, as whole processes: TTF and OTF to WOFF2 against
woff2_compress, WOFF2 to TTF against woff2_decompress, TTF to WOFF against sfnt2woff.
Prints times, peak RSS, output sizes and the ratios against each goal.

    KV_KELVANE=path/to/kelvane python3 bench/fonts/run.py   (default: build/kelvane)"""

import glob
import os
import resource
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import benchlib  # noqa: E402

TTF = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
OTF = "/usr/share/fonts/opentype/cantarell/Cantarell-Regular.otf"
RUNS = int(os.environ.get("KV_BENCH_RUNS", "3"))


def remove(pattern):
    for path in glob.glob(pattern):
        os.remove(path)


def size_line(label, ours, peer, goal):
    a, b = os.path.getsize(ours), os.path.getsize(peer)
    print(f"{label:<40} size ours {a:9,d} B  peer {b:9,d} B  ratio {a / b:5.3f}x  goal {goal}")


def cpu_seconds(argv):
    """User + system CPU time of one run: steadier than wall time on a busy machine."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, check=True, capture_output=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    kelvane = os.path.abspath(os.environ.get("KV_KELVANE") or benchlib.kelvane_binary())
    for tool in ("woff2_compress", "woff2_decompress", "sfnt2woff"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is missing: run scripts/bootstrap.sh")
    with tempfile.TemporaryDirectory(prefix="Kelvane_bench_fonts_") as tmp:
        src, ours = os.path.join(tmp, "src"), os.path.join(tmp, "ours")
        os.makedirs(src)
        ttf = shutil.copy(TTF, src)
        otf = shutil.copy(OTF, src)

        def clean():
            shutil.rmtree(ours, ignore_errors=True)
            remove(os.path.join(src, "*.woff*"))

        def convert(source, target):
            return [kelvane, "--convert", source, target, ours]

        # The reference tools write their output beside the input.
        jobs = [
            ("ttf→woff2 DejaVuSans (757 KB)", ttf, "woff2", ["woff2_compress", ttf], ".woff2", "time ≤1.00x, size ≤1.01x"),
            ("otf→woff2 Cantarell (CFF)", otf, "woff2", ["woff2_compress", otf], ".woff2", "time ≤1.00x, size ≤1.01x"),
            ("ttf→woff DejaVuSans", ttf, "woff", ["sfnt2woff", ttf], ".woff", "size ≤1.00x"),
        ]
        for label, source, target, peer, ext, goal in jobs:
            benchlib.compare(label, convert(source, target), peer, RUNS, prepare=clean, goal=goal)
            clean()
            ours_cpu, peer_cpu = cpu_seconds(convert(source, target)), cpu_seconds(peer)
            print(f"{label:<40} cpu  ours {ours_cpu:7.3f}s  peer {peer_cpu:7.3f}s  ratio {ours_cpu / peer_cpu:5.2f}x")
            stem = os.path.splitext(os.path.basename(source))[0]
            size_line(label, os.path.join(ours, stem + ext), os.path.join(src, stem + ext), goal)

        # Decoding: both read the reference encoder's WOFF2.
        clean()
        subprocess.run(["woff2_compress", ttf], check=True, capture_output=True)
        woff2 = os.path.join(tmp, "in.woff2")
        shutil.move(os.path.join(src, "DejaVuSans.woff2"), woff2)

        def clean_decoded():
            shutil.rmtree(ours, ignore_errors=True)
            remove(os.path.join(tmp, "in.ttf"))

        benchlib.compare("woff2→ttf DejaVuSans", convert(woff2, "ttf"), ["woff2_decompress", woff2], RUNS,
                         prepare=clean_decoded, goal="time ≤2.00x")


if __name__ == "__main__":
    main()
